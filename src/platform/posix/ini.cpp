// The private-profile reader on POSIX.  There is no system reader here, and
// what the library needs of one is small (see ini_parse.h): the file is read
// whole and looked up in memory.
#include <string>

#include "platform/files_ext.h"
#include "platform/ini_parse.h"
#include "platform/platform.h"

namespace platform {

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* defaultText,
                                 char* buffer, uint32_t bufferSize, const std::string& path) {
  // A bare file name names a file in the configuration directory, found
  // without regard to case as the Windows reader finds it.
  std::string fullPath = path;
  if (path.find('/') == std::string::npos) fullPath = FindFileNoCase(ConfigDirectory(), path);
  std::string text;
  if (fullPath.empty() || !ReadWholeFile(fullPath, text)) text.clear();
  return ProfileStringFromText(text, section, key, defaultText, buffer, bufferSize);
}

}  // namespace platform
