// Private-profile (INI) text: looking a value up and setting values, on text
// held in memory.  Portable: the POSIX backend reads and writes the file
// around it, and a backend without a native reader can use it as well.
//
// The rules follow the Windows private-profile functions for everything the
// library uses:
// - a section starts with a line "[name]" (white space before "[" allowed);
//   section and key names are compared without regard to case (ASCII);
// - "key=value": white space around the key and around the value is
//   dropped; a line without "=" is a key with an empty value;
// - lines whose first non-blank character is ';' are comments;
// - a value enclosed in a matching pair of double or single quotes loses
//   the quotes (as Windows does), so a file written on Windows with quoted
//   values reads the same here;
// - the first section of a name and the first key of a name in it count;
// - a UTF-8 byte-order mark at the start of the text is skipped;
// - lines end at "\n" or "\r".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The value of key in section, trimmed and unquoted; nullopt when the
// section or the key is absent.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

// What the reader hands back: the value or the default text (trailing
// blanks dropped, as Windows drops them), at most bufferSize - 1 characters
// and a terminating zero.  Returns the number of characters copied; writes
// nothing when bufferSize is 0.  A null default counts as empty; a null
// section or key finds nothing.
uint32_t CopyProfileString(const std::optional<std::string>& value, const char* defaultText,
                           char* buffer, uint32_t bufferSize);

// GetPrivateProfileString on text in memory.
uint32_t ProfileStringFromText(std::string_view text, const char* section, const char* key,
                               const char* defaultText, char* buffer, uint32_t bufferSize);

struct ProfileEntry {
  std::string section;
  std::string key;
  std::string value;
};

// The text with every entry set: an existing key keeps its place (the rest
// of the file, comments included, is kept as it was); a missing key is added
// at the end of its section; a missing section is added at the end.  New
// lines use "\r\n" when the text already does, else "\n".
std::string SetProfileValues(std::string_view text, const std::vector<ProfileEntry>& entries);

}  // namespace platform
