// The serial link: one open port at a time, non-blocking byte reads, retried
// byte writes, timed reads, the two clocks and the waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

constexpr platform::PortHandle INVALIDCOMDEV = platform::kInvalidPort;
constexpr int kNumPortSlots = 255;

// One handle per port number.  A close takes the handle out of its slot in
// one step, so that two closers (a host thread and the acquisition thread's
// own sign-on) can never both close it: the second would close whatever
// the process had opened under that number since.
extern std::atomic<platform::PortHandle> idComDev[kNumPortSlots];
extern std::atomic<int32_t> ComHandleNum;               // slot in use
extern platform::ComStatus comStat;                     // last GetComStatus
extern std::atomic<uint8_t> echoByte;                   // single-byte replies, drains
extern uint8_t rxBuf[16];                               // multi-byte replies

// The handle in the slot in use (INVALIDCOMDEV when closed).
platform::PortHandle CurrentPort();

// Opens "COM<comPort+1>" into its slot; false when it cannot be opened.
bool OpenComPort(int comPort);
// Applies the line settings at baud bit/s: DCB, queues, time-outs, purge.
// *lineRefused tells whether it was the line setting (bit rate, framing)
// that the port refused.
bool ConfigureComPort(uint32_t baud, bool* lineRefused = nullptr);
// Closes the slot in use (letting written bytes go out) and marks it invalid.
void CloseComPort();

bool WriteComByte(uint32_t value);                  // retried for 3000 ms
// The same for the second and later bytes of a packet: a killed thread
// finishes the packet it has begun (the room for it was there before its
// first byte), so that the instrument never holds part of one and takes
// the next packet's bytes for its rest.
bool WriteComByteInPacket(uint32_t value);
bool ReadComByte(uint8_t& value);                   // at once; false when none
bool ReadComBytes(int32_t count, int32_t timeoutMs, uint8_t* buffer);
int32_t GetTimerTicks();                            // 18.2 ticks a second
void WaitTicks(int32_t ticks);
void WaitMs(int32_t ms);
bool GetComStatus();                                // fills comStat
bool PurgeComBuffers();                             // always true
// Reads single bytes into echoByte until none is waiting.
void DrainInput();

// The millisecond clock and its modular arithmetic (platform.h).
using platform::ClockAdd;
using platform::ClockDiff;
using platform::ClockMs;
using platform::DeadlineAfter;
using platform::ElapsedMs;
using platform::Reached;
using platform::RemainingMs;

// Ticks of 1/18.2 s for a millisecond clock reading.
int32_t TicksFromMs(int32_t ms);
// The first millisecond clock reading at which the tick count reaches ticks.
int32_t MsAtTicks(int32_t ticks);
// The clock reading at which the tick count will have moved on by ticks.
int32_t TickDeadline(int32_t ticks);
// Blocks until the port holds at least minBytes or the clock reaches
// deadline; peeks the message queue first.  No byte is read.
void WaitForInput(int32_t deadline, uint32_t minBytes);

// How long WriteComByte keeps retrying, and so how long a close waits for
// written bytes to go out.
constexpr int32_t kWriteTimeoutMs = 3000;

// ---- A lost port --------------------------------------------------------
// A port that hangs up or fails (an adapter unplugged, the other side of a
// pseudo-terminal closed) is noted by every read, wait and status call of
// the link that sees it; nothing more will come through it.  The note is
// cleared when a port is opened.
bool PortLost();
// The platform calls on the port in use, noting a lost port.
platform::WaitResult WaitPortReadable(int32_t ms, uint32_t minBytes);
int ReadPortBytes(uint8_t* buffer, int n);  // -1: lost
bool PortStatus(platform::ComStatus& status);
// The receive path of a run on the port in use (platform.h), noting a lost
// port: one read, one wait.
int ReadPortWaiting(uint8_t* buffer, int room, uint32_t& waiting);
platform::WaitResult WaitPortReceive(int64_t us, bool anyByte);
uint32_t PortReceiveCapacity();
int64_t PortByteMicros();
// Closes the port in use when it has been lost, so that the next sign-on
// opens the device afresh.  Not called on the acquisition thread (a host
// thread may be using the port's descriptor).
void CloseLostPort();

// Closes every open slot (library unload).
void CloseAllPorts();
