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

// The acquisition thread (owned here; null when none).
extern std::unique_ptr<platform::Thread> hScanDataThread;

// Ends the acquisition thread at once: no stop command, no trailer, no
// end-of-run work; clears fScanRunning.  Safe when there is none.
void TerminateScanThreadAtOnce();
// Wakes the acquisition thread so that it looks at its flags now.
void WakeScanThread();
// Stops a running scan as EX_EndScan does, by force if that fails.  True.
bool StopRunningScan();
