// The scan timing model: raw bounds, quantisation to timer ticks, the
// halving of the averaging count, and the five scan-interval exports.
#include <cmath>
#include <cstdint>

#include "device/q583.h"
#include "device/timing.h"
#include "q583_sp.h"
#include "support/test_env.h"

namespace {

struct Settings {
  int16_t filter;
  float rate;
  uint32_t average;
  int16_t numChannels;
  int16_t wordCnt;
  int16_t tScan;
  int16_t baud;
  int16_t version;
  int32_t modelCode;
};

class TimingTest : public q583test::LibraryTest {
 protected:
  // Initialised record with the given timing settings.
  static void Use(const Settings& s) {
    ASSERT_TRUE(LazyInit());
    Q583.filter = s.filter;
    Q583.rate = s.rate;
    Q583.average = s.average;
    Q583.numChannels = s.numChannels;
    Q583.wordCnt = s.wordCnt;
    Q583.tScan = s.tScan;
    Q583.baud = s.baud;
    Q583.version = s.version;
    Q583.modelCode = s.modelCode;
  }

  // The timer count R that the applied interval corresponds to.
  static int64_t TimerCount(double applied, double timeBase) {
    return std::llround(applied * timeBase) - 1;
  }
};

// Two channels of 24-bit values at 100 conversions per second, 400 Hz filter.
constexpr Settings kTwoChannels{2, 100.0F, 1, 2, 3, 1, 0, 100, -1};

TEST_F(TimingTest, TwoChannelBoundsAndQuantisation) {
  Use(kTwoChannels);
  const ScanBounds raw = ComputeScanBounds(Q583, 1);
  EXPECT_NEAR(raw.minimum, 0.12604, 1e-12);
  EXPECT_NEAR(raw.transfer, 0.0088, 1e-12);
  EXPECT_EQ(raw.maximum, 4233.0);
  EXPECT_EQ(raw.timeBase, 3906.25);
  EXPECT_EQ(TimeBase(100, 0), 3906.25);

  Q583.scanInterval = 0.5;
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_EQ(ApplyScanTiming(maximum, minimum), kTimingInside);
  EXPECT_EQ(minimum, 492 / 3906.25);
  EXPECT_NEAR(minimum, 0.125952, 1e-12);
  EXPECT_EQ(maximum, 16535156 / 3906.25);
  EXPECT_NEAR(maximum, 4232.999936, 1e-9);

  const double applied = Q583.scanInterval;
  EXPECT_EQ(applied, 1953 / 3906.25);
  EXPECT_NEAR(applied, 0.499968, 1e-12);
  const int64_t R = TimerCount(applied, 3906.25);
  EXPECT_EQ(R, 1952);
  EXPECT_EQ(R >> 16, 0);
  EXPECT_EQ((R >> 8) & 0xFF, 7);
  EXPECT_EQ(R & 0xFF, 160);
  EXPECT_EQ(Q583.average, 1U);
}

TEST_F(TimingTest, TwoChannelLimitsRoundToMilliseconds) {
  Use(kTwoChannels);
  Q583.scanInterval = 0.5;
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_TRUE(ComputeScanIntervalLimits(maximum, minimum, Q583));
  EXPECT_EQ(minimum, 0.126);
  EXPECT_EQ(maximum, 4233.0);
  EXPECT_EQ(Q583.scanInterval, 0.5);  // not touched
  EXPECT_EQ(Q583.average, 1U);

  double lo = 0.0;
  double hi = 0.0;
  ASSERT_EQ(EX_GetScanIntervalMinMax(&lo, &hi), 1);
  EXPECT_EQ(lo, 0.126);
  EXPECT_EQ(hi, 4233.0);
}

TEST_F(TimingTest, OffsetAndFullScaleReadingsLengthenTheMinimum) {
  Settings s = kTwoChannels;
  s.tScan = 2;
  Use(s);
  const ScanBounds raw = ComputeScanBounds(Q583, 1);
  EXPECT_NEAR(raw.minimum, 0.28224, 1e-12);
  EXPECT_NEAR(raw.transfer, 0.0011 * 12, 1e-12);
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_TRUE(ComputeScanIntervalLimits(maximum, minimum, Q583));
  EXPECT_EQ(minimum, 0.282);
}

TEST_F(TimingTest, SingleChannelScanUsesPlainCountAndBaudIndex) {
  Use({1, 100.0F, 8, 1, 3, 0, 1, 100, -1});
  const ScanBounds raw = ComputeScanBounds(Q583, 8);
  EXPECT_NEAR(raw.minimum, 0.081, 1e-12);
  EXPECT_EQ(raw.maximum, 8466.0);
  EXPECT_EQ(raw.timeBase, 1953.125);
  EXPECT_NEAR(raw.transfer, 3 * 2 * 0.0011, 1e-12);
  EXPECT_EQ(TimeBase(100, 1), 1953.125);
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_TRUE(ComputeScanIntervalLimits(maximum, minimum, Q583));
  EXPECT_EQ(minimum, 0.081);
  EXPECT_EQ(maximum, 8466.0);
}

TEST_F(TimingTest, LaterFirmwareModelIgnoresFilterAndUsesFasterTimeBase) {
  Use({0, 50.0F, 4, 4, 3, 1, 0, 140, 10000});
  const ScanBounds raw = ComputeScanBounds(Q583, 4);
  EXPECT_NEAR(raw.minimum, 0.607, 1e-12);
  EXPECT_EQ(raw.maximum, 3386.0);
  EXPECT_EQ(raw.timeBase, 4882.8125);
  EXPECT_EQ(TimeBase(140, 0), 4882.8125);

  Q583.scanInterval = 0.5;
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_EQ(ApplyScanTiming(maximum, minimum), kTimingOutside);
  EXPECT_EQ(Q583.scanInterval, 2441 / 4882.8125);
  EXPECT_NEAR(Q583.scanInterval, 0.4999168, 1e-12);
  EXPECT_LT(Q583.scanInterval, minimum);
  EXPECT_EQ(minimum, 2964 / 4882.8125);  // trunc((0.607 + 0.00005) * TB) ticks
  // Outside the bounds is reported, never clamped.
  EXPECT_EQ(Q583.average, 4U);
}

TEST_F(TimingTest, IntervalBelowOneTickBecomesExactlyOneTick) {
  Use(kTwoChannels);
  Q583.scanInterval = 0.00001;
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_EQ(ApplyScanTiming(maximum, minimum), kTimingOutside);
  EXPECT_EQ(Q583.scanInterval, 1 / 3906.25);

  Use({0, 50.0F, 4, 4, 3, 1, 2, 140, 10000});
  Q583.scanInterval = 0.00001;
  ApplyScanTiming(maximum, minimum);
  EXPECT_EQ(Q583.scanInterval, 1 / TimeBase(140, 2));
}

TEST_F(TimingTest, IntervalThatIsNotANumberIsOutside) {
  Use(kTwoChannels);
  Q583.scanInterval = std::nan("");
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_EQ(ApplyScanTiming(maximum, minimum), kTimingOutside);
}

// Averaging of 2 on three channels at a very slow rate: the minimum lies a
// fraction of a tick above the maximum, so both quantise to the same tick.
constexpr Settings kJustTooSlow{2, 0.002834932878613472F, 2, 3, 3, 1, 0, 100, -1};

TEST_F(TimingTest, ApplyHalvesAverageOnceWhenMinimumExceedsMaximum) {
  Use(kJustTooSlow);
  const ScanBounds raw = ComputeScanBounds(Q583, 2);
  ASSERT_GT(raw.minimum, raw.maximum);

  // An interval on the maximal tick: inside, with the halving reported.
  Q583.scanInterval = 16535156 / 3906.25;
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_EQ(ApplyScanTiming(maximum, minimum), kTimingInsideHalved);
  EXPECT_EQ(Q583.average, 1U);
  // The bounds are those of the count before halving.
  EXPECT_EQ(minimum, maximum);
  EXPECT_EQ(Q583.scanInterval, maximum);
}

TEST_F(TimingTest, ApplyHalvesOnlyOncePerCall) {
  // Far too slow: even averaging 1 cannot be met.
  Use({2, 1.0F, 32768, 1, 3, 1, 0, 100, -1});
  Q583.scanInterval = 1.0;
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_EQ(ApplyScanTiming(maximum, minimum), kTimingOutside);
  EXPECT_EQ(Q583.average, 16384U);
  EXPECT_GT(minimum, 32770.0);  // computed with 32768, not recomputed
}

TEST_F(TimingTest, LimitsHalveAverageUntilTheMinimumFitsAndStoreIt) {
  Use({2, 1.0F, 32768, 1, 3, 1, 0, 100, -1});
  Q583.scanInterval = 1.0;
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_TRUE(ComputeScanIntervalLimits(maximum, minimum, Q583));
  // 16384 and 8192 are too slow for 4233 s; 4096 fits.
  EXPECT_EQ(Q583.average, 4096U);
  const ScanBounds raw = ComputeScanBounds(Q583, 4096);
  EXPECT_NEAR(minimum, raw.minimum, 0.001);
  EXPECT_EQ(maximum, 4233.0);
  EXPECT_EQ(Q583.scanInterval, 1.0);

  Use(kJustTooSlow);
  EXPECT_TRUE(ComputeScanIntervalLimits(maximum, minimum, Q583));
  EXPECT_EQ(Q583.average, 1U);
  EXPECT_LT(minimum, maximum);
}

TEST_F(TimingTest, LimitsFailWhenAverageOfOneIsStillTooSlow) {
  Use({2, 0.0005F, 8, 1, 3, 1, 0, 100, -1});
  double maximum = 0.0;
  double minimum = 0.0;
  EXPECT_FALSE(ComputeScanIntervalLimits(maximum, minimum, Q583));
  // Unquantised bounds of the last pass, record unchanged.
  const ScanBounds last = ComputeScanBounds(Q583, 1);
  EXPECT_EQ(minimum, last.minimum);
  EXPECT_EQ(maximum, last.maximum);
  EXPECT_EQ(Q583.average, 8U);

  // The exports go on with these bounds: the minimum lies above the maximum.
  ASSERT_EQ(EX_SetToMinScanInterval(), 1);
  EXPECT_EQ(Q583.scanInterval, last.minimum);
  EXPECT_GT(Q583.scanInterval, 4233.0);
}

TEST_F(TimingTest, GetScanIntervalKeepsAnIntervalInsideUnquantised) {
  Use(kTwoChannels);
  Q583.scanInterval = 0.3333;
  double interval = 0.0;
  ASSERT_EQ(EX_GetScanInterval(&interval), 1);
  EXPECT_EQ(interval, 0.3333);

  // Outside: moved to the rounded minimum, by both getters.
  Q583.scanInterval = 0.01;
  ASSERT_EQ(EX_GetScanInterval(&interval), 1);
  EXPECT_EQ(interval, 0.126);
  Q583.scanInterval = 5000.0;
  double lo = 0.0;
  double hi = 0.0;
  ASSERT_EQ(EX_GetScanIntervalMinMax(&lo, &hi), 1);
  EXPECT_EQ(Q583.scanInterval, 0.126);
}

TEST_F(TimingTest, SetToMinAndMaxUseTheRoundedBounds) {
  Use(kTwoChannels);
  ASSERT_EQ(EX_SetToMaxScanInterval(), 1);
  EXPECT_EQ(Q583.scanInterval, 4233.0);
  ASSERT_EQ(EX_SetToMinScanInterval(), 1);
  EXPECT_EQ(Q583.scanInterval, 0.126);
}

TEST_F(TimingTest, UserIntervalMustLieStrictlyInsideTheRoundedBounds) {
  Use(kTwoChannels);
  Q583.scanInterval = 1.0;
  double wanted = 0.126;
  EXPECT_EQ(EX_SetToUserScanInterval(&wanted), 0);
  wanted = 4233.0;
  EXPECT_EQ(EX_SetToUserScanInterval(&wanted), 0);
  wanted = 0.1;
  EXPECT_EQ(EX_SetToUserScanInterval(&wanted), 0);
  wanted = 9000.0;
  EXPECT_EQ(EX_SetToUserScanInterval(&wanted), 0);
  EXPECT_EQ(Q583.scanInterval, 1.0);

  wanted = 0.1265;
  EXPECT_EQ(EX_SetToUserScanInterval(&wanted), 1);
  EXPECT_EQ(Q583.scanInterval, 0.1265);  // stored as given, not quantised
}

TEST_F(TimingTest, ExportsRefuseNullPointers) {
  Use(kTwoChannels);
  double value = 7.0;
  EXPECT_EQ(EX_GetScanInterval(nullptr), 0);
  EXPECT_EQ(EX_GetScanIntervalMinMax(nullptr, &value), 0);
  EXPECT_EQ(EX_GetScanIntervalMinMax(&value, nullptr), 0);
  EXPECT_EQ(EX_SetToUserScanInterval(nullptr), 0);
  EXPECT_EQ(value, 7.0);
}

TEST_F(TimingTest, ExportsOnAFreshLibraryStartFromTheDefaults) {
  ASSERT_TRUE(fDevSetupPending);
  double lo = 0.0;
  double hi = 0.0;
  ASSERT_EQ(EX_GetScanIntervalMinMax(&lo, &hi), 1);
  EXPECT_FALSE(fDevSetupPending);
  EXPECT_EQ(lo, 0.087);  // 0.086528 s, the defaults' minimum
  EXPECT_EQ(hi, 4233.0);
  double interval = 0.0;
  ASSERT_EQ(EX_GetScanInterval(&interval), 1);
  // The defaults leave 0.086528 s, below the rounded minimum: moved up.
  EXPECT_EQ(interval, 0.087);
}

}  // namespace
