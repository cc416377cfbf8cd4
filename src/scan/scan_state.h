// Flags and handles shared by scan start, the acquisition thread, scan end,
// the direct operations and the beep thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

extern std::atomic<bool> fScanRunning;
extern std::atomic<uint8_t> fScanDataThread_EXIT_NOW_FLAG;
extern std::atomic<bool> fDiginWithScan;
extern std::atomic<bool> fDigOutPriority;
extern std::atomic<bool> fDiginRequestPending;
extern std::atomic<bool> fDigoutWhileScanPending;
extern std::atomic<uint8_t> bDigoutWhileScanPendingByte;
extern std::atomic<uint8_t> bNumPointsPerScan;
extern std::atomic<uint32_t> uiNumScansAllowedInSerialBuff_MAX;

// ---- The acquisition thread's handle ----------------------------------
// Safe from several host threads at once: every use holds its own reference,
// so a thread object is never freed under a caller that wakes or joins it.

// Creates the thread suspended (replacing none: the caller has ended any
// earlier one).  False when it could not be created.
bool CreateScanThread();
void ResumeScanThread();
// True while a thread exists that has not finished.
bool ScanThreadAlive();
// True when called on the acquisition thread.
bool OnScanThread();
// Waits up to ms for the thread to end on its own and releases it; true when
// no thread is left.
bool JoinScanThread(int32_t ms);
// Ends the acquisition thread at once: no stop command, no trailer, no
// end-of-run work; clears fScanRunning.  Safe when there is none.  The
// instrument may still be sending frames afterwards (fInstrumentScanning).
void TerminateScanThreadAtOnce();
// Wakes the acquisition thread so that it looks at its flags now.
void WakeScanThread();

// Serialises the host's run control (start, end, sign-on, forced ends)
// between host threads.  Recursive: the operations call one another.  Never
// taken by the acquisition thread.
class RunControlLock {
 public:
  RunControlLock();
  ~RunControlLock();
  RunControlLock(const RunControlLock&) = delete;
  RunControlLock& operator=(const RunControlLock&) = delete;
};

// True from the moment a scan command goes out until the instrument has
// been seen to stop (its stop echo) or has been signed on afresh: the
// instrument may still be sending frames.
extern std::atomic<bool> fInstrumentScanning;

// Stops a running scan as EX_EndScan does, by force if that fails.  True.
// With no run going it still makes sure that the instrument is quiet.
bool StopRunningScan();
// Before a host operation talks to the instrument outside a run: releases
// a thread that has ended and stops an instrument that a run left sending
// frames (a run that ended by itself, or one ended at once).  False only
// when the port has been lost.
bool QuietInstrumentAfterRun();
// Drops a digital-output byte still queued for a run that has ended
// (with a line in the general debug log).
void DropQueuedDigout();
