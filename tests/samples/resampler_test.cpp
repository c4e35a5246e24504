// The rate converter's math: the ratio search, the filter's geometry and table, and the polyphase
// kernel in every form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "samples/rate_ratio.h"
#include "samples/resampler_filter.h"
#include "samples/resampler_kernel.h"

namespace halvern {
namespace {

TEST(RateRatio, SearchOrderFallbacksAndRefusals) {
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
      // No pair within 100 Hz is small enough:
      {32000, 48000, 6.0, 0, 0, 0, 0, "3 x 2 = 6 is not below 6: the bound is strict"},
      {44100, 48000, 1.0, 0, 0, 0, 0, "no positive L x M is below 1"},
  };
  // Equal rates would be needed, but sources stay below 300 and targets above 299.
  try {
    FindRateRatio(200, 400, 2.0);
    ADD_FAILURE() << "no exception";
  } catch (int code) {
    EXPECT_EQ(code, -21287);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.up == 0) {
      EXPECT_THROW(FindRateRatio(c.source, c.target, c.bound), int);
      continue;
    }
    const CRateRatio r = FindRateRatio(c.source, c.target, c.bound);
    EXPECT_EQ(r.upFactor, c.up);
    EXPECT_EQ(r.downFactor, c.down);
    EXPECT_EQ(r.sourceRate, c.sourceRate);
    EXPECT_EQ(r.targetRate, c.targetRate);
  }
}

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
  int up, down, span;
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

using EPath = CResamplerKernel::EPath;

// Interleaved input holding exactly the frames a block may read, [0, reach.end); frames before
// the reach are NaN, so that reading one shows in the output.
std::vector<float> BlockInput(const CKernelReach& reach, int channels, std::uint32_t seed,
                              float amplitude) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-amplitude, amplitude);
  std::vector<float> input(std::size_t(reach.end) * channels);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = i < std::size_t(reach.first) * channels ? std::numeric_limits<float>::quiet_NaN()
                                                       : value(random);
  }
  return input;
}

struct CKernelCase {
  int up, down, halfLength, outputFrames;
};

// The kernel as plainly as it can be written: output n sits at t = H - N + n x M on the
// upsampled time line; the taps under it start at input frame floor((t - 1) / L) + 1 and table
// index that frame x L - t, and step by one frame and L entries; the double sum is clamped.
std::vector<float> Reference(const CKernelCase& c, const std::vector<double>& table,
                             const std::vector<float>& input, int channels, int channel) {
  const std::int64_t lead = (std::int64_t{c.halfLength + 1} / c.up + 1) * c.up;
  std::vector<float> out(std::size_t(c.outputFrames) * channels);
  for (std::int64_t n = 0; n < c.outputFrames; ++n) {
    const std::int64_t t = lead - c.halfLength + n * c.down;
    std::int64_t frame = (t - 1) / c.up + 1;
    double sum = 0.0;
    bool any = false;
    for (std::int64_t i = frame * c.up - t; i <= 2 * c.halfLength; i += c.up, ++frame) {
      sum += double(input[std::size_t(frame * channels + channel)]) * table[std::size_t(i)];
      any = true;
    }
    const float clamped = sum >= 1.0 ? 1.0f : sum < -1.0 ? -1.0f : float(sum);
    out[std::size_t(n * channels + channel)] = any ? clamped : 0.0f;
  }
  return out;
}

class ResamplerKernelPaths : public testing::TestWithParam<CKernelCase> {};

TEST_P(ResamplerKernelPaths, EveryPathMatchesThePlainKernelBitForBit) {
  const CKernelCase c = GetParam();
  const std::vector<double> table = MakeResamplerTable(c.up, c.down, c.halfLength);
  const CKernelReach reach = KernelReach(c.outputFrames, c.up, c.down, c.halfLength);
  for (int channels : {1, 3}) {
    // Amplitudes up to 1.2 so that some sums are clamped.
    const std::vector<float> input = BlockInput(reach, channels, 99 + channels, 1.2f);
    std::vector<float> expected(std::size_t(c.outputFrames) * channels);
    for (int ch = 0; ch < channels; ++ch) {
      const std::vector<float> one = Reference(c, table, input, channels, ch);
      for (std::size_t i = std::size_t(ch); i < one.size(); i += std::size_t(channels))
        expected[i] = one[i];
    }
    for (float v : expected) ASSERT_FALSE(std::isnan(v)) << "read before the reach";
    std::vector<float> plain(expected.size(), 7.0f);
    for (int ch = 0; ch < channels; ++ch)
      ResampleChannelBlock(input.data() + ch, channels, plain.data() + ch, c.outputFrames, c.up,
                           c.down, c.halfLength, table.data());
    ASSERT_EQ(std::memcmp(plain.data(), expected.data(), sizeof(float) * expected.size()), 0);

    for (EPath path : {EPath::kScalar, EPath::kVector, EPath::kAvx2}) {
      if (!CResamplerKernel::IsAvailable(path)) continue;
      CResamplerKernel kernel(c.up, c.down, c.halfLength, table.data(), c.outputFrames, path);
      EXPECT_EQ(kernel.Reach().first, reach.first);
      EXPECT_EQ(kernel.Reach().end, reach.end);
      std::vector<float> actual(expected.size(), 7.0f);
      // Twice, so that a scratch left over from the first run cannot hide a fault.
      for (int run = 0; run < 2; ++run) {
        for (int ch = 0; ch < channels; ++ch)
          kernel.Run(input.data() + ch, channels, actual.data() + ch);
      }
      ASSERT_EQ(std::memcmp(actual.data(), expected.data(), sizeof(float) * expected.size()), 0)
          << "path " << int(path) << ", " << channels << " channels";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, ResamplerKernelPaths,
    testing::Values(CKernelCase{25, 23, 600, 625}, CKernelCase{23, 25, 552, 575},
                    CKernelCase{160, 147, 3840, 25600}, CKernelCase{147, 160, 735, 23520},
                    CKernelCase{25, 23, 1500, 625}, CKernelCase{2, 1, 48, 52},
                    CKernelCase{1, 2, 60, 62}, CKernelCase{3, 2, 72, 75}, CKernelCase{1, 6, 5, 5},
                    // Half lengths that are not multiples of L, odd block lengths; a table
                    // shorter than L leaves outputs without taps, which are 0.
                    CKernelCase{4, 3, 37, 101}, CKernelCase{7, 5, 3, 33}, CKernelCase{4, 2, 1, 9}));

TEST(ResamplerKernel, RefusesPathsThisMachineLacks) {
  const std::vector<double> table(5, 1.0);
  EXPECT_TRUE(CResamplerKernel::IsAvailable(EPath::kScalar));
  EXPECT_TRUE(CResamplerKernel::IsAvailable(CResamplerKernel::FastestPath()));
  for (EPath path : {EPath::kVector, EPath::kAvx2}) {
    if (!CResamplerKernel::IsAvailable(path)) {
      EXPECT_THROW(CResamplerKernel(1, 1, 2, table.data(), 8, path), int);
    }
  }
}

}  // namespace
}  // namespace halvern
