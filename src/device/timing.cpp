// The scan timing model.  The instrument times scans with its own interval
// timer, so the library must know the shortest interval in which a scan can
// be converted and sent, the longest the timer allows, and the interval a
// request turns into once it is rounded to whole timer ticks.
#include "device/timing.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "device/q583.h"

namespace {

// Filter settling factor: the slower the filter, the longer each
// conversion needs to settle.
double FilterFactor(int16_t filter) {
  if (filter == 0) return 4.5;
  if (filter == 1) return 0.56;
  return 0.036;
}

}  // namespace

ScanBounds ComputeScanBounds(const Q583Record& record, uint32_t a) {
  const double F = FilterFactor(record.filter);
  const int16_t baud = record.baud;
  const double B = std::pow(2.0, static_cast<double>(baud));
  const int32_t N = record.numChannels;
  const int32_t W = record.wordCnt;
  const double r = static_cast<double>(static_cast<float>(record.rate));
  const int16_t tScan = record.tScan;

  double minimum = 0.0;
  double transfer = 0.0;
  if (tScan == 0) {
    // One value per scan: the averaging time plus a short turnaround that
    // grows with the baud index.
    minimum = static_cast<double>(a) / r + 0.0005 * (baud + 1);
    transfer = W * B * 0.0011;
  } else {
    const double aPlus2 = static_cast<double>(static_cast<uint32_t>(a + 2U));
    if (record.modelCode == -1) {
      minimum = N * (aPlus2 / r + 0.82 * F) + 0.007 * B;
    } else {
      minimum = N * (aPlus2 / r + 0.03) + 0.007 * B;
    }
    transfer = static_cast<int32_t>(N * W + 2) * B * 0.0011;
    if (tScan == 2) {
      // The offset and full-scale readings ride ahead of the values.
      minimum = minimum + 0.0042 * B + 2 * (4 / r + F);
      transfer = 0.0011 * B * static_cast<int32_t>((N + 2) * W);
    }
  }

  ScanBounds bounds{};
  if (record.version <= 100) {
    bounds.maximum = 4233 * B;
    bounds.timeBase = 3906.25 / B;
  } else {
    bounds.maximum = 3386 * B;
    bounds.timeBase = 4882.8125 / B;
  }
  // The frame must also have time to cross the serial line.
  bounds.transfer = transfer;
  bounds.minimum = minimum < transfer ? transfer : minimum;
  return bounds;
}

namespace {

double QuantiseMinimum(double minimum, double timeBase) {
  return std::trunc((minimum + 0.00005) * timeBase) / timeBase;
}

double QuantiseMaximum(double maximum, double timeBase) {
  return std::floor(maximum * timeBase) / timeBase;
}

// The interval the timer actually gives for a requested one: (R + 1) ticks,
// with R built from its three bytes as the instrument receives them.
double QuantiseInterval(double interval, double timeBase) {
  double w = (interval + 0.00005) * timeBase - 1;
  const double high = std::trunc(w / 65536);
  w = w - high * 65536;
  const double middle = std::trunc(w / 256);
  w = w - middle * 256;
  const double low = std::trunc(w);
  const double R = std::min(high * 65536 + middle * 256 + low, kTimerCountMax);
  return (R + 1) / timeBase;
}

// To the nearest thousandth, as printing with three decimals and reading
// the text back gives (independent of the host's locale).
double RoundToMilliseconds(double value) {
  char text[400];
  const auto printed = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
  if (printed.ec != std::errc()) return value;
  double parsed = value;
  std::from_chars(text, printed.ptr, parsed);
  return parsed;
}

}  // namespace

double TimeBase(int16_t version, int16_t baud) {
  const double B = std::pow(2.0, static_cast<double>(baud));
  return version <= 100 ? 3906.25 / B : 4882.8125 / B;
}

double SignOnTimeBase(int32_t modelCode, int16_t baud) {
  return (modelCode < 0 ? 3906.25 : 4882.8125) / std::pow(2.0, static_cast<double>(baud));
}

double IntervalWithinTimer(double interval, int32_t modelCode, int16_t baud) {
  return std::min(interval, (kTimerCountMax + 1) / SignOnTimeBase(modelCode, baud));
}

