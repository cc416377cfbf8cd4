// The three debug logs: the general log "VexNewDbg.txt", the scan log
// "ScanOut.txt" and the levelled log "583_debug.txt".  Each is one text
// stream or none; every writer tests that its stream is open and writes one
// formatted print.  The acquisition thread closes the general and scan logs
// at the end of a run while the host's thread may be writing to them, so
// each log has its own mutex around the test, the print and the close; a
// writer that finds its log closed (read without the mutex) prints nothing.
#include "logging/debug_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "common/never_destroyed.h"
#include "platform/platform.h"

namespace {

constexpr const char* kVersionString = Q583_VERSION_STRING;
constexpr const char* kBuildDate = __DATE__;
constexpr const char* kBuildTime = __TIME__;

struct LogStream {
  std::mutex lock;
  std::FILE* file = nullptr;  // null: none
  // Whether file is set, readable without the lock: a writer that finds
  // the log closed returns without taking it (the usual case, per frame).
  // Set under the lock with every change of file.
  std::atomic<bool> open{false};

  void Close() {
    if (file != nullptr) std::fclose(file);  // errors from closing are ignored
    file = nullptr;                           // marked none whatever the close reports
    open = false;
  }
};

LogStream& Logs(int index) {
  static NeverDestroyed<LogStream> logs[3];
  return logs[index].get();
}
std::atomic<uint8_t> bDbgLvl{0};

LogStream& Stream(DebugLog log) {
  switch (log) {
    case DebugLog::General:
      return Logs(0);
    case DebugLog::Scan:
      return Logs(1);
    case DebugLog::Levelled:
    default:
      return Logs(2);
  }
}

// Creates (or empties) the file; the stream stays none when that fails.
bool OpenLocked(LogStream& stream, const char* name) {
  stream.Close();
  stream.file = std::fopen(name, "wt");
  stream.open = stream.file != nullptr;
  return stream.file != nullptr;
}

void VPrint(DebugLog log, bool flush, const char* format, va_list args) {
  LogStream& stream = Stream(log);
  if (!stream.open.load(std::memory_order_acquire)) return;
  const std::lock_guard<std::mutex> guard(stream.lock);
  if (!stream.file) return;
  std::vfprintf(stream.file, format, args);
  if (flush) std::fflush(stream.file);
}

}  // namespace

bool DebugLogOpen(DebugLog log) { return Stream(log).open.load(std::memory_order_acquire); }

void DebugPrint(DebugLog log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(log, false, format, args);
  va_end(args);
}

void DebugPrintFlush(DebugLog log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(log, true, format, args);
  va_end(args);
}

void DebugFlush(DebugLog log) {
  LogStream& stream = Stream(log);
  const std::lock_guard<std::mutex> guard(stream.lock);
  if (stream.file) std::fflush(stream.file);
}

void DebugClose(DebugLog log) {
  LogStream& stream = Stream(log);
  const std::lock_guard<std::mutex> guard(stream.lock);
  stream.Close();
}

long DebugPosition(DebugLog log) {
  LogStream& stream = Stream(log);
  const std::lock_guard<std::mutex> guard(stream.lock);
  if (!stream.file) return 0;
  const long position = std::ftell(stream.file);
  return position < 0 ? 0 : position;
}

bool DoVexDbgNew(uint8_t enable) {
  LogStream& stream = Stream(DebugLog::General);
  const std::lock_guard<std::mutex> guard(stream.lock);
  stream.Close();
  if (enable == 0) return true;
  if (!OpenLocked(stream, "VexNewDbg.txt")) return false;
  std::fprintf(stream.file, "This log file created:  %s", platform::CtimeNow().c_str());
  std::fflush(stream.file);
  return true;
}

bool DoScanDebug(uint8_t flag) {
  LogStream& stream = Stream(DebugLog::Scan);
  const std::lock_guard<std::mutex> guard(stream.lock);
  if (flag == 0) {
    stream.Close();
    return true;
  }
  if (stream.file) return true;  // already open: no second header
  // A file that cannot be created leaves the log closed; still true.
  if (!OpenLocked(stream, "ScanOut.txt")) return true;
  std::string created = platform::CtimeNow();
  if (!created.empty() && created.back() == '\n') created.pop_back();
  std::fprintf(stream.file, "This log file created:  %s", created.c_str());
  std::fprintf(stream.file, "This DLL compilation date/time: %s, %s\r\nThis DLL version: %s\r\n\r\n", kBuildDate,
               kBuildTime, kVersionString);
  return true;
}

bool DoDebugNorm(uint8_t level) {
  LogStream& stream = Stream(DebugLog::Levelled);
  const std::lock_guard<std::mutex> guard(stream.lock);
  if (!stream.file) {
    if (!OpenLocked(stream, "583_debug.txt")) return false;
    // The level is taken when the file is opened and kept until unload.
    bDbgLvl = level;
    std::fprintf(stream.file, "This log file created:  %s", platform::CtimeNow().c_str());
    std::fflush(stream.file);
  }
  std::fprintf(stream.file, "bDbgLvl:  %d\n", static_cast<int>(bDbgLvl.load()));
  std::fflush(stream.file);
  return true;
}

uint8_t DebugLevel() { return bDbgLvl; }

