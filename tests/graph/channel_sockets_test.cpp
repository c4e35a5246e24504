#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "graph/frames.h"
#include "graph/sound_channel_deinterleaver.h"
#include "graph/sound_channel_interleaver.h"
#include "graph/sound_channel_interleaver_socket.h"
#include "graph/sound_channel_selector_socket.h"
#include "graph/sound_mixdown_socket.h"
#include "graph/sound_replicator_socket.h"
#include "samples/sample_format.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using testing::FakeSource;
using testing::PatternBuffer;
using testing::PatternByte;
using testing::PatternSource;

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

TEST(ChannelSelector, OneChannelLandsInTheCallersBlockInChunkPasses) {
  const CSoundTraits six(kFormatInt16, 6, 48000);
  TCountedRef<FakeSource> source(PatternSource(six, U, 1000));
  const std::int32_t map[] = {4};
  TCountedRef<CSoundChannelSelectorSocket> selector(
      new CSoundChannelSelectorSocket(source, 1, map, 4));
  EXPECT_EQ(selector->channels, 1);
  EXPECT_EQ(selector->frameSize, 2);
  Output out(*selector, 10);
  EXPECT_EQ(selector->Pull(out.Block(), 10, U), 10);
  EXPECT_EQ(Head(out, 10), ExpectedFrames(0, 10, {4}, 2));
  EXPECT_EQ(out.bytes[20], kUntouched);
  ASSERT_EQ(source->calls.size(), 3u);
  EXPECT_EQ(source->calls[0].count, 4);
  EXPECT_EQ(source->calls[2].count, 2);
}

TEST(ChannelSelector, RepeatedAndReorderedChannelsForEveryWidth) {
  for (std::int32_t format : kFormatsByWidth) {
    SCOPED_TRACE(format);
    const int width = SampleWidth(format);
    TCountedRef<FakeSource> source(PatternSource(CSoundTraits(format, 3, 8000), U, 1000));
    const std::int32_t map[] = {2, 0, 2};
    TCountedRef<CSoundChannelSelectorSocket> selector(
        new CSoundChannelSelectorSocket(source, 3, map, 4));
    Output out(*selector, 9);
    EXPECT_EQ(selector->Pull(out.Block(), 9, U), 9);
    EXPECT_EQ(Head(out, 9), ExpectedFrames(0, 9, {2, 0, 2}, width));
    EXPECT_EQ(out.bytes[static_cast<std::size_t>(9 * out.frameSize)], kUntouched);
    EXPECT_EQ(source->calls.size(), 3u);  // one source pull per pass of 4, 4, 1
  }
}

TEST(ChannelSelector, ExplicitPositionsAdvanceOncePerPass) {
  auto buffer = PatternBuffer(CSoundTraits(kFormatInt16, 3, 8000), 40);
  const std::int32_t map[] = {1, 2};
  TCountedRef<CSoundChannelSelectorSocket> selector(
      new CSoundChannelSelectorSocket(buffer, 2, map, 3));
  Output out(*selector, 8);
  EXPECT_EQ(selector->Pull(out.Block(), 8, 5), 8);
  EXPECT_EQ(Head(out, 8), ExpectedFrames(5, 8, {1, 2}, 2));
  // Near the end the buffer comes back short and so does the selector.
  EXPECT_EQ(selector->Pull(out.Block(), 8, 36), 4);
  EXPECT_EQ(Head(out, 4), ExpectedFrames(36, 4, {1, 2}, 2));
}

TEST(ChannelSelector, ConstructionRefusesImpossibleMaps) {
  const CSoundTraits stereo(kFormatInt16, 2, 8000);
  TCountedRef<FakeSource> source(PatternSource(stereo, U, 10));
  const std::int32_t beyond[] = {2};
  EXPECT_EQ(ThrownCode([&] { new CSoundChannelSelectorSocket(source, 1, beyond, 4); }), -50);
  const std::int32_t negative[] = {0, -1};
  EXPECT_EQ(ThrownCode([&] { new CSoundChannelSelectorSocket(source, 2, negative, 4); }), -50);
  std::int32_t many[65] = {};
  EXPECT_EQ(ThrownCode([&] { new CSoundChannelSelectorSocket(source, 65, many, 4); }), -50);
  TCountedRef<FakeSource> wide(PatternSource(CSoundTraits(kFormatInt16, 65, 8000), U, 10));
  EXPECT_EQ(ThrownCode([&] { new CSoundChannelSelectorSocket(wide, 1, many, 4); }), -50);
  EXPECT_EQ(source->RefCount(), 1);  // the failed constructions let go of the source
}

