// A run's ring of raw counts, its queued digital-output byte, and the host's
// retrieval of whole scans.
//
// The acquisition thread stores, the host reads; the ring's lock keeps the
// two positions and the unread count consistent, so that a scan is counted
// only once all its values are in, and a scan the host reads can never be
// overwritten under it.  Only stored scans are counted.  When the host falls
// behind by more than the ring holds, the oldest unread scan makes room for
// the newest and is counted as lost; with stop-when-full the run ends
// instead.
#include <chrono>
#include <vector>

#include "device/q583.h"
#include "link/commands.h"
#include "logging/debug_log.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
#include "scan/scan_run.h"

namespace {
int32_t Advance(int32_t pos) { return pos + 1 >= kScanRingSize ? 0 : pos + 1; }
}  // namespace

ScanRing::Stored ScanRing::Store(const int32_t* values, uint32_t count, const ScanStamp& stamp, bool stopWhenFull) {
  const uint32_t capacity = CapacityInScans();
  Stored result;
  std::lock_guard<std::mutex> lock(mutex_);
  if (unread_.load() >= capacity) {
    // The host is a whole ring behind: the oldest unread scan goes.
    for (uint32_t j = 0; j < points_; ++j) readPos_ = Advance(readPos_);
    result.dropped = true;
    result.droppedNumber = stamps_[stampRead_].number;
    stampRead_ = (stampRead_ + 1) % capacity;
    unread_.fetch_sub(1);
    lost_.fetch_add(1);
  }
  for (uint32_t j = 0; j < points_; ++j) {
    values_[writePos_] = j < count ? values[j] : 0;
    writePos_ = Advance(writePos_);
  }
  stamps_[stampWrite_] = stamp;
  stampWrite_ = (stampWrite_ + 1) % capacity;
  const uint32_t now = unread_.fetch_add(1) + 1;
  if (stopWhenFull && now >= capacity) {
    // Full: the run ends, and the count stays one below the limit.
    unread_ = capacity - 1;
    result.full = true;
  }
  return result;
}

bool ScanRing::Take(int32_t* out, ScanStamp* stamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (unread_.load() == 0) return false;
  for (uint32_t j = 0; j < points_; ++j) {
    out[j] = values_[readPos_];
    readPos_ = Advance(readPos_);
  }
  if (stamp != nullptr) *stamp = stamps_[stampRead_];
  stampRead_ = (stampRead_ + 1) % CapacityInScans();
  unread_.fetch_sub(1);
  return true;
}

DigoutQueue::Offer DigoutQueue::Put(uint8_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return Offer::Closed;
  if (pending_) return Offer::Busy;
  byte_ = value;
  pending_ = true;
  return Offer::Queued;
}

bool DigoutQueue::BeginSend(uint8_t& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pending_ || sending_) return false;
  sending_ = true;
  value = byte_;
  return true;
}

void DigoutQueue::EndSend(bool sent) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sending_ = false;
    if (sent) pending_ = false;
  }
  sendEnded_.notify_all();
}

bool DigoutQueue::TakeWaiting(uint8_t& value) {
  std::unique_lock<std::mutex> lock(mutex_);
  open_ = false;
  // A byte on its way is the thread's to finish: sent, or left waiting.
  // Bounded: a send gives up within its own time-outs.
  sendEnded_.wait_for(lock, std::chrono::seconds(10), [this] { return !sending_; });
  if (sending_) return false;
  value = byte_;
  const bool waiting = pending_;
  pending_ = false;
  return waiting;
}

// LCOV_EXCL_START: asked only by the tests (the library's paths take the byte or seal the queue)
bool DigoutQueue::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_;
}
// LCOV_EXCL_STOP

uint32_t ScanOverrunCount() {
  const auto run = CurrentRun();
  return run ? run->ring.Lost() : 0U;
}

bool CurrentRunFigures(RunFigures& figures, bool& running) {
  const std::shared_ptr<ScanRun> run = CurrentRun();
  if (!run) return false;
  running = run->going;
  figures = run->account.Figures();
  return true;
}

bool LOCAL_GetScanData(bool wantDouble, double* dblOut, int32_t* intOut, uint32_t uiNumScansToReturn,
                       int32_t* returned, int32_t* unread, uint8_t* running, uint64_t* numbers, double* times) {
  // One call reads one run.  The unread scans of a run that has ended,
  // however it ended, stay retrievable until the next start: handed out
  // with running 0.
  const std::shared_ptr<ScanRun> run = CurrentRun();
  const bool runGoing = run && run->going;
  const uint32_t waiting = run ? run->ring.Unread() : 0U;
  if (!runGoing) {
    if (waiting == 0) {
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
    *returned = static_cast<int32_t>(waiting);
    if (waiting == 0) return true;
  }

  const RunFormat& format = run->format;
  const uint32_t points = format.points;
  DebugPrint(DebugLog::Scan, "[LOCAL_GetScanData]  uiNumScansToReturn: %u, bNumPointsPerScan: %u\n",
             uiNumScansToReturn, static_cast<unsigned>(points));
  const bool traced = DebugLogOpen(DebugLog::Scan);
  std::vector<int32_t> scan(points);
  uint32_t taken = 0;
  for (uint32_t i = 0; i < uiNumScansToReturn; ++i) {
    // Never more than are unread: anything beyond is stale.
    ScanStamp stamp;
    if (!run->ring.Take(scan.data(), &stamp)) break;
    if (numbers != nullptr) numbers[i] = stamp.number;
    if (times != nullptr) times[i] = stamp.seconds;
    for (uint32_t j = 0; j < points; ++j) {
      const size_t index = static_cast<size_t>(i) * points + j;
      if (dblOut != nullptr) {
        const double volts = CountToMillivolts(scan[j], format.words, format.polarity) * 0.001;
        dblOut[index] = volts;
        if (traced && wantDouble) DebugPrint(DebugLog::Scan, "voltage: %lf\n", volts);
      }
      if (intOut != nullptr) intOut[index] = scan[j];
    }
    if (traced) DebugPrint(DebugLog::Scan, "\n");
    ++taken;
    if (i == run->maxScansQueued) break;
  }
  run->account.HandedOut(taken);
  *unread = static_cast<int32_t>(run->ring.Unread());
  *running = runGoing ? 1 : 0;
  *returned = static_cast<int32_t>(taken);
  return true;
}
