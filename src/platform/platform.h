// What the operating system gives the library: clock, waits, serial ports,
// threads, files, message box and tone.  Everything above src/platform/ goes
// through this header and includes no OS header of its own.  One backend per
// OS implements it (posix/, win32/); thread.cpp is portable C++.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// ---- Clock ------------------------------------------------------------

// Elapsed milliseconds since the library was loaded, from a monotonic clock,
// wrapping like a 32-bit counter (every 49.7 days).  The value is carried as
// a signed 32-bit number; never compare two readings with < or subtract them
// in signed arithmetic: use the modular helpers below.
int32_t ClockMs();
// Restarts the count (library load).  The count starts at the value of the
// environment variable Q583_CLOCK_START_MS when it is set (a test seam: a
// value just below 2^31 or 2^32 runs the library across the clock's wrap).
void ResetClock();
// Starts the count at startMs from now on (the same seam, for tests).
void SetClockStart(uint32_t startMs);

// ---- Clock arithmetic: the one place where readings are compared -------
// All modular, in unsigned arithmetic, so that the wrap is harmless.

// a - b for two readings, as a signed distance (valid within 24.8 days).
inline int32_t ClockDiff(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
// The reading `ms` after `from`.
inline int32_t ClockAdd(int32_t from, int32_t ms) {
  return static_cast<int32_t>(static_cast<uint32_t>(from) + static_cast<uint32_t>(ms));
}
// The reading ms from now (a deadline).
inline int32_t DeadlineAfter(int32_t ms) { return ClockAdd(ClockMs(), ms); }
// True once the clock has reached deadline.
inline bool Reached(int32_t deadline) { return ClockDiff(ClockMs(), deadline) >= 0; }
// Milliseconds left until deadline, never negative.
inline int32_t RemainingMs(int32_t deadline) {
  const int32_t left = ClockDiff(deadline, ClockMs());
  return left > 0 ? left : 0;
}
// Milliseconds elapsed since an earlier reading.
inline int32_t ElapsedMs(int32_t since) { return ClockDiff(ClockMs(), since); }

// Monotonic microseconds, for measurements only.
int64_t MonotonicMicros();

// Local date and time in the C library's ctime form:
// "Wed Jun 30 21:49:08 1993\n".
std::string CtimeNow();
// Seconds since 1970 (UTC), with the fraction.
double WallSeconds();

// ---- Waits ------------------------------------------------------------

// Thrown out of every wait of a thread that has been killed (Thread::Kill).
// Caught at the thread's top: the thread unwinds without its end sequence.
struct ThreadKilled {};

// Peeks at the calling thread's message queue without removing a message.
// A no-op where there is no message queue.  On Windows, on a host thread,
// the wait that follows serves the queue (dispatches what arrives) for its
// whole length, so that a window of the host never stops responding while
// the library waits for the instrument.
void PeekMessages();

// Sleeps ms milliseconds.  On a library thread: throws ThreadKilled when the
// thread is killed; Wake() does not shorten it.
void SleepMs(int32_t ms);

// Lost: the port has hung up or failed (the adapter was unplugged, the other
// side of a pseudo-terminal closed, a read or status call failed in a way that
// leaves the port unusable).  Nothing more will come through it; the caller
// closes it.
enum class WaitResult { Ready, Timeout, Woken, Lost };

// Waits up to ms for the calling library thread to be woken (Thread::Wake).
// On a thread that is not a library thread it simply sleeps.  Throws
// ThreadKilled when killed.
WaitResult WaitForWake(int32_t ms);

// Throws ThreadKilled when the calling library thread has been killed.
void CheckKilled();

// ---- Serial ports -----------------------------------------------------

using PortHandle = intptr_t;
constexpr PortHandle kInvalidPort = -1;  // INVALIDCOMDEV: all bits set

struct ComStatus {
  uint32_t cbInQue = 0;   // received bytes not yet read
  uint32_t cbOutQue = 0;  // bytes still waiting to go out
  uint32_t rxCapacity = 0;  // most unread bytes the driver holds (0: unknown)
};

// Device for a zero-based port number: the mapping set with
// SetPortDevice, else "/dev/ttyS<n>" (POSIX) or "\\.\COM<n+1>" (Windows).
std::string PortDevice(int comPort);
// Maps a port number to a device; empty restores the default.
void SetPortDevice(int comPort, const std::string& device);

// Opens the port exclusively for reading and writing (no sharing).  On
// Linux it also asks the driver for low latency (see PortLowLatency).
PortHandle OpenPort(int comPort);

// The low-latency request made when a port opened.  A USB-serial adapter
// holds what it receives for up to its latency timer (16 ms on FTDI-style
// chips) before it passes it on; ASYNC_LOW_LATENCY brings that down to about
// 1 ms.  Ports without such a setting (a pseudo-terminal, most built-in
// UARTs' drivers) refuse, and the port works as before.
enum class LowLatency {
  Set,          // the driver took the request; it is taken back at close
  AlreadySet,   // the port was in low-latency mode already
  Refused,      // the driver has no such setting or refused it
  Unavailable,  // no request on this system (Windows: the adapter driver's own setting)
};
// The outcome for an open port (Unavailable for an invalid handle).
LowLatency PortLowLatency(PortHandle port);
// The outcome as a word for logs: "set", "already set", "refused", "unavailable".
const char* LowLatencyText(LowLatency outcome);
// Line settings: bit rate, 8 data bits, no parity, 1 stop bit, raw, DTR on,
// RTS off.  False when a setting is refused.
bool SetLine(PortHandle port, uint32_t baud);
// Driver queue sizes (kept for the checks that use them where the OS has
// no such setting).  False when refused.
bool SetQueues(PortHandle port, uint32_t rxQueue, uint32_t txQueue);
// Reads return at once with what has arrived.  False when refused.
bool SetImmediateReads(PortHandle port);
// Lets what was written go out (bounded by timeoutMs), then closes.
void ClosePort(PortHandle port, int32_t drainTimeoutMs);

// Writes one byte without blocking; true when it was taken.
bool WriteByte(PortHandle port, uint8_t value);
// Reads at most one byte without blocking; true when one was read.
bool ReadByte(PortHandle port, uint8_t& value);
// Reads up to n bytes without blocking; returns the count (0 = none), or -1
// when the port has hung up or failed.
int ReadBytes(PortHandle port, uint8_t* buffer, int n);

// Blocks until at least minBytes can be read, ms pass, or (on a library
// thread) the thread is woken.  Returns Lost at once when the port has hung
// up or failed.  Throws ThreadKilled when killed.  A timeout of 0 or less
// only looks.
WaitResult WaitReadable(PortHandle port, int32_t ms, uint32_t minBytes = 1);
// Blocks until a byte can be written or ms pass; Lost at once when the port
// has hung up or failed.  Throws when killed.
WaitResult WaitWritable(PortHandle port, int32_t ms);

// Queue counts; also clears the port's error state.  False on failure
// (a hung-up or failed port among them).  rxCapacity: the most unread bytes
// the driver can hold (0: unknown).
bool GetComStatus(PortHandle port, ComStatus& status);
// Discards both queues.
bool PurgePort(PortHandle port);

// ---- The receive path of a run ------------------------------------------
// A run's thread takes what is waiting with one read and one wait a
// wake-up; neither asks the port more than its name says, and nothing of
// the transmit queue.

// Reads what is waiting, up to room bytes, in one read; `waiting` tells how
// many were waiting (more than were read when the room was short).  Where
// a read cannot take everything waiting at once, the count comes first and
// the read takes that many.  Returns the bytes read, or -1 when the port has
// hung up or failed.
int ReadWaiting(PortHandle port, uint8_t* buffer, int room, uint32_t& waiting);
// The most unread bytes the driver holds (0: unknown), asked at open.
uint32_t ReceiveCapacity(PortHandle port);
// Microseconds one byte takes on the port's line (ten bits).
int64_t LineByteMicros(PortHandle port);
// Sleeps up to us microseconds without counting what is waiting.  Ends at
// once when the thread is woken (Woken) or the port hangs up (Lost; Ready
// while bytes are still waiting), and, with anyByte, when a byte can be
// read (Ready).  Where the system cannot wait for a byte, an anyByte wait
// lasts at most a byte's line time.  Throws ThreadKilled when killed.
WaitResult WaitReceive(PortHandle port, int64_t us, bool anyByte);

// ---- Threads ----------------------------------------------------------

// A library thread (acquisition, beep).  Created suspended; the body runs
// after Resume().  Kill() asks it to end at once: every wait of the body
// throws ThreadKilled and the body unwinds without its end sequence.  Kill()
// returns when it has, or after boundMs when the thread sits in a call that
// does not wait through the library (a host callback, a blocking system
// call): the thread is then left to end on its own at its next wait, and
// nothing of it outlives it.  Wake() cuts short the current WaitReadable or
// WaitForWake so the body looks at its flags again.
class Thread {
 public:
  static constexpr int32_t kKillBoundMs = 1000;
  static std::unique_ptr<Thread> CreateSuspended(std::function<void()> body);
  virtual ~Thread() = default;  // kills a thread still running (bounded)
  virtual void Resume() = 0;
  virtual void Wake() = 0;
  // True when the thread has ended; false when it was left to end alone.
  virtual bool Kill(int32_t boundMs = kKillBoundMs) = 0;
  // Waits for the body to return on its own; false after ms.
  virtual bool Join(int32_t ms) = 0;
  virtual bool Finished() const = 0;
  // True when called from this thread.
  virtual bool IsCurrent() const = 0;
};

// True on a library thread that has been killed (its end sequence must not
// run).
bool CurrentThreadKilled();

// ---- Message box and tone ---------------------------------------------

constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbOkCancel = 0x1;
constexpr uint32_t kMbIconWarning = 0x30;
constexpr uint32_t kMbSystemModal = 0x1000;
constexpr uint32_t kMbSetForeground = 0x10000;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

using MessageBoxHandler = int (*)(const char* text, const char* caption, uint32_t style);
using BeepHandler = void (*)(uint32_t frequencyHz, uint32_t durationMs);

// Shows a message box owned by the foreground window (ownerForeground) or by
// none; returns kIdOk or kIdCancel.  Goes through the installed handler.
int MessageBox(const char* text, const char* caption, uint32_t style, bool ownerForeground);
void SetMessageBoxHandler(MessageBoxHandler handler);
// FlashWindow(GetForegroundWindow(), FALSE); a no-op without windows.
void FlashForegroundWindow();

// Sounds a tone and returns when it is over.  Interruptible on a library
// thread (throws ThreadKilled).
void Beep(uint32_t frequencyHz, uint32_t durationMs);
void SetBeepHandler(BeepHandler handler);

// While the library has called the host back on this thread: the message
// box (the host's handler or the system's box with its message loop), the
// beep handler, the window messages answered during a wait (Windows).
class HostCallbackScope {
 public:
  HostCallbackScope();
  ~HostCallbackScope();
  HostCallbackScope(const HostCallbackScope&) = delete;
  HostCallbackScope& operator=(const HostCallbackScope&) = delete;
};
bool InHostCallback();

// ---- Files and directories --------------------------------------------

std::string CurrentDirectory();
bool SetCurrentDirectory(const std::string& dir);
// The directory that holds the configuration file: the Windows directory,
// or "/etc" on POSIX, unless overridden.
std::string ConfigDirectory();
void SetConfigDirectory(const std::string& dir);  // empty restores default
// Names in dir matching a pattern with '*' and '?' (case-insensitive where
// the OS is).  Names only, no directories.
bool FindFiles(const std::string& dir, const std::string& pattern,
               const std::function<void(const std::string&)>& onName);
// A file in dir whose name equals name without regard to case; returns the
// full path of the first match or empty.
std::string FindFileNoCase(const std::string& dir, const std::string& name);

// The private-profile reader (GetPrivateProfileStringA): copies the key's
// value, at most bufferSize - 1 characters, or the default when the section
// or key is absent; returns the number of characters copied.
uint32_t GetPrivateProfileString(const char* section, const char* key, const char* defaultText,
                                 char* buffer, uint32_t bufferSize, const std::string& path);

}  // namespace platform
