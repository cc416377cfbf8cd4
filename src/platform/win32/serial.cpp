// Win32 serial ports: plain (non-overlapped) handles with read time-outs
// that make every read return at once.  Such a handle cannot block until
// data arrives, so the waits look at the receive queue (ClearCommError) and
// between looks wait (on the thread's interrupter, or serving the host
// thread's messages) for about as long as the missing bytes take on the
// line, at least 1 ms.
//
// A port whose status or read call fails in a way that leaves it unusable
// (the adapter unplugged, the other side of a pseudo-terminal closed) is
// marked lost for good: from then on its waits return Lost at once, reads
// return -1 and the status fails, until the caller closes it.
#include "platform/win32/windows_api.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/win32/win32_internal.h"

namespace platform {

namespace {
struct PortInfo {
  int comPort = 0;        // zero-based number the port was opened for
  uint32_t baud = 0;      // bit rate of the last line setting
  uint32_t rxQueue = 0;   // input queue size given to SetupComm
  uint32_t txQueue = 0;   // output queue size given to SetupComm
  bool lost = false;      // hung up or failed: nothing more comes through
};

// The bound of one WriteFile (see SetImmediateReads): far above a byte's
// time on the line, well below WriteComByte's 3000 ms.
constexpr DWORD kStalledWriteMs = 500;

std::mutex gMapMutex;
std::map<int, std::string> gDeviceMap;  // port number -> device name
std::map<PortHandle, PortInfo> gPorts;  // open ports

HANDLE Native(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

// "COM1".."COM9" open under their plain names; from COM10 on only the
// device namespace form "\\.\COM10" reaches the port.
std::string ComName(int number) {
  return number > 9 ? "\\\\.\\COM" + std::to_string(number) : "COM" + std::to_string(number);
}

// A mapping given as a plain "COM<n>" gets the device namespace prefix when
// the plain name could not open it.
std::string NormalisedDevice(const std::string& device) {
  if (device.size() > 3 && _strnicmp(device.c_str(), "COM", 3) == 0 &&
      device.find_first_not_of("0123456789", 3) == std::string::npos) {
    return ComName(std::atoi(device.c_str() + 3));
  }
  return device;
}

PortInfo Info(PortHandle port) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  auto it = gPorts.find(port);
  return it != gPorts.end() ? it->second : PortInfo{};
}

bool IsLost(PortHandle port) { return Info(port).lost; }

void MarkLost(PortHandle port) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  auto it = gPorts.find(port);
  if (it != gPorts.end()) it->second.lost = true;
}

// The driver's status call.  It never fails on a working port: a failure
// (ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED or ERROR_DEVICE_REMOVED from an
// unplugged adapter, ERROR_NOT_READY from a hung-up pseudo-terminal under
// Wine, ERROR_INVALID_HANDLE...) marks the port lost.
bool LookAtPort(PortHandle port, DWORD& errors, COMSTAT& stat) {
  if (port == kInvalidPort || IsLost(port)) return false;
  if (ClearCommError(Native(port), &errors, &stat)) return true;
  MarkLost(port);
  return false;
}

// After a failed ReadFile or WriteFile: the port is lost unless the call was
// only cut short by a line error (ERROR_OPERATION_ABORTED while the driver
// aborts on errors) that the status call has now cleared, or by the write
// bound (some drivers report it as an error rather than as a write of
// nothing): a stalled line is not a removed one.
void JudgeFailedTransfer(PortHandle port) {
  const DWORD error = GetLastError();
  if (error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT) return;
  DWORD lineErrors = 0;
  COMSTAT stat{};
  if (!LookAtPort(port, lineErrors, stat)) return;  // marked lost there
  if (error != ERROR_OPERATION_ABORTED || lineErrors == 0) MarkLost(port);
}

// Microseconds one byte takes on the line (ten bits).
int64_t ByteMicros(PortHandle port) {
  const uint32_t baud = Info(port).baud;
  return 10'000'000 / (baud ? baud : 9600);
}
}  // namespace

std::string PortDevice(int comPort) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  auto it = gDeviceMap.find(comPort);
  if (it != gDeviceMap.end()) return it->second;
  return ComName(comPort + 1);
}

void SetPortDevice(int comPort, const std::string& device) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  if (device.empty())
    gDeviceMap.erase(comPort);
  else
    gDeviceMap[comPort] = NormalisedDevice(device);
}

