// Channel sockets, and the de- and interleavers inside them, judged by the samples they deliver.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <vector>

#include "graph/frames.h"
#include "graph/sound_buffer.h"
#include "graph/sound_channel_interleaver_socket.h"
#include "graph/sound_channel_selector_socket.h"
#include "graph/sound_mixdown_socket.h"
#include "graph/sound_re_randomizer_pull_socket.h"
#include "graph/sound_replicator_socket.h"
#include "samples/sample_format.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using namespace testing;

constexpr std::int64_t U = kUnspecifiedFrames;
constexpr std::uint8_t kUntouched = 0xEE;

// One format per sample width: 1, 2, 3, 4 and 8 bytes.
constexpr std::int32_t kFormatsByWidth[] = {kFormatInt8, kFormatInt16, kFormatPacked24,
                                            kFormatFloat, kFormatDouble};

// Frames (with room for `spare` more) pre-filled with a marker, for checking what was written.
struct Output {
  Output(const CDataPullSocket& socket, std::int64_t frames, std::int64_t spare = 2)
      : bytes(static_cast<std::size_t>((frames + spare) * socket.frameSize), kUntouched),
        frameSize(socket.frameSize) {}
  CDataBlock Block() { return {{frameSize, 1}, bytes.data()}; }
  std::vector<std::uint8_t> bytes;
  std::int32_t frameSize;
};

// What a socket that maps output channel k to pattern channel map[k] delivers at `position`.
std::vector<std::uint8_t> ExpectedFrames(std::int64_t position, std::int64_t frames,
                                         const std::vector<int>& map, int width) {
  std::vector<std::uint8_t> bytes;
  for (std::int64_t f = 0; f < frames; ++f)
    for (int channel : map)
      for (int b = 0; b < width; ++b) bytes.push_back(PatternByte(position + f, channel, b));
  return bytes;
}

std::vector<std::uint8_t> Head(const Output& out, std::int64_t frames) {
  return {out.bytes.begin(), out.bytes.begin() + frames * out.frameSize};
}

int ThrownCode(auto&& call) {
  try {
    call();
  } catch (int code) {
    return code;
  }
  return 0;
}

}  // namespace

// For every sample width: the selector repeats and reorders channels in passes of its chunk, and
// the replicator copies each mono sample to every channel; neither writes past what it delivers.
TEST(ChannelSelector, RepeatedAndReorderedChannelsAndReplicasForEveryWidth) {
  for (std::int32_t format : kFormatsByWidth) {
    SCOPED_TRACE(format);
    const int width = SampleWidth(format);
    TCountedRef<FakeSource> source(PatternSource(CSoundTraits(format, 3, 8000), U, 1000));
    const std::int32_t map[] = {2, 0, 2};
    TCountedRef selector(new CSoundChannelSelectorSocket(source, 3, map, 4));
    Output out(*selector, 9);
    EXPECT_EQ(selector->Pull(out.Block(), 9, U), 9);
    EXPECT_EQ(Head(out, 9), ExpectedFrames(0, 9, {2, 0, 2}, width));
    EXPECT_EQ(out.bytes[static_cast<std::size_t>(9 * out.frameSize)], kUntouched);
    EXPECT_EQ(source->calls.size(), 3u);  // one source pull per pass of 4, 4, 1

    TCountedRef replicator(
        new CSoundReplicatorSocket(PatternSource(CSoundTraits(format, 1, 8000), U, 5), 6));
    Output replicas(*replicator, 8);
    EXPECT_EQ(replicator->Pull(replicas.Block(), 8, U), 5);
    EXPECT_EQ(Head(replicas, 5), ExpectedFrames(0, 5, {0, 0, 0, 0, 0, 0}, width));
    EXPECT_EQ(replicas.bytes[static_cast<std::size_t>(5 * replicas.frameSize)], kUntouched);
  }
}

