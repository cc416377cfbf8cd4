// Frames and inputs: the signals on the channels, the counts the instrument
// reports for them, the scan frames and their schedule, and the other timed
// output (delayed replies, line noise).
#include <algorithm>
#include <cmath>

#include "simulator_impl.h"

namespace q583sim {

using namespace detail;

namespace {

constexpr double kMaxConversionS = 60.0;
constexpr double kTwoPi = 6.283185307179586;
constexpr size_t kMaxNoiseBacklog = 4;  // bytes waiting on the line

bool ValidInput(int m, int s) { return m >= 0 && m < 8 && s >= 0 && s < 16; }

}  // namespace

double Simulator::Impl::TimeBase() const {
  const double base = st.extRegisters[0] == 10000 ? 4882.8125 : 3906.25;
  return base / std::ldexp(1.0, st.baudIndex);
}

double Simulator::Impl::ConversionTimeS() const {
  const uint32_t divider = ((st.modeRegMid & 7u) << 8) | st.modeRegLo;
  const double rate = divider ? 19531.25 / divider : 19531.25;
  const double average = std::ldexp(1.0, st.averagingCode);
  return std::min(average / rate, kMaxConversionS);
}

double Simulator::Impl::SignalVolts(int mainChannel, int subChannel, double t) const {
  if (mainChannel < 0 || mainChannel > 7 || subChannel < 0 || subChannel > 15) return 0.0;
  const Signal& s = inputs[mainChannel][subChannel];
  switch (s.kind) {
    case SignalKind::Constant: return s.offset;
    case SignalKind::Sine:
      return s.periodS > 0 ? s.offset + s.amplitude * std::sin(kTwoPi * t / s.periodS) : s.offset;
    case SignalKind::Ramp:
      return s.periodS > 0 ? s.offset + s.amplitude * std::fmod(t, s.periodS) / s.periodS : s.offset;
    case SignalKind::Noise: {
      std::uniform_real_distribution<double> d(-1.0, 1.0);
      return s.offset + s.amplitude * d(rng);
    }
  }
  return s.offset;
}

// The inverse of the library's decoding: mV = count * 0.0002980232 (x256 for
// 16-bit words), bipolar 2 * mV - 5000; volts = mV / 1000.  Rounded to the
// nearest count and held inside the word's range.
int32_t Simulator::Impl::CountFor(double volts) const {
  const uint8_t w = WordCount();
  const double step = 0.0002980232 * (w == 2 ? 256.0 : 1.0);
  const double mv = volts * 1000.0;
  double c = Unipolar() ? mv / step : (mv + 5000.0) / (2.0 * step);
  const double top = w == 2 ? 65535.0 : 16777215.0;
  if (!(c >= 0.0)) c = 0.0;  // also NaN
  c = std::min(std::round(c), top);
  return static_cast<int32_t>(c);
}

void Simulator::Impl::AppendValue(std::vector<uint8_t>& bytes, int32_t count) const {
  const uint8_t w = WordCount();
  for (uint8_t i = 0; i < w; ++i) bytes.push_back(static_cast<uint8_t>((static_cast<uint32_t>(count) >> (8 * i)) & 0xFF));
}

// ---- timers ----------------------------------------------------------------

std::vector<uint8_t> Simulator::Impl::BuildFrame(uint32_t index, double t) {
  std::vector<uint8_t> f;
  const uint32_t run = runOffsetFirst + (st.scansStarted == 0 ? 0 : st.scansStarted - 1);
  const double runOffset = runOffsetStepV * static_cast<double>(run % std::max(1u, runOffsetRuns));
  if (st.scanCommand == 0x8B) {
    AppendValue(f, CountFor(runOffset + SignalVolts((st.selectedChannel >> 4) & 7, scanSub & 15, t)));
  } else {
    f.push_back(0xF0);
    if (st.scanCommand == 0x8C) {
      AppendValue(f, CountFor(calOffsetVolts));
      AppendValue(f, CountFor(calFullScaleVolts));
    }
    for (int m = 0; m < 6; ++m) {
      const uint8_t code = st.channelCodes[m];
      if (code == 16) continue;
      for (int s = code >> 4; s <= (code & 15); ++s) AppendValue(f, CountFor(runOffset + SignalVolts(m, s, t)));
    }
    f.push_back(static_cast<uint8_t>(index & 0xFF));
  }
  // Frame faults hit one frame each, once.
  for (auto it = frameFaults.begin(); it != frameFaults.end();) {
    if (it->frameIndex != index) {
      ++it;
      continue;
    }
    const bool marked = st.scanCommand != 0x8B;
    switch (it->kind) {
      case FrameFaultKind::WrongMarker:
        if (marked) f[0] = 0xF1;
        break;
      case FrameFaultKind::DropByte:
        if (!f.empty()) f.erase(f.begin() + (marked && f.size() > 1 ? 1 : 0));
        break;
      case FrameFaultKind::AddByte:
        if (marked)
          f.insert(f.begin() + 1, 0x5A);
        else
          f.push_back(0x5A);
        break;
    }
    it = frameFaults.erase(it);
  }
  return f;
}

void Simulator::Impl::RunTimers(double now) {
  while (!delayed.empty() && delayed.front().dueS <= now) {
    Enqueue(delayed.front().bytes, now);
    delayed.erase(delayed.begin());
  }
  if (st.scanning && frameIntervalS > 0) {
    bool any = false;
    for (;;) {
      const double t = (nextFrame + 1.0) * frameIntervalS;  // absolute schedule
      if (scanStartS + t > now) break;
      EnqueueFrame(BuildFrame(nextFrame, t), now);
      ++nextFrame;
      ++st.framesSent;
      any = true;
    }
    if (any) cv.notify_all();
  }
  if (noiseRate > 0 && master >= 0) {
    std::exponential_distribution<double> gapDist(noiseRate);
    if (nextNoiseS <= 0) nextNoiseS = now + gapDist(rng);
    while (nextNoiseS <= now) {
      std::uniform_int_distribution<int> byteDist(0, 255);
      // Noise is on the wire at once; it never queues up ahead of what the
      // instrument sends (at a slow line rate it would, without end).
      if (out.size() < kMaxNoiseBacklog) Enqueue({static_cast<uint8_t>(byteDist(rng))}, now);
      nextNoiseS += gapDist(rng);
    }
  }
}

// ---- the public class: inputs ----------------------------------------------

void Simulator::SetInput(int mainChannel, int subChannel, const Signal& signal) {
  if (!ValidInput(mainChannel, subChannel)) return;
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->inputs[mainChannel][subChannel] = signal;
}

void Simulator::SetCalibrationReadings(double offsetVolts, double fullScaleVolts) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->calOffsetVolts = offsetVolts;
  impl_->calFullScaleVolts = fullScaleVolts;
}

void Simulator::SetDigitalInput(uint8_t value) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->opt.digitalInput = value;
}

void Simulator::SetRunOffsetStep(double stepVolts, uint32_t runs, uint32_t firstIndex) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->runOffsetFirst = firstIndex;
  impl_->runOffsetStepV = stepVolts;
  impl_->runOffsetRuns = runs;
}

void Simulator::SetVersion(uint8_t version) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->st.version = version;
  impl_->opt.version = version;
}

void Simulator::SetVersionAtNextSignOn(uint8_t version) { SetVersionAfterSignOns(0, version); }

void Simulator::SetVersionAfterSignOns(uint32_t completedSignOns, uint8_t version) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->versionArmed = true;
  impl_->armedVersion = version;
  impl_->armedAfterSignOns = completedSignOns;
  impl_->signOnsAtArm = impl_->st.signOns;
}

double Simulator::InputVolts(int mainChannel, int subChannel, double tS) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->SignalVolts(mainChannel, subChannel, tS);
}

int32_t Simulator::VoltsToCount(double volts) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->CountFor(volts);
}

}  // namespace q583sim