TEST(ChannelSelector, ReplaceSourceKeepsTheMapForASourceOfTheSameLayout) {
  const CSoundTraits stereo(kFormatInt16, 2, 8000);
  TCountedRef<FakeSource> first(PatternSource(stereo, 50, 1000));
  const std::int32_t map[] = {1};
  TCountedRef<CSoundChannelSelectorSocket> selector(
      new CSoundChannelSelectorSocket(first, 1, map, 4));
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

TEST(ChannelDeinterleaver, WritesOnlyRequestedChannelsAndReportsWhatIsLeft) {
  TCountedRef<FakeSource> source(PatternSource(CSoundTraits(kFormatPacked24, 3, 8000), 100, 27));
  TCountedRef<CSoundChannelDeinterleaver> splitter(new CSoundChannelDeinterleaver(source, 3));
  std::vector<std::uint8_t> plane(40, kUntouched);
  std::uint8_t* channels[3] = {nullptr, plane.data(), nullptr};
  std::int64_t count = 10;
  std::int64_t position = 20;
  EXPECT_EQ(splitter->Deinterleave(channels, count, position), 7);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(position, 27);
  std::vector<std::uint8_t> expected;
  for (int f = 0; f < 7; ++f)
    for (int b = 0; b < 3; ++b) expected.push_back(PatternByte(20 + f, 1, b));
  EXPECT_EQ(std::vector<std::uint8_t>(plane.begin(), plane.begin() + 21), expected);
  EXPECT_EQ(plane[21], kUntouched);
  EXPECT_EQ(channels[1], plane.data());  // the caller's pointers stay
  EXPECT_EQ(splitter->GetSource().Get(), source.Get());
}

TEST(ChannelInterleaver, MergesPlanesIntoFrames) {
  TCountedRef<CSoundChannelInterleaver> merger(
      new CSoundChannelInterleaver(CSoundTraits(kFormatInt16, 3, 8000)));
  EXPECT_EQ(merger->frameSize, 6);
  merger->SetChannels(2);  // the plain record's setter: the frame size stays
  EXPECT_EQ(merger->frameSize, 6);
  merger->SetChannels(3);
  const std::uint8_t a[] = {1, 2, 3, 4};
  const std::uint8_t b[] = {5, 6, 7, 8};
  const std::uint8_t c[] = {9, 10, 11, 12};
  const std::uint8_t* planes[] = {a, b, c};
  std::uint8_t out[12];
  std::int64_t frames = 2;
  merger->Interleave(CDataBlock{{6, 1}, out}, planes, frames);
  const std::uint8_t expected[] = {1, 2, 5, 6, 9, 10, 3, 4, 7, 8, 11, 12};
  EXPECT_EQ(std::memcmp(out, expected, sizeof(out)), 0);
  EXPECT_EQ(planes[0], a);
}

TEST(ChannelInterleaverSocket, LaterSourcesAreAskedOnlyForWhatEarlierOnesDelivered) {
  const CSoundTraits mono(kFormatInt16, 1, 8000);
  TCountedRef<FakeSource> s0(PatternSource(mono, U, 1000, 0, 50));
  TCountedRef<FakeSource> s1(PatternSource(mono, U, 100, 1, 70));
  TCountedRef<FakeSource> s2(PatternSource(mono, U, 1000, 2));
  const TCountedRef<CSoundPullSocket> sources[] = {s0, s1, s2};
  TCountedRef<CSoundChannelInterleaverSocket> socket(
      new CSoundChannelInterleaverSocket(3, sources, 512));
  EXPECT_EQ(socket->channels, 3);
  EXPECT_EQ(socket->frameSize, 6);
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

TEST(ChannelInterleaverSocket, RefusesSourcesThatAreNotMonoAtTheSameRate) {
  const CSoundTraits mono(kFormatInt16, 1, 8000);
  TCountedRef<FakeSource> good(PatternSource(mono, U, 10));
  TCountedRef<FakeSource> stereo(PatternSource(CSoundTraits(kFormatInt16, 2, 8000), U, 10));
  TCountedRef<FakeSource> fast(PatternSource(CSoundTraits(kFormatInt16, 1, 16000), U, 10));
  const TCountedRef<CSoundPullSocket> withStereo[] = {good, stereo};
  EXPECT_EQ(ThrownCode([&] { new CSoundChannelInterleaverSocket(2, withStereo, 16); }), -50);
  const TCountedRef<CSoundPullSocket> withFast[] = {good, fast};
  EXPECT_EQ(ThrownCode([&] { new CSoundChannelInterleaverSocket(2, withFast, 16); }), -50);
  EXPECT_EQ(good->RefCount(), 3);  // only the two arrays here hold it
}

namespace {

TCountedRef<CSoundMixdownSocket> Mixdown(std::int32_t format, const void* pairs,
                                         std::int64_t frames, std::int64_t scratchFrames) {
  const CSoundTraits stereo(format, 2, 8000);
  TCountedRef<CSoundBuffer> source(new CSoundBuffer(stereo, frames));
  source->Push(
      CDataBlock{{source->frameSize, 1}, static_cast<std::uint8_t*>(const_cast<void*>(pairs))},
      frames, 0);
  TCountedRef<CSoundBuffer> scratch(new CSoundBuffer(stereo, scratchFrames));
  return new CSoundMixdownSocket(CSoundTraits(format, 1, 8000), source, scratch);
}

}  // namespace

TEST(Mixdown, SixteenBitMeanRoundsHalfUpWithoutOverflow) {
  const std::int16_t pairs[] = {-3, 2, 32767, 32767, -32768, -32768, -1, 0, 5, -6};
  auto mixdown = Mixdown(kFormatInt16, pairs, 5, 2);
  std::int16_t out[6] = {0, 0, 0, 0, 0, 77};
  // The source buffer's cursor sits at its end after filling: read it from position 0.
  EXPECT_EQ(mixdown->Pull(CDataBlock{{2, 1}, reinterpret_cast<std::uint8_t*>(out)}, 6, 0), 5);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 32767);
  EXPECT_EQ(out[2], -32768);
  EXPECT_EQ(out[3], 0);   // -0.5 rounds up
  EXPECT_EQ(out[4], 0);   // -0.5 rounds up
  EXPECT_EQ(out[5], 77);  // the source ran dry
}

TEST(Mixdown, FloatMeanInSinglePrecision) {
  const float pairs[] = {0.25f, 0.5f, -1.0f, 1.0f, 3.0e38f, 3.0e38f};
  auto mixdown = Mixdown(kFormatFloat, pairs, 3, 2);
  float out[3] = {};
  EXPECT_EQ(mixdown->Pull(CDataBlock{{4, 1}, reinterpret_cast<std::uint8_t*>(out)}, 3, 0), 3);
  EXPECT_EQ(out[0], 0.375f);
  EXPECT_EQ(out[1], 0.0f);
  EXPECT_TRUE(std::isinf(out[2]));  // the sum is taken in single precision
}

TEST(Mixdown, RefusesAnythingButTwoChannelsInAMixFormat) {
  const CSoundTraits stereo24(kFormatPacked24, 2, 8000);
  TCountedRef<CSoundBuffer> source(new CSoundBuffer(stereo24, 4));
  TCountedRef<CSoundBuffer> scratch(new CSoundBuffer(stereo24, 4));
  EXPECT_EQ(ThrownCode([&] {
              new CSoundMixdownSocket(CSoundTraits(kFormatPacked24, 1, 8000), source, scratch);
            }),
            -50);
  TCountedRef<CSoundBuffer> three(new CSoundBuffer(CSoundTraits(kFormatInt16, 3, 8000), 4));
  EXPECT_EQ(ThrownCode([&] {
              new CSoundMixdownSocket(CSoundTraits(kFormatInt16, 1, 8000), three, three);
            }),
            -50);
}

TEST(Replicator, CopiesEachMonoSampleToEveryChannelForEveryWidth) {
  for (std::int32_t format : kFormatsByWidth) {
    SCOPED_TRACE(format);
    const int width = SampleWidth(format);
    TCountedRef<FakeSource> source(PatternSource(CSoundTraits(format, 1, 8000), U, 5));
    TCountedRef<CSoundReplicatorSocket> replicator(new CSoundReplicatorSocket(source, 6));
    EXPECT_EQ(replicator->frameSize, 6 * width);
    Output out(*replicator, 8);
    EXPECT_EQ(replicator->Pull(out.Block(), 8, U), 5);
    EXPECT_EQ(Head(out, 5), ExpectedFrames(0, 5, {0, 0, 0, 0, 0, 0}, width));
    EXPECT_EQ(out.bytes[static_cast<std::size_t>(5 * out.frameSize)], kUntouched);
  }
  TCountedRef<FakeSource> stereo(PatternSource(CSoundTraits(kFormatInt16, 2, 8000), U, 5));
  EXPECT_EQ(ThrownCode([&] { new CSoundReplicatorSocket(stereo, 6); }), -50);
}

}  // namespace halvern