// Every channel socket refuses a layout it cannot serve with -50, and lets go of its sources.
TEST(ChannelSockets, ConstructionRefusesImpossibleLayouts) {
  const CSoundTraits stereo(kFormatInt16, 2, 8000);
  const CSoundTraits mono(kFormatInt16, 1, 8000);
  TCountedRef<FakeSource> source(PatternSource(stereo, U, 10));
  TCountedRef<FakeSource> wide(PatternSource(CSoundTraits(kFormatInt16, 65, 8000), U, 10));
  TCountedRef<FakeSource> good(PatternSource(mono, U, 10));
  TCountedRef<FakeSource> fast(PatternSource(CSoundTraits(kFormatInt16, 1, 16000), U, 10));
  const std::int32_t beyond[] = {2};
  const std::int32_t negative[] = {0, -1};
  std::int32_t many[65] = {};
  const TCountedRef<CSoundPullSocket> withStereo[] = {good, source};
  const TCountedRef<CSoundPullSocket> withFast[] = {good, fast};
  const CSoundTraits stereo24(kFormatPacked24, 2, 8000);
  TCountedRef buffer24(new CSoundBuffer(stereo24, 4));
  TCountedRef three(new CSoundBuffer(CSoundTraits(kFormatInt16, 3, 8000), 4));
  const std::function<void()> refused[] = {
      [&] { new CSoundChannelSelectorSocket(source, 1, beyond, 4); },
      [&] { new CSoundChannelSelectorSocket(source, 2, negative, 4); },
      [&] { new CSoundChannelSelectorSocket(source, 65, many, 4); },
      [&] { new CSoundChannelSelectorSocket(wide, 1, many, 4); },
      [&] { new CSoundChannelInterleaverSocket(2, withStereo, 16); },
      [&] { new CSoundChannelInterleaverSocket(2, withFast, 16); },
      [&] { new CSoundMixdownSocket(CSoundTraits(kFormatPacked24, 1, 8000), buffer24, buffer24); },
      [&] { new CSoundMixdownSocket(mono, three, three); },
      [&] { new CSoundReplicatorSocket(source, 6); },
  };
  for (std::size_t i = 0; i < std::size(refused); ++i)
    EXPECT_EQ(ThrownCode(refused[i]), -50) << "case " << i;
  EXPECT_EQ(source->RefCount(), 2);  // only this test and withStereo hold it
  EXPECT_EQ(good->RefCount(), 3);
  EXPECT_EQ(buffer24->RefCount(), 1);
}

TEST(ChannelSelector, ReplaceSourceKeepsTheMapForASourceOfTheSameLayout) {
  const CSoundTraits stereo(kFormatInt16, 2, 8000);
  TCountedRef<FakeSource> first(PatternSource(stereo, 50, 1000));
  const std::int32_t map[] = {1};
  TCountedRef selector(new CSoundChannelSelectorSocket(first, 1, map, 4));
  EXPECT_EQ(selector->GetLength(), 50);
  TCountedRef<FakeSource> mono(PatternSource(CSoundTraits(kFormatInt16, 1, 8000), 10, 1000));
  EXPECT_FALSE(selector->ReplaceSource(mono));
  TCountedRef<FakeSource> otherRate(PatternSource(CSoundTraits(kFormatInt16, 2, 44100), 10, 1000));
  EXPECT_FALSE(selector->ReplaceSource(otherRate));
  TCountedRef<FakeSource> second(PatternSource(stereo, 70, 1000, 5));
  EXPECT_TRUE(selector->ReplaceSource(second));
  EXPECT_EQ(selector->GetLength(), 70);
  Output out(*selector, 3);
  EXPECT_EQ(selector->Pull(out.Block(), 3, U), 3);
  EXPECT_EQ(Head(out, 3), ExpectedFrames(0, 3, {6}, 2));  // channel 1 of the new pattern
  EXPECT_EQ(first->RefCount(), 1);
}

TEST(ChannelInterleaverSocket, LaterSourcesAreAskedOnlyForWhatEarlierOnesDelivered) {
  const CSoundTraits mono(kFormatInt16, 1, 8000);
  TCountedRef<FakeSource> s0(PatternSource(mono, U, 1000, 0, 50));
  TCountedRef<FakeSource> s1(PatternSource(mono, U, 100, 1, 70));
  TCountedRef<FakeSource> s2(PatternSource(mono, U, 1000, 2));
  const TCountedRef<CSoundPullSocket> sources[] = {s0, s1, s2};
  TCountedRef socket(new CSoundChannelInterleaverSocket(3, sources, 512));
  Output out(*socket, 256);
  CTagList tags;
  EXPECT_EQ(socket->Pull(out.Block(), 256, U, tags), 100);
  EXPECT_EQ(s0->calls[0].count, 256);
  EXPECT_EQ(s1->calls[0].count, 256);
  EXPECT_EQ(s2->calls[0].count, 100);
  EXPECT_EQ(Head(out, 100), ExpectedFrames(0, 100, {0, 1, 2}, 2));
  EXPECT_EQ(out.bytes[600], kUntouched);
  // Every source's tags, in position order.
  EXPECT_EQ(testing::TagPositions(tags),
            (std::vector<std::int64_t>{0, 0, 50, 70, 100, 150, 200, 250}));
}

