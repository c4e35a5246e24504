// The rate converter socket: the stream it delivers must not depend on how it is pulled, must
// follow the ideal resampled signal, and no output block may be computed twice for a stream
// pulled in order.
#include "graph/sample_rate_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "graph/frames.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using namespace testing;
using Counts = std::vector<std::int64_t>;

constexpr double kAmplitude = 0.5;
constexpr double kFrequency[] = {1000.0, 6000.0};  // per channel

double Sine(double at, std::int32_t rate, int channel) {
  return kAmplitude * std::sin(2.0 * std::numbers::pi * kFrequency[channel] * at / rate);
}

TCountedRef<CSampleRateConverter> Converter(std::int32_t from, std::int32_t to, std::int64_t length,
                                            double bound = 200000.0,
                                            std::uint32_t budget = 4194304) {
  TCountedRef<CSoundPullSocket> source(WaveSource(
      2, from, length, [from](std::int64_t p, int c) { return Sine(double(p), from, c); }));
  return TCountedRef<CSampleRateConverter>(new CSampleRateConverter(
      source, to, CQuality(0.2), CCacheBudget(budget), CRatioBound(bound)));
}

TEST(SampleRateConverter, CacheFollowsTheBudgetAndLengthTheRatio) {
  // 4 MiB of stereo float is 911 chunks of 575; a 1000-frame source needs only 2; 512 bytes buy
  // no chunk: the minimum.
  EXPECT_EQ(Converter(44100, 48000, kUnspecifiedFrames, 1000.0)->CacheChunks(), 911);
  EXPECT_EQ(Converter(44100, 48000, 1000, 1000.0)->CacheChunks(), 2);
  EXPECT_EQ(Converter(44100, 48000, kUnspecifiedFrames, 1000.0, 512)->CacheChunks(), 3);
  EXPECT_THROW(Converter(44100, 48000, 1000, 1.0), int);
  EXPECT_EQ(Converter(48000, 44100, 48000)->GetLength(), 44101);
  // The nearby pair of the small bound: 44068 x 48000 / 47900 = 44160.08.
  EXPECT_EQ(Converter(48000, 44100, 48000, 1000.0)->GetLength(), 44161);
  EXPECT_EQ(Converter(48000, 44100, kUnspecifiedFrames)->GetLength(), kUnspecifiedFrames);
  auto converter = Converter(48000, 96000, 100);  // 201 frames
  EXPECT_EQ(PullFrames<float>(*converter, 150, 100).size(), 101u * 2);
  EXPECT_EQ(PullFrames<float>(*converter, 10, 201).size(), 0u);
  EXPECT_EQ(PullFrames<float>(*converter, 10, kUnspecifiedFrames).size(), 0u);
  EXPECT_EQ(PullFrames<float>(*converter, 300, 0).size(), 201u * 2);
}

// Every pair of rates runs through several block and chunk boundaries. Tones of 1 and 6 kHz lie
// far inside the passband of the Blackman-windowed sinc, where the filter deviates from unity by
// much less than the window's -74 dB stopband floor. So the whole pull must stay within 1e-4
// (-74 dB of this 0.5 amplitude) of the ideal tone at the interpolated positions n x M / L. A
// frame off, a wrong block seam, a missing M / L gain or rates off by the 0.136 percent of the
// nominal ones err by far more (1 kHz moves 0.065 per frame at 48 kHz). Pieces and jumps run
// with the render chain's small cache and must give the same stream, pieces in order computing
// every block once.
TEST(SampleRateConverter, AnyPullsGiveTheIdealResampledSine) {
  const struct {
    std::int32_t from, to;
    double bound;
  } cases[] = {{44100, 48000, 1000.0},
               {48000, 44100, 1000.0},
               {44100, 48000, 200000.0},
               {48000, 44100, 200000.0},
               {48000, 96000, 200000.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " -> " << c.to << " bound " << c.bound);
    const std::int64_t frames = 60000;
    auto converter = Converter(c.from, c.to, kUnspecifiedFrames, c.bound);
    const auto whole = PullFrames<float>(*converter, frames, 0);
    const double up = converter->Ratio().upFactor;
    const double down = converter->Ratio().downFactor;
    // The table is not normalised: downsampling gains M / L.
    const double gain = down > up ? down / up : 1.0;
    const auto skip = static_cast<std::int64_t>((converter->Geometry().span + 2) * up / down) + 1;
    double worst = 0.0;
    for (std::int64_t n = skip; n < frames; ++n)
      for (int ch = 0; ch < 2; ++ch) {
        const double ideal = gain * Sine(static_cast<double>(n) * down / up, c.from, ch);
        worst = std::max(worst, std::abs(whole[static_cast<std::size_t>(n * 2 + ch)] - ideal));
      }
    EXPECT_LT(worst, 1e-4);

    auto small = Converter(c.from, c.to, kUnspecifiedFrames, c.bound, 512);
    auto pieces = PullInPieces<float>(*small, frames, {1, 960, 7, 4097, 333, 25601, 2});
    const auto blockFrames = static_cast<std::int64_t>(small->Geometry().outputBlock);
    EXPECT_EQ(small->ComputedBlocks(),
              (static_cast<std::int64_t>(pieces.size() / 2) + blockFrames - 1) / blockFrames);
    pieces.resize(whole.size());
    ASSERT_TRUE(whole == pieces);
    // Backwards through the stream, at explicit positions, also before the start.
    for (std::int64_t at = frames - 777; at > -2000; at -= 5003) {
      auto part = PullFrames<float>(*small, 777, at);
      for (std::int64_t f = std::max<std::int64_t>(at, 0); f < at + 777; ++f)
        for (int ch = 0; ch < 2; ++ch)
          ASSERT_EQ(part[static_cast<std::size_t>((f - at) * 2 + ch)],
                    whole[static_cast<std::size_t>(f * 2 + ch)])
              << "frame " << f;
    }
    // A continued pull goes on where the last explicit one ended.
    PullFrames<float>(*small, 100, 30000);
    auto next = PullFrames<float>(*small, 50, kUnspecifiedFrames);
    ASSERT_TRUE(std::equal(next.begin(), next.end(), whole.begin() + 30100 * 2));
  }
}

// Doubling puts a tag at p on 2p; 44.1 to 48 kHz on trunc(p x 160 / 147).
TEST(SampleRateConverter, TagsMoveOntoTheOutputTimeline) {
  const struct {
    std::int32_t from, to;
    std::int64_t length;
    std::vector<std::int64_t> pieces;
    Counts expected;
  } cases[] = {{48000, 96000, 5000, {333, 1, 2999}, {0, 2000, 4000, 6000, 8000}},
               {44100, 48000, 5000, {700}, {0, 1088, 2176, 3265, 4353}}};
  for (const auto& c : cases) {
    TCountedRef up(new CSampleRateConverter(RampSource(1, c.length, testing::kNoEnd, 1000, c.from),
                                            c.to, CQuality(0.2), kWholeStreamBudget,
                                            kExactRatioBound));
    CTagList tags;
    PullInPieces<float>(*up, 2 * c.length, c.pieces, &tags);
    EXPECT_EQ(TagPositions(tags), c.expected) << c.to;
  }
}

}  // namespace
}  // namespace halvern