PortHandle OpenPort(int comPort) {
  const std::string name = PortDevice(comPort);
  // Read and write, no sharing, plain synchronous I/O.
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidPort;
  const auto port = reinterpret_cast<PortHandle>(h);
  std::lock_guard<std::mutex> lock(gMapMutex);
  gPorts[port] = PortInfo{comPort};
  return port;
}

// Windows has no standard request for it: an FTDI-style adapter's latency
// timer is a setting of its driver (Device Manager, Advanced).
LowLatency PortLowLatency(PortHandle) { return LowLatency::Unavailable; }

bool SetLine(PortHandle port, uint32_t baud) {
  if (port == kInvalidPort || baud == 0 || IsLost(port)) return false;
  HANDLE h = Native(port);
  // The block starts zeroed, never from the port's current state: an earlier
  // program may have left null stripping (which would swallow every 0x00 of
  // the replies), an error character, parity checking or XON/XOFF there.
  // The mode text follows the port name, e.g. "COM1:300,n,8,1"; a mapped
  // device still carries the COM number the library asked for.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  char mode[64];
  std::snprintf(mode, sizeof mode, "COM%d:%lu,n,8,1", Info(port).comPort + 1,
                static_cast<unsigned long>(baud));
  if (!BuildCommDCBA(mode, &dcb)) {
    dcb = DCB{};
    dcb.DCBlength = sizeof dcb;
    std::snprintf(mode, sizeof mode, "%lu,n,8,1", static_cast<unsigned long>(baud));
    if (!BuildCommDCBA(mode, &dcb)) return false;
  }
  // DTR on, RTS off; the line is raw: binary, no parity check, no flow
  // control of any kind, every byte kept as received, and errors do not
  // stop reads until they are cleared.
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fTXContinueOnXoff = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  // Unused without XON/XOFF, but drivers check them: distinct characters
  // and the limits a standard driver starts with for its 4096-byte queue.
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  if (!SetCommState(h, &dcb)) {
    // A pseudo-terminal behind Wine has no modem lines and refuses to set
    // them with ERROR_NOT_SUPPORTED; that line setting does not matter there.
    if (GetLastError() != ERROR_NOT_SUPPORTED) return false;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    if (!SetCommState(h, &dcb)) return false;
  }
  std::lock_guard<std::mutex> lock(gMapMutex);
  gPorts[port].baud = baud;
  return true;
}

bool SetQueues(PortHandle port, uint32_t rxQueue, uint32_t txQueue) {
  if (port == kInvalidPort || !SetupComm(Native(port), rxQueue, txQueue)) return false;
  std::lock_guard<std::mutex> lock(gMapMutex);
  gPorts[port].rxQueue = rxQueue;
  gPorts[port].txQueue = txQueue;
  return true;
}

bool SetImmediateReads(PortHandle port) {
  if (port == kInvalidPort) return false;
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;  // with the rest 0: return at once
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  // A write of one byte takes at most about 35 ms (300 baud, no flow
  // control, an adapter's latency), but on an adapter that stalls without
  // being removed a synchronous WriteFile would never return, and every
  // other call on the handle (the acquisition thread's status calls) would
  // queue behind it.  The bound ends such a write with nothing written;
  // WriteComByte retries it as any write that took nothing, and gives up at
  // its own deadline.
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = kStalledWriteMs;
  return SetCommTimeouts(Native(port), &timeouts) != 0;
}

void ClosePort(PortHandle port, int32_t drainTimeoutMs) {
  if (port == kInvalidPort) return;
  // Let written bytes go out first: closing may discard them otherwise.  A
  // lost port has nothing left to send.
  const int32_t deadline = DeadlineAfter(drainTimeoutMs);
  for (;;) {
    ComStatus status;
    if (!GetComStatus(port, status) || status.cbOutQue == 0) break;
    if (Reached(deadline)) break;
    UseFineTimer();
    Sleep(1);
  }
  {
    std::lock_guard<std::mutex> lock(gMapMutex);
    gPorts.erase(port);
  }
  CloseHandle(Native(port));
}

bool WriteByte(PortHandle port, uint8_t value) {
  if (port == kInvalidPort || IsLost(port)) return false;
  DWORD written = 0;
  if (WriteFile(Native(port), &value, 1, &written, nullptr)) return written == 1;
  JudgeFailedTransfer(port);
  return false;
}

bool ReadByte(PortHandle port, uint8_t& value) { return ReadBytes(port, &value, 1) == 1; }

