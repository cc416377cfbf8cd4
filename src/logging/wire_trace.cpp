// The wire trace file.  Its format, one event a line:
//
//   # Q583_SP wire trace 1                     (comment lines begin with #)
//   # library 10,26,2012,0, started Wed Dec  9 12:40:00 2026
//   0.000000 open /dev/ttyUSB0                 the port opened
//   0.000102 line 300                          its bit rate set
//   0.000315 > 00                              bytes written to the instrument
//   0.021877 < 03                              bytes read from it (one read)
//   5.130554 close                             the port closed
//   5.130601 end                               the trace ended
//
// The first field is the time in seconds since the trace began (monotonic,
// microseconds); the bytes are two hex digits each, in the order they went.
// Each line is flushed as it is written, so a program that dies leaves its
// trace whole up to its last byte.  q583-sim --replay reads it.
#include "logging/wire_trace.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "common/never_destroyed.h"
#include "platform/platform.h"

std::atomic<bool> gWireTraceOn{false};

namespace {

struct TraceFile {
  std::mutex lock;
  std::FILE* file = nullptr;  // null: no trace
  int64_t startUs = 0;
};

TraceFile& Trace() {
  static NeverDestroyed<TraceFile> trace;
  return trace.get();
}

void WriteTime(const TraceFile& trace) {
  const int64_t us = platform::MonotonicMicros() - trace.startUs;
  std::fprintf(trace.file, "%" PRId64 ".%06" PRId64, us / 1000000, us % 1000000);
}

void EndLocked(TraceFile& trace) {
  if (trace.file == nullptr) return;
  gWireTraceOn = false;
  WriteTime(trace);
  std::fputs(" end\n", trace.file);
  std::fclose(trace.file);
  trace.file = nullptr;
}

void WriteBytesLocked(TraceFile& trace, char direction, const uint8_t* bytes, size_t count) {
  if (trace.file == nullptr || count == 0) return;
  WriteTime(trace);
  std::fprintf(trace.file, " %c", direction);
  for (size_t i = 0; i < count; ++i) std::fprintf(trace.file, " %02X", bytes[i]);
  std::fputc('\n', trace.file);
  std::fflush(trace.file);
}

}  // namespace

bool StartWireTrace(const std::string& path) {
  TraceFile& trace = Trace();
  const std::lock_guard<std::mutex> guard(trace.lock);
  EndLocked(trace);
  trace.file = std::fopen(path.c_str(), "w");
  if (trace.file == nullptr) return false;
  trace.startUs = platform::MonotonicMicros();
  std::fprintf(trace.file, "# Q583_SP wire trace 1\n# library %s, started %s", Q583_VERSION_STRING,
               platform::CtimeNow().c_str());
  std::fflush(trace.file);
  gWireTraceOn = true;
  return true;
}

void EndWireTrace() {
  TraceFile& trace = Trace();
  const std::lock_guard<std::mutex> guard(trace.lock);
  EndLocked(trace);
}

void TraceReceivedBytes(const uint8_t* bytes, size_t count) {
  TraceFile& trace = Trace();
  const std::lock_guard<std::mutex> guard(trace.lock);
  WriteBytesLocked(trace, '<', bytes, count);
}

bool WriteTracedByte(platform::PortHandle port, uint8_t byte) {
  TraceFile& trace = Trace();
  const std::lock_guard<std::mutex> guard(trace.lock);
  if (!platform::WriteByte(port, byte)) return false;
  WriteBytesLocked(trace, '>', &byte, 1);
  return true;
}

void TraceWireEvent(const std::string& event) {
  TraceFile& trace = Trace();
  const std::lock_guard<std::mutex> guard(trace.lock);
  if (trace.file == nullptr) return;
  WriteTime(trace);
  std::fprintf(trace.file, " %s\n", event.c_str());
  std::fflush(trace.file);
}