namespace {

TCountedRef<CSoundMixdownSocket> Mixdown(std::int32_t format, const void* pairs,
                                         std::int64_t frames, std::int64_t scratchFrames) {
  const CSoundTraits stereo(format, 2, 8000);
  TCountedRef source(new CSoundBuffer(stereo, frames));
  source->Push(
      CDataBlock{{source->frameSize, 1}, static_cast<std::uint8_t*>(const_cast<void*>(pairs))},
      frames, 0);
  TCountedRef scratch(new CSoundBuffer(stereo, scratchFrames));
  return new CSoundMixdownSocket(CSoundTraits(format, 1, 8000), source, scratch);
}

}  // namespace

TEST(Mixdown, MeanRoundsHalfUpWithoutOverflowAndFloatsSumInSinglePrecision) {
  const std::int16_t pairs[] = {-3, 2, 32767, 32767, -32768, -32768, -1, 0, 5, -6};
  std::int16_t out[6] = {0, 0, 0, 0, 0, 77};
  // The source buffer's cursor sits at its end after filling: read it from position 0.
  EXPECT_EQ(Mixdown(kFormatInt16, pairs, 5, 2)
                ->Pull(CDataBlock{{2, 1}, reinterpret_cast<std::uint8_t*>(out)}, 6, 0),
            5);
  // -0.5 rounds up; the source ran dry before the last frame.
  EXPECT_EQ(std::vector<std::int16_t>(out, out + 6),
            (std::vector<std::int16_t>{0, 32767, -32768, 0, 0, 77}));
  const float floatPairs[] = {0.25f, 0.5f, -1.0f, 1.0f, 3.0e38f, 3.0e38f};
  float floats[3] = {};
  EXPECT_EQ(Mixdown(kFormatFloat, floatPairs, 3, 2)
                ->Pull(CDataBlock{{4, 1}, reinterpret_cast<std::uint8_t*>(floats)}, 3, 0),
            3);
  EXPECT_EQ(floats[0], 0.375f);
  EXPECT_EQ(floats[1], 0.0f);
  EXPECT_TRUE(std::isinf(floats[2]));
}

// Chains must deliver the same stream however the consumer slices its pulls: the re-randomizer
// on top turns continued pulls into explicit positions that fall across the inner chunk passes.
TEST(ChannelChain, OddSizedPullsGiveTheWholeStream) {
  constexpr std::int64_t kLength = 300;
  const auto selectedAndReplicated = [] {
    TCountedRef<CSoundPullSocket> source(
        PatternSource(CSoundTraits(kFormatPacked24, 2, 8000), kLength, 1 << 20));
    const std::int32_t map[] = {1};
    TCountedRef<CSoundPullSocket> selector(new CSoundChannelSelectorSocket(source, 1, map, 5));
    return TCountedRef<CSoundPullSocket>(new CSoundReplicatorSocket(selector, 4));
  };
  const auto interleavedAndReselected = [] {
    TCountedRef<CSoundPullSocket> sources[3];
    for (int i = 0; i < 3; ++i)
      sources[i] = PatternSource(CSoundTraits(kFormatDouble, 1, 8000), kLength, 1 << 20, i);
    TCountedRef<CSoundPullSocket> interleaved(new CSoundChannelInterleaverSocket(3, sources, 6));
    const std::int32_t map[] = {2, 0};
    return TCountedRef<CSoundPullSocket>(new CSoundChannelSelectorSocket(interleaved, 2, map, 4));
  };
  const struct {
    std::function<TCountedRef<CSoundPullSocket>()> build;
    std::vector<int> map;
    int width;
  } cases[] = {{selectedAndReplicated, {1, 1, 1, 1}, 3}, {interleavedAndReselected, {2, 0}, 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    const auto expected = ExpectedFrames(0, kLength, c.map, c.width);
    TCountedRef<CSoundPullSocket> whole(new CSoundReRandomizerPullSocket(c.build()));
    EXPECT_EQ(testing::PullFrames(*whole, kLength + 50), expected);
    TCountedRef<CSoundPullSocket> sliced(new CSoundReRandomizerPullSocket(c.build()));
    EXPECT_EQ(testing::PullInPieces(*sliced, kLength + 50, {1, 2, 3, 5, 7, 11, 13}), expected);
  }
}

}  // namespace halvern