int ReadBytes(PortHandle port, uint8_t* buffer, int n) {
  if (port == kInvalidPort) return 0;  // a closed slot: simply nothing
  if (IsLost(port)) return -1;
  if (n <= 0) return 0;
  DWORD got = 0;
  if (ReadFile(Native(port), buffer, static_cast<DWORD>(n), &got, nullptr)) return static_cast<int>(got);
  JudgeFailedTransfer(port);
  return IsLost(port) ? -1 : 0;
}

WaitResult WaitReadable(PortHandle port, int32_t ms, uint32_t minBytes) {
  if (minBytes == 0) minBytes = 1;
  const bool serveMessages = TakeMessageServing();
  const int32_t deadline = DeadlineAfter(ms > 0 ? ms : 0);
  for (;;) {
    CheckKilled();
    ComStatus status;
    const bool looked = GetComStatus(port, status);
    if (looked && status.cbInQue >= minBytes) return WaitResult::Ready;
    if (!looked && port != kInvalidPort && IsLost(port)) return WaitResult::Lost;
    const int32_t left = RemainingMs(deadline);
    if (left <= 0) return WaitResult::Timeout;
    int32_t step = left;  // nothing can arrive on a closed port
    if (looked) {
      // The rest cannot be here before it has had time to cross the line.
      const int64_t restUs = ByteMicros(port) * (minBytes - status.cbInQue);
      step = static_cast<int32_t>((restUs + 999) / 1000);
      if (step < 1) step = 1;
      if (step > left) step = left;
    }
    if (WaitOnInterrupter(step, serveMessages) == WaitResult::Woken) return WaitResult::Woken;
  }
}

WaitResult WaitWritable(PortHandle port, int32_t ms) {
  const bool serveMessages = TakeMessageServing();
  const int32_t deadline = DeadlineAfter(ms > 0 ? ms : 0);
  const uint32_t txQueue = port != kInvalidPort ? Info(port).txQueue : 0;
  for (;;) {
    CheckKilled();
    ComStatus status;
    const bool looked = GetComStatus(port, status);
    // A write blocks until the driver takes the byte; it is ready as soon
    // as the output queue has room.
    if (looked && status.cbOutQue < (txQueue ? txQueue : 1)) return WaitResult::Ready;
    if (!looked && port != kInvalidPort && IsLost(port)) return WaitResult::Lost;
    const int32_t left = RemainingMs(deadline);
    if (left <= 0) return WaitResult::Timeout;
    if (WaitOnInterrupter(looked ? 1 : left, serveMessages) == WaitResult::Woken) return WaitResult::Woken;
  }
}

bool GetComStatus(PortHandle port, ComStatus& status) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!LookAtPort(port, errors, stat)) return false;
  status.cbInQue = stat.cbInQue;
  status.cbOutQue = stat.cbOutQue;
  status.rxCapacity = Info(port).rxQueue;
  return true;
}

bool PurgePort(PortHandle port) {
  return port != kInvalidPort && !IsLost(port) &&
         PurgeComm(Native(port), PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

int ReadWaiting(PortHandle port, uint8_t* buffer, int room, uint32_t& waiting) {
  waiting = 0;
  if (port == kInvalidPort) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!LookAtPort(port, errors, stat)) return IsLost(port) ? -1 : 0;
  waiting = stat.cbInQue;
  if (waiting == 0 || room <= 0) return 0;
  return ReadBytes(port, buffer, static_cast<int>(std::min<uint32_t>(waiting, static_cast<uint32_t>(room))));
}

uint32_t ReceiveCapacity(PortHandle port) { return Info(port).rxQueue; }

int64_t LineByteMicros(PortHandle port) { return ByteMicros(port); }

WaitResult WaitReceive(PortHandle port, int64_t us, bool anyByte) {
  CheckKilled();
  if (port != kInvalidPort && IsLost(port)) return WaitResult::Lost;
  // A handle that returns its reads at once cannot wait for a byte: the
  // caller counts again after a byte's line time.
  if (anyByte && port != kInvalidPort) us = std::min<int64_t>(us, ByteMicros(port));
  int64_t ms = (us + 999) / 1000;
  if (ms < 1) ms = 1;
  if (ms > INT32_MAX) ms = INT32_MAX;
  const WaitResult waited = WaitOnInterrupter(static_cast<int32_t>(ms), TakeMessageServing());
  return waited == WaitResult::Woken ? WaitResult::Woken : WaitResult::Timeout;
}

}  // namespace platform
