#include "samples/resampler_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "samples/resampler_filter.h"

namespace halvern {
namespace {

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
  int up;
  int down;
  int halfLength;
  int outputFrames;
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
