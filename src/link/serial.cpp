// The serial link: the port table, byte reads and writes, timed reads, the
// millisecond and tick clocks and the waits.
//
// Every wait here blocks (on the port, or in a sleep) until the thing waited
// for can have happened; none polls the clock in a loop.  On a library
// thread the platform waits throw platform::ThreadKilled when the thread is
// killed; that is left to unwind to the thread's top.
#include "link/serial.h"

#include <algorithm>

#include "device/q583.h"
#include "logging/debug_log.h"
#include "logging/wire_trace.h"

std::atomic<platform::PortHandle> idComDev[kNumPortSlots];  // all INVALIDCOMDEV from load
std::atomic<int32_t> ComHandleNum{0};
platform::ComStatus comStat;
std::atomic<uint8_t> echoByte{0};
uint8_t rxBuf[16];

namespace {

std::atomic<bool> gPortLost{false};

bool ValidSlot(int32_t slot) { return slot >= 0 && slot < kNumPortSlots; }

// Ticks for a reading, in 64 bits so that the products cannot overflow.
int64_t Ticks64(int64_t ms) { return ((ms * 14) / 100 * 13) / 100; }

// Smallest non-negative ms whose tick count reaches t (t >= 1).
int64_t FirstMsOfTick(int64_t t) {
  const int64_t a = (100 * t + 12) / 13;  // least a with a * 13 / 100 >= t
  return (100 * a + 13) / 14;             // least ms with ms * 14 / 100 >= a
}

}  // namespace

platform::PortHandle CurrentPort() {
  const int32_t slot = ComHandleNum.load();
  return ValidSlot(slot) ? idComDev[slot].load() : INVALIDCOMDEV;
}

bool OpenComPort(int comPort) {
  if (!ValidSlot(comPort)) return false;
  const platform::PortHandle opened = platform::OpenPort(comPort);
  if (opened == INVALIDCOMDEV) return false;
  // A handle still in the slot (never the case on the library's own paths)
  // is closed rather than lost.
  const platform::PortHandle previous = idComDev[comPort].exchange(opened);
  if (previous != INVALIDCOMDEV) platform::ClosePort(previous, 0);
  gPortLost = false;
  if (WireTraceOn()) TraceWireEvent("open " + platform::PortDevice(comPort));
  // Whether a USB adapter passes bytes on at once or in lumps after its
  // latency timer shows in every reply time, so the scan debug log says.
  DebugPrintFlush(DebugLog::Scan, "[OpenComPort]  %s: low latency %s\n", platform::PortDevice(comPort).c_str(),
                  platform::LowLatencyText(platform::PortLowLatency(opened)));
  return true;
}

bool ConfigureComPort(uint32_t baud, bool* lineRefused) {
  if (lineRefused != nullptr) *lineRefused = false;
  const platform::PortHandle port = CurrentPort();
  if (port == INVALIDCOMDEV) return false;
  if (WireTraceOn()) TraceWireEvent("line " + std::to_string(baud));
  if (!platform::SetLine(port, baud)) {
    // LCOV_EXCL_START: no pseudo-terminal refuses a line setting
    if (lineRefused != nullptr) *lineRefused = true;
    return false;
    // LCOV_EXCL_STOP
  }
  if (!platform::SetQueues(port, Q583.RXQUEUESIZE, Q583.TXQUEUESIZE)) return false;
  if (!platform::SetImmediateReads(port)) return false;
  PurgeComBuffers();
  return true;
}

void CloseComPort() {
  const int32_t slot = ComHandleNum.load();
  if (!ValidSlot(slot)) return;
  const platform::PortHandle port = idComDev[slot].exchange(INVALIDCOMDEV);
  // Whatever was written last (the extended registers at the end of a
  // sign-on pass) must reach the instrument before the port goes.
  if (port == INVALIDCOMDEV) return;
  platform::ClosePort(port, kWriteTimeoutMs);
  if (WireTraceOn()) TraceWireEvent("close");
}

void CloseAllPorts() {
  for (auto& slot : idComDev) {
    const platform::PortHandle port = slot.exchange(INVALIDCOMDEV);
    if (port == INVALIDCOMDEV) continue;
    platform::ClosePort(port, kWriteTimeoutMs);
    if (WireTraceOn()) TraceWireEvent("close");
  }
  // The port is let go (EX_ClosePort, unload): a trace ends with it.  The
  // sign-on's own closes and reopens stay in the trace.
  EndWireTrace();
}

bool PortLost() { return gPortLost.load(); }

platform::WaitResult WaitPortReadable(int32_t ms, uint32_t minBytes) {
  const platform::WaitResult result = platform::WaitReadable(CurrentPort(), ms, minBytes);
  if (result == platform::WaitResult::Lost) gPortLost = true;
  return result;
}

int ReadPortBytes(uint8_t* buffer, int n) {
  const int got = platform::ReadBytes(CurrentPort(), buffer, n);
  if (got < 0) gPortLost = true;
  if (got > 0 && WireTraceOn()) TraceReceivedBytes(buffer, static_cast<size_t>(got));
  return got;
}

bool PortStatus(platform::ComStatus& status) {
  const platform::PortHandle port = CurrentPort();
  if (port == INVALIDCOMDEV) return false;
  if (platform::GetComStatus(port, status)) return true;
  gPortLost = true;
  return false;
}

