#include "samples/resampler_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <utility>

namespace halvern {
namespace {

TEST(ResamplerFilter, SpanAndBlockGeometry) {
  // Quality x 120, truncated, at least 5.
  for (const auto& [quality, span] : {std::pair{0.01, 5}, {-1.0, 5}, {0.299, 35}, {0.5, 60}})
    EXPECT_EQ(FilterSpan(quality), span) << quality;
  // Blocks are the smallest whole multiple of L x M above the span; the lead puts H past N.
  const struct {
    int up, down, span, halfLength, inputBlock, outputBlock, lead;
  } cases[] = {
      {25, 23, 24, 600, 575, 625, 625},  // (601 / 25 + 1) x 25
      {2, 1, 24, 48, 26, 52, 50},
      {5, 1, 24, 120, 30, 150, 125},  // 25 is itself a multiple of 5: one more
      {1, 2, 5, 5, 8, 4, 7},          // L = 1 puts H two samples past N
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.up * 100 + c.down);
    const CResamplerGeometry g = MakeResamplerGeometry(c.up, c.down, c.span);
    EXPECT_EQ(g.halfLength, c.halfLength);
    EXPECT_EQ(g.inputBlock, c.inputBlock);
    EXPECT_EQ(g.outputBlock, c.outputBlock);
    EXPECT_EQ(g.lead, c.lead);
    EXPECT_EQ(g.InputLead() * c.up, c.lead);
  }
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
