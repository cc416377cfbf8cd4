// Directories, file search and the private-profile reader on Windows.
#include "platform/win32/windows_api.h"

#include <cctype>
#include <mutex>
#include <vector>

#include "platform/win32/win32_internal.h"

namespace platform {

namespace {
std::mutex gConfigDirMutex;
std::string gConfigDir;  // empty: the Windows directory

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  const char last = dir.back();
  return (last == '\\' || last == '/' || last == ':') ? dir + name : dir + "\\" + name;
}

// '*' and '?' matched without regard to case.  The system's own matching
// also tries the short 8.3 alias of each name ("*.txt" would find
// "a.txta"), so every name it returns is checked again here.
bool GlobMatch(const char* pattern, const char* name) {
  const char* starPattern = nullptr;
  const char* starName = nullptr;
  while (*name) {
    if (*pattern == '*') {
      starPattern = ++pattern;
      starName = name;
    } else if (*pattern == '?' ||
               std::tolower(static_cast<unsigned char>(*pattern)) ==
                   std::tolower(static_cast<unsigned char>(*name))) {
      ++pattern;
      ++name;
    } else if (starPattern) {
      pattern = starPattern;
      name = ++starName;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

// Calls onEntry for every directory entry FindFirstFileA/FindNextFileA
// report for the search text; false when there was none.
template <class F>
bool ForEachEntry(const std::string& search, F&& onEntry) {
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA(search.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool more = true;
  while (more) {
    if (!onEntry(data)) break;
    more = FindNextFileA(find, &data) != 0;
  }
  FindClose(find);
  return true;
}

bool IsDirectory(const WIN32_FIND_DATAA& data) {
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
}  // namespace

std::string CurrentDirectory() {
  const DWORD needed = GetCurrentDirectoryA(0, nullptr);
  if (needed == 0) return {};
  std::vector<char> buffer(needed + 1);
  const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length >= buffer.size()) return {};
  return std::string(buffer.data(), length);
}

bool SetCurrentDirectory(const std::string& dir) { return SetCurrentDirectoryA(dir.c_str()) != 0; }

std::string ConfigDirectory() {
  {
    std::lock_guard<std::mutex> lock(gConfigDirMutex);
    if (!gConfigDir.empty()) return gConfigDir;
  }
  char buffer[MAX_PATH + 1] = {};
  const UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return "C:\\WINDOWS";
  return std::string(buffer, length);
}

void SetConfigDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(gConfigDirMutex);
  gConfigDir = dir;
}

bool FindFiles(const std::string& dir, const std::string& pattern,
               const std::function<void(const std::string&)>& onName) {
  bool any = false;
  ForEachEntry(Join(dir.empty() ? "." : dir, pattern), [&](const WIN32_FIND_DATAA& data) {
    if (!IsDirectory(data) && GlobMatch(pattern.c_str(), data.cFileName)) {
      any = true;
      onName(data.cFileName);
    }
    return true;
  });
  return any;
}

std::string FindFileNoCase(const std::string& dir, const std::string& name) {
  // Windows file names ignore case already; the search only must not take
  // the name as a pattern or match a short alias.
  if (name.empty() || name.find_first_of("*?") != std::string::npos) return {};
  std::string found;
  ForEachEntry(Join(dir, name), [&](const WIN32_FIND_DATAA& data) {
    if (!IsDirectory(data) && lstrcmpiA(data.cFileName, name.c_str()) == 0) {
      found = Join(dir, data.cFileName);
      return false;
    }
    return true;
  });
  return found;
}

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* defaultText,
                                 char* buffer, uint32_t bufferSize, const std::string& path) {
  if (buffer == nullptr || bufferSize == 0) return 0;
  // A bare file name names a file in the configuration directory (the
  // Windows directory unless the host chose another).
  const std::string fullPath =
      path.find_first_of("\\/:") == std::string::npos ? Join(ConfigDirectory(), path) : path;
  return GetPrivateProfileStringA(section, key, defaultText, buffer, bufferSize, fullPath.c_str());
}

}  // namespace platform