int ReadPortWaiting(uint8_t* buffer, int room, uint32_t& waiting) {
  const int got = platform::ReadWaiting(CurrentPort(), buffer, room, waiting);
  if (got < 0) gPortLost = true;
  if (got > 0 && WireTraceOn()) TraceReceivedBytes(buffer, static_cast<size_t>(got));
  return got;
}

platform::WaitResult WaitPortReceive(int64_t us, bool anyByte) {
  const platform::WaitResult result = platform::WaitReceive(CurrentPort(), us, anyByte);
  if (result == platform::WaitResult::Lost) gPortLost = true;
  return result;
}

uint32_t PortReceiveCapacity() { return platform::ReceiveCapacity(CurrentPort()); }

int64_t PortByteMicros() { return platform::LineByteMicros(CurrentPort()); }

void CloseLostPort() {
  if (gPortLost && CurrentPort() != INVALIDCOMDEV) CloseComPort();
}

bool WriteComByte(uint32_t value) {
  // A killed thread left to end on its own sends nothing more.
  platform::CheckKilled();
  return WriteComByteInPacket(value);
}

bool WriteComByteInPacket(uint32_t value) {
  // A port that is lost or not open takes no byte however long one waits.
  if (gPortLost || CurrentPort() == INVALIDCOMDEV) return false;
  const auto byte = static_cast<uint8_t>(value & 0xFF);
  const int32_t deadline = DeadlineAfter(kWriteTimeoutMs);
  bool readyButRefused = false;
  for (;;) {
    const platform::PortHandle port = CurrentPort();
    if (WireTraceOn() ? WriteTracedByte(port, byte) : platform::WriteByte(port, byte)) return true;
    // LCOV_EXCL_START: a write finds no room only on a line the other end does not read
    if (Reached(deadline)) return false;
    // A port that reports room and still takes nothing must not turn this
    // into a busy loop.
    if (readyButRefused) platform::SleepMs(1);
    const platform::WaitResult waited = platform::WaitWritable(port, RemainingMs(deadline));
    if (waited == platform::WaitResult::Lost) {
      gPortLost = true;
      return false;
    }
    readyButRefused = waited == platform::WaitResult::Ready;
    // LCOV_EXCL_STOP
  }
}

bool ReadComByte(uint8_t& value) { return ReadPortBytes(&value, 1) == 1; }

void WaitForInput(int32_t deadline, uint32_t minBytes) {
  platform::PeekMessages();
  WaitPortReadable(RemainingMs(deadline), minBytes);
}

bool ReadComBytes(int32_t count, int32_t timeoutMs, uint8_t* buffer) {
  // No time at all reads nothing, even what is already waiting.
  if (timeoutMs <= 0) return false;
  const int32_t deadline = DeadlineAfter(timeoutMs);
  if (count <= 0) return true;
  int32_t received = 0;
  // Never more than asked for: the rest stays in the port for the next
  // reader.
  const auto take = [&] {
    const int got = ReadPortBytes(buffer + received, count - received);
    if (got > 0) received += got;
  };
  while (!Reached(deadline) && !gPortLost) {
    take();
    if (received >= count) return true;
    WaitForInput(deadline, static_cast<uint32_t>(count - received));
  }
  // A reply that completed just as the time ran out still counts.
  if (!gPortLost) take();
  return received >= count;
}

// LCOV_EXCL_START: tick readings that no wait of the library's takes (its own waits count from a deadline; the unit tests call these)
int32_t TicksFromMs(int32_t ms) { return static_cast<int32_t>(Ticks64(ms)); }

int32_t MsAtTicks(int32_t ticks) {
  const int64_t t = ticks;
  // The tick count truncates toward zero, so it is odd: ticks(-ms) ==
  // -ticks(ms); a target at or below zero is the mirror of one above it.
  const int64_t ms = t >= 1 ? FirstMsOfTick(t) : 1 - FirstMsOfTick(1 - t);
  return static_cast<int32_t>(ms);
}

int32_t GetTimerTicks() {
  // From the unsigned reading: ticks never go negative past 2^31 ms.
  return static_cast<int32_t>(Ticks64(static_cast<uint32_t>(ClockMs())));
}
// LCOV_EXCL_STOP

int32_t TickDeadline(int32_t ticks) {
  const auto now = static_cast<uint32_t>(ClockMs());
  const int64_t target = Ticks64(now) + ticks;
  if (target < 1) return static_cast<int32_t>(now);
  // A distance from now, so that the clock's wrap cannot stretch the wait.
  const int64_t waitMs = std::max<int64_t>(0, FirstMsOfTick(target) - static_cast<int64_t>(now));
  return ClockAdd(static_cast<int32_t>(now), static_cast<int32_t>(std::min<int64_t>(waitMs, INT32_MAX)));
}

void WaitTicks(int32_t ticks) {
  const int32_t deadline = TickDeadline(ticks);
  for (;;) {
    platform::PeekMessages();
    if (Reached(deadline)) return;
    platform::SleepMs(std::max<int32_t>(1, RemainingMs(deadline)));
  }
}

void WaitMs(int32_t ms) {
  const int32_t deadline = DeadlineAfter(ms);
  while (!Reached(deadline)) platform::SleepMs(RemainingMs(deadline));
}

bool GetComStatus() { return PortStatus(comStat); }

bool PurgeComBuffers() {
  (void)platform::PurgePort(CurrentPort());
  return true;
}

void DrainInput() {
  uint8_t byte = 0;
  while (ReadComByte(byte)) echoByte = byte;
}
