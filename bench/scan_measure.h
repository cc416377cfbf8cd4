// The measurement behind the scan benchmark: the library's acquisition
// thread (and a bare reader as the baseline) against a simulated instrument,
// with CPU time, wake-ups per frame, latency and lost frames.  Shared by
// scan_bench and the soak, which reports the same figures at its start and
// its end.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/q583.h"
#include "api/entry.h"
#include "link/commands.h"
#include "link/serial.h"
#include "q583_sp.h"
#include "q583sim/simulator.h"
#include "scan/scan_internal.h"
#include "scan/scan_run.h"

namespace q583bench {


using Clock = std::chrono::steady_clock;
constexpr int kChannels = 6;
constexpr double kRampOffset = -4.0;
constexpr double kRampAmplitude = 8.0;
constexpr double kRampPeriod = 1000.0;

inline double Now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

struct ThreadStats {
  double cpuS = 0;
  uint64_t switches = 0;
  uint64_t syscalls = 0;  // counted only where the program installs a count
};

// The system calls a thread has made so far (syscall_count.h installs it).
inline uint64_t (*gSyscallsOfThread)(int tid) = nullptr;

inline std::set<int> Tids() {
  std::set<int> tids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') tids.insert(std::atoi(e->d_name));
    closedir(d);
  }
  return tids;
}

inline ThreadStats Stats(int tid) {
  ThreadStats s;
  const std::string base = "/proc/self/task/" + std::to_string(tid);
  std::ifstream sched(base + "/schedstat");
  uint64_t ns = 0;
  if (sched >> ns) s.cpuS = static_cast<double>(ns) * 1e-9;
  std::ifstream status(base + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
      s.switches += std::strtoull(line.substr(line.find(':') + 1).c_str(), nullptr, 10);
  }
  if (gSyscallsOfThread != nullptr) s.syscalls = gSyscallsOfThread(tid);
  return s;
}

