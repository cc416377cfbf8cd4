// Looking at the current run record from the tests.
#pragma once

#include <memory>

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

inline uint32_t RunPoints() {
  const auto run = CurrentRun();
  return run ? run->format.points : 0U;
}

}  // namespace q583test
