// The converter input socket must deliver every frame of its source converted exactly once, in
// chunks no larger than its scratch, and step aside when there is nothing to convert.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "graph/frames.h"
#include "graph/sound_converter_input_socket.h"
#include "samples/sample_format.h"
#include "samples/test_filters.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using namespace testing;
using Counts = std::vector<std::int64_t>;

constexpr int kChannels = 2;

// 16-bit to float divides by 32768; a filter may scale on top.
void ExpectFloatRamp(const std::vector<float>& out, std::int64_t position, std::int64_t frames,
                     float scale = 1.0f) {
  for (std::int64_t f = 0; f < frames; ++f)
    for (int c = 0; c < kChannels; ++c)
      ASSERT_EQ(out[static_cast<std::size_t>(f * kChannels + c)],
                RampSample(position + f, c) / 32768.0f * scale)
          << "frame " << f;
}

TEST(ConverterInputSocket, EqualFormatsWithoutFilterPullStraightIntoTheCallersBlock) {
  TCountedRef<FakeSource> source(RampSource(kChannels, 1000, testing::kNoEnd, 100));
  TCountedRef socket(new CSoundConverterInputSocket(source, kFormatInt16, nullptr, 512));
  std::vector<std::uint8_t> out(1200 * 4);
  CTagList tags;
  EXPECT_EQ(socket->Pull(CDataBlock{{4, 1}, out.data()}, 1200, 50, tags), 950);
  ASSERT_EQ(source->calls.size(), 1u);
  EXPECT_EQ(source->calls[0].data, out.data());
  EXPECT_EQ(source->calls[0].count, 1200);
  EXPECT_EQ(source->calls[0].position, 50);
  EXPECT_EQ(TagPositions(tags), (Counts{100, 200, 300, 400, 500, 600, 700, 800, 900}));
  EXPECT_EQ(SampleAt(out.data(), 949, 1, kChannels), RampSample(999, 1));
}

TEST(ConverterInputSocket, PullsAndConvertsChunkByChunkUntilAShortSourcePull) {
  TCountedRef<FakeSource> source(RampSource(kChannels, 5000, testing::kNoEnd, 500));
  TCountedRef socket(new CSoundConverterInputSocket(source, kFormatFloat, nullptr, 512));
  EXPECT_EQ(socket->GetLength(), 5000);
  std::vector<float> out(1200 * kChannels);
  CTagList tags;
  EXPECT_EQ(socket->Pull(testing::BlockOf(out, 8), 1200, 300, tags), 1200);
  ExpectFloatRamp(out, 300, 1200);
  EXPECT_EQ(source->CallCounts(), (Counts{512, 512, 176}));
  EXPECT_EQ(source->CallPositions(), (Counts{300, 812, 1324}));
  EXPECT_EQ(TagPositions(tags), (Counts{500, 1000}));

  // A continued stream stays continued upstream.
  source->calls.clear();
  EXPECT_EQ(socket->Pull(testing::BlockOf(out, 8), 600, kUnspecifiedFrames), 600);
  ExpectFloatRamp(out, 1500, 600);
  ASSERT_EQ(source->calls.size(), 2u);
  EXPECT_EQ(source->calls[1].position, kUnspecifiedFrames);

  // A live source that stops: the first short pull ends the request, the rest stays untouched.
  TCountedRef<FakeSource> live(RampSource(kChannels, kUnspecifiedFrames, 700));
  TCountedRef stopping(new CSoundConverterInputSocket(live, kFormatFloat, nullptr, 512));
  out.assign(out.size(), 9.0f);
  EXPECT_EQ(stopping->Pull(testing::BlockOf(out, 8), 1200, kUnspecifiedFrames), 700);
  ExpectFloatRamp(out, 0, 700);
  EXPECT_EQ(out[700 * kChannels], 9.0f);
  EXPECT_EQ(live->calls.size(), 2u);
  EXPECT_THROW(stopping->Pull(testing::BlockOf(out, 4), 2, 0), int);
}

TEST(ConverterInputSocket, FilterForcesConversionEvenBetweenEqualFormats) {
  TCountedRef<CSoundPullSocket> source(WaveSource(
      kChannels, 48000, 100, [](std::int64_t p, int c) { return RampSample(p, c) / 32768.0; }));
  TCountedRef<CSampleFunnel::Filter> halve(new test_filters::CScale(0.5));
  TCountedRef socket(new CSoundConverterInputSocket(source, kFormatFloat, halve, 16));
  std::vector<float> out(40 * kChannels);
  EXPECT_EQ(socket->Pull(testing::BlockOf(out, 8), 40, 0), 40);
  ExpectFloatRamp(out, 0, 40, 0.5f);
}

TEST(ConverterInputSocket, ReplaceSourceKeepsLayoutAndRebuildsTheConverter) {
  TCountedRef<FakeSource> ramp(RampSource(kChannels, 100));
  TCountedRef floats(new CSoundConverterInputSocket(ramp, kFormatFloat, nullptr, 32));
  TCountedRef passThrough(new CSoundConverterInputSocket(floats, kFormatFloat, nullptr, 32));
  EXPECT_EQ(passThrough->ScratchCapacity(), 0);

  EXPECT_FALSE(passThrough->ReplaceSource(TCountedRef<CSoundPullSocket>(RampSource(1, 100))));
  EXPECT_FALSE(passThrough->ReplaceSource(
      TCountedRef<CSoundPullSocket>(RampSource(kChannels, 100, testing::kNoEnd, 0, 44100))));

  // Now 16-bit in, float out: the empty scratch gets its size back, so the pull makes progress.
  ASSERT_TRUE(passThrough->ReplaceSource(TCountedRef<CSoundPullSocket>(ramp.Get())));
  EXPECT_TRUE(passThrough->Converts());
  EXPECT_EQ(passThrough->ScratchCapacity(), 32);
  std::vector<float> out(100 * kChannels);
  EXPECT_EQ(passThrough->Pull(testing::BlockOf(out, 8), 100, 0), 100);
  ExpectFloatRamp(out, 0, 100);

  // And back to a float source: straight through again.
  ASSERT_TRUE(passThrough->ReplaceSource(TCountedRef<CSoundPullSocket>(floats.Get())));
  EXPECT_FALSE(passThrough->Converts());
  EXPECT_EQ(passThrough->ScratchCapacity(), 0);
}

}  // namespace
}  // namespace halvern
