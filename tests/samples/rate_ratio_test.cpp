#include "samples/rate_ratio.h"

#include <gtest/gtest.h>

namespace halvern {
namespace {

void ExpectRatio(const CRateRatio& r, int up, int down, int source, int target) {
  EXPECT_EQ(r.upFactor, up);
  EXPECT_EQ(r.downFactor, down);
  EXPECT_EQ(r.sourceRate, source);
  EXPECT_EQ(r.targetRate, target);
}

TEST(RateRatio, ExactRatiosKeepTheRates) {
  ExpectRatio(FindRateRatio(48000, 96000, 1000.0), 2, 1, 48000, 96000);
  ExpectRatio(FindRateRatio(32000, 48000, 1000.0), 3, 2, 32000, 48000);
  // 160/147: L x M = 23520, below the pumps' bound in both directions.
  ExpectRatio(FindRateRatio(44100, 48000, 200000.0), 160, 147, 44100, 48000);
  ExpectRatio(FindRateRatio(48000, 44100, 200000.0), 147, 160, 48000, 44100);
}

TEST(RateRatio, BoundIsStrict) {
  // 3 x 2 = 6 is not below 6, and no pair within 100 Hz has a ratio as simple (ratios with
  // L x M below 6 are 1, 2, 3, 4, 5 and their inverses, none near 1.5).
  EXPECT_THROW(FindRateRatio(32000, 48000, 6.0), int);
  ExpectRatio(FindRateRatio(32000, 48000, 6.001), 3, 2, 32000, 48000);
}

TEST(RateRatio, CdToDvdRatesFallBackToTheClosestSmallPair) {
  // 160 x 147 is far above 1000 and no pair within 9 Hz qualifies; 47900/44068 = 25/23
  // (both x 1916) is the smallest speed error, about 0.136 percent.
  const CRateRatio r = FindRateRatio(44100, 48000, 1000.0);
  ExpectRatio(r, 25, 23, 44068, 47900);
  EXPECT_NEAR(double(r.sourceRate) / r.targetRate / (44100.0 / 48000.0), 1.00136, 1e-5);
  ExpectRatio(FindRateRatio(48000, 44100, 1000.0), 23, 25, 47900, 44068);
}

TEST(RateRatio, SingleOffsetsAreTriedSourceUpSourceDownTargetUpTargetDown) {
  // 3 -> 2 (L x M = 6) misses bound 5; source 4 (2/4 = 1/2) comes before source 2 (1/1).
  ExpectRatio(FindRateRatio(3, 2, 5.0), 1, 2, 4, 2);
  // Source 44100 and target 44101 both give 1/1 after the first try (44102, gcd 2) fails: the
  // lowered source comes first.
  ExpectRatio(FindRateRatio(44101, 44100, 2.0), 1, 1, 44100, 44100);
  // 2 -> 5: sources 3 (5/3) and 1 (5/1) and target 6 (3/1, not below 3) fail; target 4 (2/1) wins
  // and is stored back.
  ExpectRatio(FindRateRatio(2, 5, 3.0), 2, 1, 2, 4);
}

TEST(RateRatio, PairedOffsetsAreTriedTargetOffsetOutermost) {
  // Bound 2 needs equal rates. 10 -> 20 reaches them only with source + i = target - j, i + j = 10;
  // the target offset runs outermost, so j = 1, i = 9 (19, 19) comes first.
  ExpectRatio(FindRateRatio(10, 20, 2.0), 1, 1, 19, 19);
}

TEST(RateRatio, ExhaustiveSearchKeepsTheFirstOfEqualErrors) {
  // Every equal pair 300..399 has the same error 4/3; scanning targets from 300 up and sources
  // from 200 up, (300, 300) comes first and later ties do not replace it.
  ExpectRatio(FindRateRatio(300, 400, 2.0), 1, 1, 300, 300);
}

TEST(RateRatio, ThrowsWhenNoPairWithin100HzIsSmallEnough) {
  // Equal rates would be needed, but sources stay below 300 and targets above 299.
  EXPECT_THROW(
      {
        try {
          FindRateRatio(200, 400, 2.0);
        } catch (int code) {
          EXPECT_EQ(code, -21287);
          throw;
        }
      },
      int);
  // No positive L x M is below 1.
  EXPECT_THROW(FindRateRatio(44100, 48000, 1.0), int);
}

}  // namespace
}  // namespace halvern
