#include "samples/resampler_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace halvern {
namespace {

TEST(ResamplerFilter, SpanIsQualityTimes120AtLeast5) {
  EXPECT_EQ(FilterSpan(0.01), 5);
  EXPECT_EQ(FilterSpan(0.0), 5);
  EXPECT_EQ(FilterSpan(-1.0), 5);
  EXPECT_EQ(FilterSpan(0.299), 35);  // 35.88 truncated
  EXPECT_EQ(FilterSpan(0.2), 24);
  EXPECT_EQ(FilterSpan(0.5), 60);
}

TEST(ResamplerFilter, BlocksAreWholeMultiplesOfLTimesMAboveTheSpan) {
  // 25/23, z 24: L x M = 575 > 25, one multiple; 575 / 23 x 25 output frames.
  CResamplerGeometry g = MakeResamplerGeometry(25, 23, 24);
  EXPECT_EQ(g.halfLength, 600);
  EXPECT_EQ(g.upTimesDown, 575);
  EXPECT_EQ(g.inputBlock, 575);
  EXPECT_EQ(g.outputBlock, 625);
  EXPECT_EQ(g.lead, 625);  // (601 / 25 + 1) x 25
  EXPECT_EQ(g.InputLead(), 25);

  // 2/1, z 24: the smallest multiple of 2 above 25.
  g = MakeResamplerGeometry(2, 1, 24);
  EXPECT_EQ(g.inputBlock, 26);
  EXPECT_EQ(g.outputBlock, 52);
  EXPECT_EQ(g.lead, 50);

  // 5/1, z 24: 25 is itself a multiple of 5, so one more multiple.
  g = MakeResamplerGeometry(5, 1, 24);
  EXPECT_EQ(g.inputBlock, 30);
  EXPECT_EQ(g.outputBlock, 150);

  // 1/2, z 5: L = 1 puts H two samples past N ((N + 1) / 1 + 1).
  g = MakeResamplerGeometry(1, 2, 5);
  EXPECT_EQ(g.halfLength, 5);
  EXPECT_EQ(g.inputBlock, 8);
  EXPECT_EQ(g.outputBlock, 4);
  EXPECT_EQ(g.lead, 7);

  EXPECT_THROW(MakeResamplerGeometry(0, 1, 24), int);
  EXPECT_THROW(MakeResamplerGeometry(1, -1, 24), int);
}

struct CTableCase {
  int up;
  int down;
  int span;
};

class ResamplerTable : public testing::TestWithParam<CTableCase> {};

TEST_P(ResamplerTable, IsASymmetricWindowedSincWithUnitCentre) {
  const auto [up, down, span] = GetParam();
  const int n = up * span;
  const std::vector<double> h = MakeResamplerTable(up, down, n);
  ASSERT_EQ(h.size(), std::size_t(2 * n + 1));
  EXPECT_EQ(h[n], 1.0);
  for (int i = 1; i <= n; ++i) ASSERT_EQ(h[n + i], h[n - i]) << i;
  // The window is 0 at the ends.
  EXPECT_NEAR(h[0], 0.0, 1e-12);

  // Independent evaluation at i x step; the table accumulates its steps, which moves the
  // arguments by some ulps per step, hence the tolerance.
  const int period = std::max(up, down);
  for (int i : {1, 2, period / 2 + 1, period, n / 3, n - 1}) {
    const double x = i * std::numbers::pi / period;
    const double w = i * std::numbers::pi / n;
    const double expected = (0.42 + 0.5 * std::cos(w) + 0.08 * std::cos(2 * w)) * std::sin(x) / x;
    EXPECT_NEAR(h[n + i], expected, 1e-10) << i;
  }
  // Zero crossings every max(L, M) taps.
  for (int i = period; i <= n; i += period) EXPECT_NEAR(h[n + i], 0.0, 1e-10) << i;

  // Each polyphase branch passes DC with gain 1, or M / L when M > L. The window's departure
  // from flat makes each branch miss that by an error falling as 1 / z^2; 0.1 / z^2 bounds it
  // (1.7e-4 at z = 24, 4e-3 at z = 5), far below what a wrong step or period would cause.
  const double gain = down > up ? double(down) / up : 1.0;
  for (int phase = 0; phase < up; ++phase) {
    double sum = 0.0;
    for (int i = phase; i <= 2 * n; i += up) sum += h[i];
    EXPECT_NEAR(sum, gain, 0.1 / (span * span) * gain) << phase;
  }
}

INSTANTIATE_TEST_SUITE_P(Ratios, ResamplerTable,
                         testing::Values(CTableCase{25, 23, 24}, CTableCase{23, 25, 24},
                                         CTableCase{160, 147, 24}, CTableCase{2, 1, 60},
                                         CTableCase{1, 2, 5}, CTableCase{3, 2, 24}));

}  // namespace
}  // namespace halvern
