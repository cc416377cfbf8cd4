// The scan timing model: minimal, maximal and applied scan interval.
#pragma once

#include <cstdint>

// Result codes of ApplyScanTiming.
constexpr int16_t kTimingOutside = 0;
constexpr int16_t kTimingInside = 1;
constexpr int16_t kTimingInsideHalved = 2;

// Quantises scanInterval to timer ticks, writes the quantised bounds, and
// halves average (sending it) once when the minimum exceeds the maximum.
int16_t ApplyScanTiming(double& maximum, double& minimum);

// Bounds rounded to milliseconds, halving average until they can be met
// (stored in the record); false when they cannot be met with average 1.
bool ComputeScanIntervalLimits(double& maximum, double& minimum, struct Q583Record& record);

// Time base of the instrument's interval timer in ticks per second.
double TimeBase(int16_t version, int16_t baud);
