// A run's account of its scans.
#include "scan/run_account.h"

#include <algorithm>

void RunAccount::Started(double wallTime, int64_t monotonicMicros) {
  std::lock_guard<std::mutex> lock(mutex_);
  startMicros_ = monotonicMicros;
  figures_.startTime = wallTime;
}

uint64_t RunAccount::NumberFrame() {
  std::lock_guard<std::mutex> lock(mutex_);
  return nextNumber_++;
}

void RunAccount::Stored(uint64_t number, double delaySeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++figures_.taken;
  ++figures_.stored;
  figures_.sent = std::max(figures_.sent, number + 1);
  figures_.longestDelay = std::max(figures_.longestDelay, delaySeconds);
}

void RunAccount::NotStored(uint64_t number) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++figures_.taken;
  LostLocked(number, 1, GapCause::NotStored);
}

void RunAccount::HandedOut(uint32_t scans) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.handedOut += scans;
}

void RunAccount::Lost(uint64_t first, uint64_t count, GapCause cause) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  LostLocked(first, count, cause);
}

void RunAccount::LostLocked(uint64_t first, uint64_t count, GapCause cause) {
  figures_.lost[static_cast<uint32_t>(cause)] += count;
  // Scans lost after the last one taken were sent all the same.
  figures_.sent = std::max(figures_.sent, first + count);
  auto& gaps = figures_.gaps;
  if (!gaps.empty() && gaps.back().cause == cause && gaps.back().first + gaps.back().count == first) {
    gaps.back().count += count;  // the same gap goes on
  } else if (gaps.size() < kMaxGaps) {
    gaps.push_back({first, count, cause});
  }
}

uint64_t RunAccount::NextNumber() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nextNumber_;
}

void RunAccount::LogLimitReached() {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.logLimitReached = true;
}

void RunAccount::LogWriteFailed() {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.logWriteFailed = true;
}

void RunAccount::Ended(EndReason reason, double wallTime, const char* call) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (figures_.reason != EndReason::Running) return;
  figures_.reason = reason;
  figures_.endTime = wallTime;
  if (call != nullptr) figures_.endCall = call;
}

void RunAccount::EndedByItself(EndReason reason, double wallTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (figures_.reason != EndReason::Running && figures_.reason != EndReason::Host &&
      figures_.reason != EndReason::AtOnce)
    return;
  figures_.reason = reason;
  figures_.endCall.clear();
  if (figures_.endTime == 0.0) figures_.endTime = wallTime;
}

RunFigures RunAccount::Figures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return figures_;
}
