// Small pieces every subcommand of the q583 host program shares: the error
// that ends a command with one clear line, a private temporary directory,
// and number parsing for the command line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace q583cli {

// Ends the current command: main() prints "q583: <what>" on standard error
// and exits with `exitCode`.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& what, int exitCode = 1)
      : std::runtime_error(what), exitCode_(exitCode) {}
  int ExitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// A directory of our own under $TMPDIR (or /tmp), removed with everything
// in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "q583-");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// An unsigned number in decimal or with a 0x prefix in hexadecimal; throws
// Failure naming `what` when the text is not one or exceeds `maximum`.
uint32_t ParseUnsigned(const std::string& text, uint32_t maximum, const std::string& what);

// Splits at `separator`; empty fields are kept.
std::vector<std::string> Split(const std::string& text, char separator);

// Leading and trailing blanks, tabs and line ends removed.
std::string Trim(const std::string& text);

// The model code the library settles from a firmware version.
constexpr int ModelCode(int version) { return version >= 132 && version <= 149 ? 10000 : -1; }

// Text for a C library error number.
std::string ErrorText(int error);

}  // namespace q583cli
