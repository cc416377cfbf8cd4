// Looking at the current run record from the tests.
#pragma once

#include <memory>
#include <vector>

#include "q583_sp.h"
#include "scan/scan_run.h"

namespace q583test {

// A run record standing in for a scan that goes on, with no thread and no
// instrument behind it.
inline std::shared_ptr<ScanRun> InstallIdleRun() {
  auto run = std::make_shared<ScanRun>(FormatFromSettings());
  run->going = true;
  InstallRun(run);
  return run;
}

inline bool DigoutQueued() {
  const auto run = CurrentRun();
  return run && run->digout.Pending();
}

inline bool RunLogOpen() {
  const auto run = CurrentRun();
  return run && run->log.IsOpen();
}

inline uint32_t RunUnread() {
  const auto run = CurrentRun();
  return run ? run->ring.Unread() : 0U;
}

// The run summary of the extension interface (the current or last run).
inline Q583RunSummary Summary() {
  Q583RunSummary summary{};
  summary.size = sizeof summary;
  EX_GetRunSummary(&summary);
  return summary;
}

inline std::vector<Q583Gap> Gaps() {
  uint32_t count = 0;
  std::vector<Q583Gap> gaps(64);
  if (EX_GetRunGaps(gaps.data(), static_cast<uint32_t>(gaps.size()), &count) != 1) return {};
  gaps.resize(count);
  return gaps;
}

inline uint32_t RunPoints() {
  const auto run = CurrentRun();
  return run ? run->format.points : 0U;
}

}  // namespace q583test
