// Directories and file search on POSIX.
#include <dirent.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {
std::mutex gConfigDirMutex;
std::string gConfigDir;  // empty: the default

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}
}  // namespace

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  if (!getcwd(buffer.data(), buffer.size())) return {};
  return buffer.data();
}

bool SetCurrentDirectory(const std::string& dir) { return chdir(dir.c_str()) == 0; }

std::string ConfigDirectory() {
  std::lock_guard<std::mutex> lock(gConfigDirMutex);
  return gConfigDir.empty() ? std::string("/etc") : gConfigDir;
}

void SetConfigDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(gConfigDirMutex);
  gConfigDir = dir;
}

bool FindFiles(const std::string& dir, const std::string& pattern,
               const std::function<void(const std::string&)>& onName) {
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return false;
  bool any = false;
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    if (!IsRegularFile(Join(dir.empty() ? "." : dir, name))) continue;
    any = true;
    onName(name);
  }
  closedir(d);
  return any;
}

std::string FindFileNoCase(const std::string& dir, const std::string& name) {
  std::string found;
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return found;
  // An exact match wins over one that differs only in case.
  if (IsRegularFile(Join(dir, name))) found = Join(dir, name);
  while (found.empty()) {
    dirent* entry = readdir(d);
    if (!entry) break;
    if (strcasecmp(entry->d_name, name.c_str()) == 0 && IsRegularFile(Join(dir, entry->d_name)))
      found = Join(dir, entry->d_name);
  }
  closedir(d);
  return found;
}

}  // namespace platform