int16_t ApplyScanTiming(double& maximum, double& minimum) {
  const ScanBounds bounds = ComputeScanBounds(Q583, Q583.average);
  bool halved = false;
  if (bounds.minimum > bounds.maximum && Q583.average > 1) {
    // Too slow for the timer: halve the averaging once.  The bounds are
    // not recomputed; the next call sees the lower count.  An averaging of
    // 1 stays: 0 is no averaging count.  The model only computes: the new
    // count reaches the instrument before the next start or conversion,
    // as every setting of the record does.
    Q583.average >>= 1;
    halved = true;
  }
  const double minQ = QuantiseMinimum(bounds.minimum, bounds.timeBase);
  const double maxQ = QuantiseMaximum(bounds.maximum, bounds.timeBase);
  const double applied = QuantiseInterval(Q583.scanInterval, bounds.timeBase);
  Q583.scanInterval = applied;
  maximum = maxQ;
  minimum = minQ;
  // Written so that an interval that is not a number counts as outside.
  if (!(applied <= maxQ && applied >= minQ)) return kTimingOutside;
  return halved ? kTimingInsideHalved : kTimingInside;
}

void SetScanIntervalToMinimum() {
  double maximum = 0.0;
  double minimum = 0.0;
  ApplyScanTiming(maximum, minimum);
  Q583.scanInterval = minimum;
}

double QuantisedMinimumInterval() {
  const ScanBounds bounds = ComputeScanBounds(Q583, Q583.average);
  return QuantiseMinimum(bounds.minimum, bounds.timeBase);
}

double QuantisedAppliedInterval() {
  const ScanBounds bounds = ComputeScanBounds(Q583, Q583.average);
  return QuantiseInterval(Q583.scanInterval, bounds.timeBase);
}

bool ComputeScanIntervalLimits(double& maximum, double& minimum, Q583Record& record) {
  uint32_t a = record.average;
  ScanBounds bounds = ComputeScanBounds(record, a);
  while (bounds.minimum > bounds.maximum) {
    if (a <= 1) {
      maximum = bounds.maximum;
      minimum = bounds.minimum;
      return false;
    }
    a >>= 1;
    bounds = ComputeScanBounds(record, a);
  }
  const double minQ = QuantiseMinimum(bounds.minimum, bounds.timeBase);
  const double maxQ = QuantiseMaximum(bounds.maximum, bounds.timeBase);
  if (a < record.average) record.average = a;
  minimum = RoundToMilliseconds(minQ);
  maximum = RoundToMilliseconds(maxQ);
  return true;
}

namespace {

struct Limits {
  double minimum = 0.0;
  double maximum = 0.0;
};

// The exports go on with whatever bounds the model wrote, also when the
// settings cannot be met.
Limits CurrentLimits() {
  Limits limits;
  ComputeScanIntervalLimits(limits.maximum, limits.minimum, Q583);
  return limits;
}

void CorrectScanInterval(const Limits& limits) {
  const double interval = Q583.scanInterval;
  if (interval < limits.minimum || interval > limits.maximum) Q583.scanInterval = limits.minimum;
}

}  // namespace

bool GetScanInterval(double& interval) {
  if (!LazyInit()) return false;
  CorrectScanInterval(CurrentLimits());
  interval = Q583.scanInterval;
  return true;
}

bool GetScanIntervalMinMax(double& minimum, double& maximum) {
  if (!LazyInit()) return false;
  const Limits limits = CurrentLimits();
  CorrectScanInterval(limits);
  minimum = limits.minimum;
  maximum = limits.maximum;
  return true;
}

bool SetToMinScanInterval() {
  if (!LazyInit()) return false;
  Q583.scanInterval = CurrentLimits().minimum;
  return true;
}

bool SetToMaxScanInterval() {
  if (!LazyInit()) return false;
  Q583.scanInterval = CurrentLimits().maximum;
  return true;
}

bool SetToUserScanInterval(double interval) {
  if (!LazyInit()) return false;
  const Limits limits = CurrentLimits();
  // Strictly inside: an interval equal to a rounded bound may lie just
  // outside the quantised one.
  if (interval > limits.minimum && interval < limits.maximum) {
    Q583.scanInterval = interval;
    return true;
  }
  return false;
}

