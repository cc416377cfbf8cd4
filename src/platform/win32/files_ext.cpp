// Whole-file reads and atomic whole-file writes on Windows.
#include "platform/files_ext.h"

#include "platform/win32/windows_api.h"

#include <vector>

namespace platform {

namespace {
// Closes the handle on every way out.
class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }
  bool Close() {
    if (h_ == INVALID_HANDLE_VALUE) return true;
    const bool ok = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

// Deletes the temporary file unless it has taken the target's place.
class TemporaryName {
 public:
  explicit TemporaryName(std::string path) : path_(std::move(path)) {}
  ~TemporaryName() {
    if (!kept_) DeleteFileA(path_.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);  // "C:\"
  return path.substr(0, slash);
}
}  // namespace

bool ReadWholeFile(const std::string& path, std::string& text) {
  FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return false;
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0 ||
      static_cast<uint64_t>(size.QuadPart) > kMaxWholeFileBytes)
    return false;
  std::string out;
  std::vector<char> chunk(8192);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) return false;
    if (got == 0) break;
    out.append(chunk.data(), got);
    if (out.size() > kMaxWholeFileBytes) return false;
  }
  text = std::move(out);
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  char tempName[MAX_PATH + 1] = {};
  if (GetTempFileNameA(DirectoryOf(path).c_str(), "q58", 0, tempName) == 0) return false;
  TemporaryName temporary(tempName);
  {
    FileHandle file(CreateFileA(tempName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file.Valid()) return false;
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
      const DWORD piece = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteFile(file.Get(), data, piece, &written, nullptr) || written == 0) return false;
      data += written;
      left -= written;
    }
    if (!FlushFileBuffers(file.Get())) return false;
    if (!file.Close()) return false;
  }
  // ReplaceFileA keeps the attributes and security of the file it replaces;
  // a file that does not exist yet is simply moved into place.
  const bool exists = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  bool placed = exists && ReplaceFileA(path.c_str(), tempName, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                       nullptr, nullptr) != 0;
  if (!placed)
    placed = MoveFileExA(tempName, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!placed) return false;
  temporary.Keep();
  return true;
}

}  // namespace platform