inline ThreadStats Diff(const ThreadStats& a, const ThreadStats& b) {
  return {b.cpuS - a.cpuS, b.switches - a.switches, b.syscalls - a.syscalls};
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Maps the simulator's clock onto ours and says when frame k's last byte
// left it.
struct FrameClock {
  double simToHost = 0;    // host seconds = sim seconds + simToHost
  double scanStartSim = 0;
  double intervalS = 0;
  double lineTimeS = 0;    // the frame's bytes on the line (0 without pacing)

  double LastByteLeft(int64_t k) const { return scanStartSim + (k + 1) * intervalS + lineTimeS + simToHost; }
  int64_t FrameOf(double volts) const {
    const double t = (volts - kRampOffset) / kRampAmplitude * kRampPeriod;
    return std::llround(t / intervalS) - 1;
  }
};

// The interval the instrument runs at once its scan has begun: the one it
// was given in timer counts, a little off the record's.  Frames are placed
// by it.
inline double RunningInterval(q583sim::Simulator& sim, double fallback) {
  for (int i = 0; i < 100; ++i) {
    const double interval = sim.GetState().frameIntervalS;
    if (interval > 0) return interval;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return fallback;
}

inline void SetRamps(q583sim::Simulator& sim) {
  for (int m = 0; m < kChannels; ++m)
    sim.SetInput(m, 0, {q583sim::SignalKind::Ramp, kRampOffset, kRampAmplitude, kRampPeriod});
}

inline void SetSixChannels() {
  LazyInit();
  for (int i = 0; i < 6; ++i) Q583.chan[i] = 0x00;
  CountChannels();
  Q583.tScan = 1;
}

// The start packet as the simulator logged it: its time is the scan start.
inline double StartPacketTime(q583sim::Simulator& sim, uint8_t command) {
  double t = 0;
  for (const auto& p : sim.Packets())
    if (p.first == command) t = p.timeS;
  return t;
}

struct Result {
  double seconds = 0;
  uint64_t frames = 0;
  uint64_t lost = 0;
  uint64_t overrun = 0;     // of the lost: scans the ring had no room for
  int32_t errorType = 0;    // the library's, at the end
  ThreadStats stats;
  std::vector<double> latencies;
  bool failed = false;
};

inline double PerFrame(double total, const Result& r) { return r.frames ? total / static_cast<double>(r.frames) : NAN; }
inline double CpuUsPerFrame(const Result& r) { return PerFrame(1e6 * r.stats.cpuS, r); }
inline double WakeUpsPerFrame(const Result& r) { return PerFrame(static_cast<double>(r.stats.switches), r); }
inline double SyscallsPerFrame(const Result& r) { return PerFrame(static_cast<double>(r.stats.syscalls), r); }
inline double P99Ms(const Result& r) { return 1e3 * Percentile(r.latencies, 0.99); }

inline void Report(const char* name, const Result& r) {
  std::printf("%-10s frames %7llu  lost %5llu  cpu %6.3f%% of a core, %6.1f us/frame  wake-ups/frame %5.2f  "
              "syscalls/frame %5.2f  latency p50 %7.3f ms  p99 %7.3f ms%s\n",
              name, static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.lost),
              100.0 * r.stats.cpuS / r.seconds, CpuUsPerFrame(r), WakeUpsPerFrame(r),
              gSyscallsOfThread != nullptr ? SyscallsPerFrame(r) : NAN, 1e3 * Percentile(r.latencies, 0.5), P99Ms(r),
              r.failed ? "  (run ended early)" : "");
}

// ---- the library ----------------------------------------------------------

// toFile: rows go to the scan log file too (in the working directory).
inline Result RunLibrary(double seconds, bool pacing, double overrideInterval, bool toFile = false) {
  Result r;
  q583sim::Simulator sim;
  SetRamps(sim);
  EX_SetCOMportDevice(0, sim.DevicePath().c_str());
  SetSixChannels();
  EX_SetDataLogOptions(toFile ? 3 : 2, 0, 0);  // memory only, or file and memory
  if (!EX_InitDev()) {
    std::fprintf(stderr, "sign-on failed\n");
    r.failed = true;
    return r;
  }
  sim.SetPacing(pacing);
  sim.SetFrameIntervalOverride(overrideInterval);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  FrameClock fc;
  fc.intervalS = overrideInterval > 0 ? overrideInterval : Q583.scanInterval.load();
  fc.lineTimeS = pacing ? (kChannels * 3 + 2) * 10.0 / 9600.0 : 0.0;
  sim.ClearLog();
  const auto before = Tids();
  const double hostBefore = Now();
  if (!EX_StartScan_NoSysCal()) {
    std::fprintf(stderr, "scan start failed\n");
    r.failed = true;
    return r;
  }
  int tid = 0;
  for (int t : Tids())
    if (!before.count(t)) tid = t;
  // The start packet is in the simulator's log once the start has returned;
  // a longer pause here would overrun the ring at the highest rates.
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  fc.scanStartSim = StartPacketTime(sim, 0x89);
  if (overrideInterval <= 0) fc.intervalS = RunningInterval(sim, fc.intervalS);
  // The start packet's first byte left us just after hostBefore; the
  // simulator logged it on its own clock.
  const auto bytes = sim.Received();
  fc.simToHost = bytes.empty() ? hostBefore - fc.scanStartSim : hostBefore - bytes.front().timeS;

  const ThreadStats s0 = Stats(tid);
  const double t0 = Now();
  std::vector<int32_t> raw(static_cast<size_t>(kChannels) * 2000);
  int64_t firstK = -1, lastK = -1;
  while (Now() - t0 < seconds) {
    const auto run = CurrentRun();
    if (!run || run->ring.Unread() == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      if (!ScanRunning()) {
        r.failed = true;
        break;
      }
      continue;
    }
    const double seen = Now();
    int32_t returned = 0, unread = 0;
    uint8_t running = 0;
    if (!EX_GetScanDataInt(raw.data(), 2000, &returned, &unread, &running)) {
      r.failed = true;
      break;
    }
    for (int i = 0; i < returned; ++i) {
      const double volts = CountToMillivolts(raw[static_cast<size_t>(i) * kChannels], 3, 1) * 0.001;
      const int64_t k = fc.FrameOf(volts);
      if (firstK < 0) firstK = k;
      lastK = k;
      ++r.frames;
      if (i == returned - 1) r.latencies.push_back(seen - fc.LastByteLeft(k));
    }
  }
  r.stats = Diff(s0, Stats(tid));
  r.seconds = Now() - t0;
  uint32_t overrun = 0;
  EX_GetScanOverrunCount(&overrun);
  if (firstK >= 0 && lastK - firstK + 1 >= static_cast<int64_t>(r.frames))
    r.lost = static_cast<uint64_t>(lastK - firstK + 1) - r.frames;
  r.lost += overrun;
  r.overrun = overrun;
  r.errorType = Q583.errorType;
  if (Q583.errorType != 0) r.failed = true;
  ReloadLibrary();  // ends the run at once; the simulator goes with this scope
  return r;
}

// ---- the baseline ------------------------------------------------------------

// The lean reader: one poll(), one read() of everything waiting, decode,
// copy into a ring.  With pacing off, the simulator sends a frame every
// overrideInterval seconds.
inline Result RunBaseline(double seconds, bool pacing = true, double overrideInterval = 0.0) {
  Result r;
  q583sim::Simulator sim;
  SetRamps(sim);
  EX_SetCOMportDevice(0, sim.DevicePath().c_str());
  SetSixChannels();
  if (!EX_InitDev()) {
    r.failed = true;
    return r;
  }
  const double interval = overrideInterval > 0 ? overrideInterval : Q583.scanInterval.load();
  CloseComPort();  // the baseline takes the line from here
  sim.SetPacing(pacing);
  sim.SetFrameIntervalOverride(overrideInterval);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const int fd = open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tcsetattr(fd, TCSANOW, &tio);

  FrameClock fc;
  fc.intervalS = interval;
  fc.lineTimeS = pacing ? (kChannels * 3 + 2) * 10.0 / 9600.0 : 0.0;
  sim.ClearLog();
  const uint8_t start[3] = {0x89, 0x00, 0x89};
  const double hostBefore = Now();
  (void)!write(fd, start, 3);
  if (overrideInterval <= 0) fc.intervalS = RunningInterval(sim, fc.intervalS);
  std::atomic<bool> stop{false};
  std::atomic<int> readerTid{0};
  std::vector<std::pair<double, int64_t>> seen;  // when each frame was in hand, and its number
  uint64_t frames = 0, lost = 0;
  double measured = 0;
  ThreadStats stats;

  std::thread reader([&] {
    readerTid = static_cast<int>(gettid());
    uint8_t buf[4096];
    std::vector<int32_t> ring(static_cast<size_t>(kScanRingSize));
    size_t ringPos = 0;
    std::vector<uint8_t> frame;
    const size_t frameLen = kChannels * 3 + 2;
    bool echo = false;
    int lastCounter = -1;
    ThreadStats s0;
    double t0 = 0;
    bool measuring = false;
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = read(fd, buf, sizeof buf);
      const double now = Now();
      for (ssize_t i = 0; i < n; ++i) {
        if (!echo) {
          echo = buf[i] == 0x89;
          if (echo) {
            s0 = Stats(static_cast<int>(gettid()));
            t0 = Now();
            measuring = true;
          }
          continue;
        }
        frame.push_back(buf[i]);
        if (frame.size() < frameLen) continue;
        if (frame[0] == 0xF0) {
          for (int c = 0; c < kChannels; ++c) {
            ring[ringPos] = frame[1 + 3 * c] | (frame[2 + 3 * c] << 8) | (frame[3 + 3 * c] << 16);
            ringPos = (ringPos + 1) % ring.size();
          }
          const int32_t raw0 = frame[1] | (frame[2] << 8) | (frame[3] << 16);
          const int64_t k = fc.FrameOf(CountToMillivolts(raw0, 3, 1) * 0.001);
          const int counter = frame[frameLen - 1];
          if (lastCounter >= 0) lost += static_cast<uint64_t>((counter - lastCounter - 1 + 256) % 256);
          lastCounter = counter;
          ++frames;
          seen.emplace_back(now, k);  // the frame clock is set once the reader runs
        }
        frame.clear();
      }
    }
    if (measuring) {
      stats = Diff(s0, Stats(static_cast<int>(gettid())));
      measured = Now() - t0;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  fc.scanStartSim = StartPacketTime(sim, 0x89);
  const auto bytes = sim.Received();
  fc.simToHost = bytes.empty() ? hostBefore - fc.scanStartSim : hostBefore - bytes.front().timeS;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  reader.join();
  close(fd);
  r.frames = frames;
  r.lost = lost;
  for (const auto& [when, k] : seen) r.latencies.push_back(when - fc.LastByteLeft(k));
  r.stats = stats;
  r.seconds = measured > 0 ? measured : seconds;
  ReloadLibrary();
  return r;
}

}  // namespace q583bench
