// The memory ring of raw counts and the host's retrieval of whole scans.
//
// The acquisition thread stores, the host reads; a small lock keeps the two
// positions and the unread count consistent, so that a scan is counted only
// once all its values are in, and a scan the host reads can never be
// overwritten under it.  When the host falls behind by more than the ring
// holds, the oldest unread scan makes room for the newest and is counted as
// lost; with stop-when-full the run ends instead.
#include <mutex>

#include "device/q583.h"
#include "link/commands.h"
#include "logging/debug_log.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
#include "scan/scan_state.h"

std::atomic<uint32_t> uiNumScansInRing{0};

namespace {
std::mutex gRingMutex;
int32_t scanRing[kScanRingSize];
int32_t scanRingWritePos = 0;  // guarded by gRingMutex
int32_t scanRingReadPos = 0;   // guarded by gRingMutex
std::atomic<uint32_t> uiScansLost{0};
// The run's format, taken at its start: the unread scans of a run that has
// ended are handed out as that run made them, whatever the settings are by
// the time the host reads them.
std::atomic<uint32_t> gRunPoints{1};
std::atomic<int16_t> gRunWords{3};
std::atomic<int16_t> gRunPolarity{1};

int32_t Advance(int32_t pos) { return pos + 1 >= kScanRingSize ? 0 : pos + 1; }

uint32_t PointsPerScan() { return gRunPoints.load(); }
}  // namespace

void ResetScanRing() {
  std::lock_guard<std::mutex> lock(gRingMutex);
  scanRingWritePos = 0;
  scanRingReadPos = 0;
  uiNumScansInRing = 0;
  uiScansLost = 0;
  const uint32_t points = bNumPointsPerScan;
  gRunPoints = points == 0 ? 1U : points;
  gRunWords = Q583.wordCnt;
  gRunPolarity = Q583.biPolar;
}

uint32_t RingCapacityInScans() { return static_cast<uint32_t>(kScanRingSize) / PointsPerScan(); }

bool StoreScanInRing(const int32_t* values, uint32_t count, bool store) {
  const uint32_t points = PointsPerScan();
  const uint32_t capacity = RingCapacityInScans();
  std::lock_guard<std::mutex> lock(gRingMutex);
  if (uiNumScansInRing.load() >= capacity) {
    // The host is a whole ring behind: the oldest unread scan goes.
    for (uint32_t j = 0; j < points; ++j) scanRingReadPos = Advance(scanRingReadPos);
    uiNumScansInRing.fetch_sub(1);
    uiScansLost.fetch_add(1);
  }
  if (store) {
    for (uint32_t j = 0; j < points; ++j) {
      scanRing[scanRingWritePos] = j < count ? values[j] : 0;
      scanRingWritePos = Advance(scanRingWritePos);
    }
  }
  const uint32_t now = uiNumScansInRing.fetch_add(1) + 1;
  if (fStopWhenMemoryFull && now >= capacity) {
    // Full: the run ends, and the count stays one below the limit.
    uiNumScansInRing = capacity - 1;
    return true;
  }
  return false;
}

uint32_t ScanOverrunCount() { return uiScansLost.load(); }

bool LOCAL_GetScanData(bool wantDouble, double* dblOut, int32_t* intOut, uint32_t uiNumScansToReturn,
                       int32_t* returned, int32_t* unread, uint8_t* running) {
  // The unread scans of a run that has ended, however it ended, stay
  // retrievable until the next start: handed out with running 0.
  const bool runGoing = fScanRunning;
  if (!runGoing) {
    if (uiNumScansInRing.load() == 0) {
      if (!fDevSignedOn) return false;  // nothing written
      *running = 0;
      *returned = 0;
      return false;
    }
    *running = 0;
    *returned = 0;
  } else {
    if (!fDevSignedOn) return false;
    *running = 1;
    *returned = static_cast<int32_t>(uiNumScansInRing.load());
    if (uiNumScansInRing.load() == 0) return true;
  }

  const uint32_t points = PointsPerScan();
  const uint32_t maxPerCall = uiNumScansAllowedInSerialBuff_MAX;
  DebugPrint(DebugLog::Scan, "[LOCAL_GetScanData]  uiNumScansToReturn: %u, bNumPointsPerScan: %u\n",
             uiNumScansToReturn, static_cast<unsigned>(bNumPointsPerScan));
  const bool traced = DebugLogOpen(DebugLog::Scan);
  uint32_t taken = 0;
  for (uint32_t i = 0; i < uiNumScansToReturn; ++i) {
    {
      std::lock_guard<std::mutex> lock(gRingMutex);
      // Never more than are unread: anything beyond is stale.
      if (uiNumScansInRing.load() == 0) break;
      const int16_t words = gRunWords;
      const int16_t polarity = gRunPolarity;
      for (uint32_t j = 0; j < points; ++j) {
        const int32_t raw = scanRing[scanRingReadPos];
        scanRingReadPos = Advance(scanRingReadPos);
        const size_t index = static_cast<size_t>(i) * points + j;
        if (wantDouble) {
          const double volts = CountToMillivolts(raw, words, polarity) * 0.001;
          dblOut[index] = volts;
          if (traced) DebugPrint(DebugLog::Scan, "voltage: %lf\n", volts);
        } else {
          intOut[index] = raw;
        }
      }
      uiNumScansInRing.fetch_sub(1);
    }
    if (traced) DebugPrint(DebugLog::Scan, "\n");
    ++taken;
    if (i == maxPerCall) break;
  }
  *unread = static_cast<int32_t>(uiNumScansInRing.load());
  *running = runGoing ? 1 : 0;
  *returned = static_cast<int32_t>(taken);
  return true;
}
