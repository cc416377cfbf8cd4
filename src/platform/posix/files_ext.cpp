// Whole-file reads and atomic writes on POSIX.
#include "platform/files_ext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {

namespace {

// Closes the descriptor on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }
  bool Close() {
    if (fd_ < 0) return true;
    const bool ok = ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }

 private:
  int fd_;
};

// Removes the temporary file unless it has been renamed into place.
class TemporaryName {
 public:
  explicit TemporaryName(std::string path) : path_(std::move(path)) {}
  ~TemporaryName() {
    if (!kept_) ::unlink(path_.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& text) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) > kMaxWholeFileBytes) return false;
  std::string out;
  std::vector<char> chunk(8192);
  for (;;) {
    const ssize_t got = ::read(fd.Get(), chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    out.append(chunk.data(), static_cast<size_t>(got));
    if (out.size() > kMaxWholeFileBytes) return false;
  }
  text = std::move(out);
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string pattern = path + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  FileDescriptor fd(::mkstemp(name.data()));
  if (fd.Get() < 0) return false;
  TemporaryName temporary(name.data());

  mode_t mode = 0644;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode &= static_cast<mode_t>(~mask);
  }
  if (::fchmod(fd.Get(), mode) != 0) return false;
  if (!WriteAll(fd.Get(), text.data(), text.size())) return false;
  if (::fsync(fd.Get()) != 0) return false;
  if (!fd.Close()) return false;
  if (::rename(name.data(), path.c_str()) != 0) return false;
  temporary.Keep();
  return true;
}

}  // namespace platform
