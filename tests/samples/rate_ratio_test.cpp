#include "samples/rate_ratio.h"

#include <gtest/gtest.h>

namespace halvern {
namespace {

TEST(RateRatio, SearchOrderAndFallbacks) {
  const struct {
    int source, target;
    double bound;
    int up, down, sourceRate, targetRate;
    const char* why;
  } cases[] = {
      {48000, 96000, 1000.0, 2, 1, 48000, 96000, "exact"},
      {44100, 48000, 200000.0, 160, 147, 44100, 48000, "L x M = 23520 below the pumps' bound"},
      {48000, 44100, 200000.0, 147, 160, 48000, 44100, "the other way"},
      // No pair within 100 Hz is as simple as 3/2 (L x M below 6: 1..5 and inverses).
      {32000, 48000, 6.001, 3, 2, 32000, 48000, "a bound just above L x M"},
      // 47900/44068 = 25/23 (both x 1916) is the smallest speed error, about 0.136 percent.
      {44100, 48000, 1000.0, 25, 23, 44068, 47900, "CD to DVD: the closest small pair"},
      {48000, 44100, 1000.0, 23, 25, 47900, 44068, "DVD to CD"},
      // Single offsets: source up, source down, target up, target down.
      {3, 2, 5.0, 1, 2, 4, 2, "source 4 (1/2) before source 2 (1/1)"},
      {44101, 44100, 2.0, 1, 1, 44100, 44100, "the lowered source before the raised target"},
      {2, 5, 3.0, 2, 1, 2, 4, "target 4 wins after sources 3, 1 and target 6 fail"},
      // Bound 2 needs equal rates; source + i = target - j with the target offset outermost.
      {10, 20, 2.0, 1, 1, 19, 19, "paired offsets: j = 1, i = 9"},
      // Every equal pair 300..399 has the error 4/3; later ties do not replace the first.
      {300, 400, 2.0, 1, 1, 300, 300, "exhaustive search keeps the first of equal errors"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const CRateRatio r = FindRateRatio(c.source, c.target, c.bound);
    EXPECT_EQ(r.upFactor, c.up);
    EXPECT_EQ(r.downFactor, c.down);
    EXPECT_EQ(r.sourceRate, c.sourceRate);
    EXPECT_EQ(r.targetRate, c.targetRate);
  }
}

TEST(RateRatio, ThrowsWhenNoPairWithin100HzIsSmallEnough) {
  // 3 x 2 = 6 is not below 6: the bound is strict.
  EXPECT_THROW(FindRateRatio(32000, 48000, 6.0), int);
  // No positive L x M is below 1.
  EXPECT_THROW(FindRateRatio(44100, 48000, 1.0), int);
  // Equal rates would be needed, but sources stay below 300 and targets above 299.
  try {
    FindRateRatio(200, 400, 2.0);
    ADD_FAILURE() << "no exception";
  } catch (int code) {
    EXPECT_EQ(code, -21287);
  }
}

}  // namespace
}  // namespace halvern
