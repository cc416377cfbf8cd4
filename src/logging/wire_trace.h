// The wire trace: every byte the library writes to the instrument and reads
// from it, with its direction and time, in a text file (the format is
// written in wire_trace.cpp).  The link calls it on its byte path; off, that
// costs one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

extern std::atomic<bool> gWireTraceOn;

// Whether a trace is being written; the one test on the byte path.
inline bool WireTraceOn() { return gWireTraceOn.load(std::memory_order_relaxed); }

// Starts a trace into path (created or emptied), ending any trace before;
// false, and no trace, when the file cannot be created.
bool StartWireTrace(const std::string& path);
// Ends the trace (an "end" line, the file closed); nothing when none is on.
void EndWireTrace();

// Bytes read from the port in one read, as one line of the trace.
void TraceReceivedBytes(const uint8_t* bytes, size_t count);
// Writes one byte to the port and notes it in the same step, so that a reply
// read on another thread never comes before it in the trace; true when the
// port took it.
bool WriteTracedByte(platform::PortHandle port, uint8_t byte);
// What happened to the port: "open DEVICE", "line BAUD", "close".
void TraceWireEvent(const std::string& event);
