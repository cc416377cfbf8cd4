#include "common.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace q583cli {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw Failure("cannot create a temporary directory in " + base.string() + ": " + ErrorText(errno));
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

uint32_t ParseUnsigned(const std::string& text, uint32_t maximum, const std::string& what) {
  const std::string t = Trim(text);
  if (t.empty() || t[0] == '-' || t[0] == '+') throw Failure(what + ": '" + text + "' is not a number", 2);
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(t.c_str(), &end, 0);
  if (errno != 0 || end == t.c_str() || *end != '\0')
    throw Failure(what + ": '" + text + "' is not a number", 2);
  if (value > maximum)
    throw Failure(what + ": " + t + " is above the largest value, " + std::to_string(maximum), 2);
  return static_cast<uint32_t>(value);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto pos = text.find(separator, start);
    if (pos == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string ErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

}  // namespace q583cli
