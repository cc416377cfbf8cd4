// The scan timing model: minimal, maximal and applied scan interval.
#pragma once

#include <cstdint>

// Result codes of ApplyScanTiming.
constexpr int16_t kTimingOutside = 0;
constexpr int16_t kTimingInside = 1;
constexpr int16_t kTimingInsideHalved = 2;

// Quantises scanInterval to timer ticks, writes the quantised bounds, and
// halves average once when the minimum exceeds the maximum (in the record
// only: nothing is sent).
int16_t ApplyScanTiming(double& maximum, double& minimum);

// ApplyScanTiming, then the interval set to the minimal interval it wrote.
void SetScanIntervalToMinimum();

// The minimal interval as ApplyScanTiming writes it, with nothing changed
// and nothing sent.
double QuantisedMinimumInterval();
// The applied interval as ApplyScanTiming writes it, likewise.
double QuantisedAppliedInterval();

// Bounds rounded to milliseconds, halving average until they can be met
// (stored in the record); false when they cannot be met with average 1.
bool ComputeScanIntervalLimits(double& maximum, double& minimum, struct Q583Record& record);

// Raw (unquantised) bounds of a record's settings for an averaging count:
// minimal interval (at least the frame transfer time), maximal interval,
// frame transfer time and the timer's time base, all in seconds or Hz.
struct ScanBounds {
  double minimum;
  double maximum;
  double transfer;
  double timeBase;
};
ScanBounds ComputeScanBounds(const struct Q583Record& record, uint32_t average);

// Time base of the instrument's interval timer in ticks per second.
double TimeBase(int16_t version, int16_t baud);

// The timer count is 24 bits wide: a longer interval is given as the
// longest the timer holds, never as its count cut to three bytes.
constexpr double kTimerCountMax = 16777215.0;
// Time base the sign-on computes the timer count with (by the model code).
double SignOnTimeBase(int32_t modelCode, int16_t baud);
// The interval a run is timed with: the requested one, or the longest the
// timer holds at the sign-on's time base when it asks for more.
double IntervalWithinTimer(double interval, int32_t modelCode, int16_t baud);

// The five scan-interval exports' work (lazy initialisation included).
bool GetScanInterval(double& interval);
bool GetScanIntervalMinMax(double& minimum, double& maximum);
bool SetToMinScanInterval();
bool SetToMaxScanInterval();
bool SetToUserScanInterval(double interval);
