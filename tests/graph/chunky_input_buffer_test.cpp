// The chunky buffer must hand out every chunk with its neighbours intact wherever the window
// has to move, read its source only at explicit positions and only where it has to, and pad
// everything outside the source with silence.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "graph/frames.h"
#include "graph/sound_chunky_input_buffer.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using namespace testing;

constexpr int kChannels = 2;

struct Fixture {
  explicit Fixture(std::int64_t length, std::int32_t window = 3, std::int64_t chunk = 4,
                   std::int64_t available = testing::kNoEnd, std::int64_t tagEvery = 0)
      : source(RampSource(kChannels, length, available, tagEvery)),
        buffer(new CSoundChunkyInputBuffer(source, window, chunk, false)),
        chunkFrames(chunk) {}

  // Checks `frames` frames from `block` against the stream from `position` on (silence outside
  // [0, end)).
  void ExpectStream(const CDataBlock& block, std::int64_t position, std::int64_t frames,
                    std::int64_t end) const {
    for (std::int64_t f = 0; f < frames; ++f)
      for (int c = 0; c < kChannels; ++c) {
        const std::int64_t at = position + f;
        const std::int16_t expected = (at >= 0 && at < end) ? RampSample(at, c) : 0;
        ASSERT_EQ(SampleAt(block.data, f, c, kChannels), expected) << "frame " << at;
      }
  }
  // The chunk and both its neighbours, as GetChunk's caller may read them.
  void ExpectChunkWithNeighbours(std::int32_t index, std::int64_t end) {
    const CDataBlock block = buffer->GetChunk(index, nullptr);
    const CDataBlock before = block.Advanced(-chunkFrames);
    ExpectStream(before, (index - 1) * chunkFrames, 3 * chunkFrames, end);
  }
  TCountedRef<FakeSource> source;
  TCountedRef<CSoundChunkyInputBuffer> buffer;
  std::int64_t chunkFrames;
};

using Counts = std::vector<std::int64_t>;

TEST(ChunkyInputBuffer, WindowSlidesKeepingTheOverlapAndReadsOnlyWhatItLacks) {
  Fixture f(40);  // ten chunks of four frames
  EXPECT_TRUE(f.source->calls.empty()) << "no fill before first use";
  // Forward by one and by two (less than the window), then beyond it to the last place a window
  // fits; back by two and by one, then by more than the window; inside the window nothing is read.
  const struct {
    std::int32_t index, windowFirst;
  } steps[] = {{0, 0}, {2, 1}, {4, 3}, {9, 7}, {6, 5}, {5, 4}, {1, 0}, {1, 0}, {0, 0}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.index);
    f.ExpectChunkWithNeighbours(step.index, 40);
    EXPECT_EQ(f.buffer->WindowFirst(), step.windowFirst);
  }
  EXPECT_EQ(f.source->CallPositions(), (Counts{0, 12, 16, 28, 20, 16, 0}));
  EXPECT_EQ(f.source->CallCounts(), (Counts{12, 4, 8, 12, 8, 4, 12}));
}

TEST(ChunkyInputBuffer, IndicesOutsideTheSourceLandInTheSilentMarginsAndShortChunksArePadded) {
  Fixture f(40);
  const CDataBlock last = f.buffer->GetChunk(9, nullptr);
  const CDataBlock past2 = f.buffer->GetChunk(11, nullptr);
  EXPECT_EQ(f.buffer->WindowFirst(), 7);
  EXPECT_EQ(past2.data, last.Advanced(2 * 4).data);
  EXPECT_EQ(past2.data, f.buffer->WindowBlock(4).data) << "inside the trailing margin";
  EXPECT_EQ(f.buffer->GetChunk(500, nullptr).data, past2.data) << "clamped to two past the end";
  f.ExpectStream(past2.Advanced(-4), 40, 12, 40);  // margin chunks 10 to 12 silent

  const CDataBlock before1 = f.buffer->GetChunk(-1, nullptr);
  EXPECT_EQ(f.buffer->WindowFirst(), 0);
  EXPECT_EQ(before1.data, f.buffer->WindowBlock(-1).data);
  EXPECT_EQ(f.buffer->GetChunk(-2, nullptr).data, f.buffer->WindowBlock(-2).data);
  EXPECT_EQ(f.buffer->GetChunk(-5, nullptr).data, f.buffer->WindowBlock(-2).data);
  f.ExpectStream(f.buffer->WindowBlock(-3), -12, 16, 40);  // whole leading margin, then chunk 0

  Fixture shortLast(38);  // the last chunk has two frames, padded after the window moved on
  for (std::int32_t i = 0; i <= 9; ++i) shortLast.ExpectChunkWithNeighbours(i, 38);
  EXPECT_EQ(shortLast.buffer->ChunkCount(), 10);
}

// A pull clipped to nothing still moves the cursor: the next continued pull starts there.
TEST(ChunkyInputBuffer, PullClippedToNothingStillMovesTheCursor) {
  Fixture f(40);
  std::vector<std::uint8_t> out(8 * 4);
  const CDataBlock block{{4, 1}, out.data()};
  EXPECT_EQ(f.buffer->Pull(block, 8, 0), 8);
  EXPECT_EQ(f.buffer->Pull(block, 8, 50), 0);
  EXPECT_EQ(f.buffer->Pull(block, 8, kUnspecifiedFrames), 0);
}

// Pulls are clipped to the length, or to an end the source shows early, and the window pads
// with silence.
TEST(ChunkyInputBuffer, PullsAreClippedToTheLengthOrAnEarlyEnd) {
  std::vector<std::uint8_t> out(300 * 4, 0xAB);
  const CDataBlock block{{4, 1}, out.data()};
  Fixture f(1000, 3, 512);
  EXPECT_EQ(f.buffer->ChunkCount(), 2);
  EXPECT_EQ(f.buffer->Pull(block, 300, 900), 100);
  f.ExpectStream(block, 900, 100, 1000);
  EXPECT_EQ(out[100 * 4], 0xAB) << "nothing written past the end";
  Fixture empty(0);
  EXPECT_EQ(empty.buffer->ChunkCount(), 1);
  EXPECT_EQ(empty.buffer->Pull(block, 10, 0), 0);
  Fixture unbounded(kUnspecifiedFrames, 3, 64);
  EXPECT_EQ(unbounded.buffer->Pull(block, 100, 1000000), 100);
  unbounded.ExpectStream(block, 1000000, 100, INT64_MAX);

  // Long enough for the first window; the end is found by a later read.
  Fixture late(100, 3, 16, 70);
  EXPECT_EQ(late.buffer->GetLength(), 100);
  EXPECT_EQ(late.buffer->Pull(block, 30, 60), 30);
  late.ExpectStream(block, 60, 30, 70);
  EXPECT_EQ(late.buffer->GetLength(), 70);
  EXPECT_EQ(late.buffer->Pull(block, 30, 80), 0);
  EXPECT_EQ(late.buffer->Pull(block, 30, 50), 20);
  late.ExpectStream(block, 50, 20, 70);
  // Unbounded, ending inside the first window; past the found end the window only fills with
  // silence.
  Fixture early(kUnspecifiedFrames, 3, 16, 20);
  early.buffer->GetChunk(0, nullptr);
  EXPECT_EQ(early.buffer->GetLength(), 20);
  EXPECT_EQ(early.buffer->Pull(block, 40, 0), 20);
  early.ExpectStream(block, 0, 20, 20);
  early.source->calls.clear();
  early.ExpectChunkWithNeighbours(10, 20);
  EXPECT_TRUE(early.source->calls.empty());
}

TEST(ChunkyInputBuffer, TagsTravelWithTheirFramesInOrderAndOnlyOnce) {
  Fixture f(200, 3, 10, testing::kNoEnd, 5);
  std::vector<std::uint8_t> out(23 * 4);
  CTagList tags;
  EXPECT_EQ(f.buffer->Pull(CDataBlock{{4, 1}, out.data()}, 23, 3, tags), 23);
  EXPECT_EQ(TagPositions(tags), (Counts{5, 10, 15, 20, 25}));

  f.buffer->GetChunk(4, &tags);
  EXPECT_EQ(TagPositions(tags), (Counts{40, 45}));
  f.buffer->GetChunk(15, &tags);  // far ahead, then back over chunks read before
  EXPECT_EQ(TagPositions(tags), (Counts{150, 155}));
  f.buffer->GetChunk(14, &tags);
  f.buffer->GetChunk(4, &tags);
  EXPECT_EQ(TagPositions(tags), (Counts{40, 45}));
  EXPECT_EQ(f.buffer->Pull(CDataBlock{{4, 1}, out.data()}, 23, 30, tags), 23);
  EXPECT_EQ(TagPositions(tags), (Counts{30, 35, 40, 45, 50}));

  f.buffer->GetChunk(-1, &tags);
  EXPECT_TRUE(TagPositions(tags).empty()) << "the margin carries no tags";
  f.buffer->GetChunk(21, &tags);
  EXPECT_TRUE(TagPositions(tags).empty());
}

// The source is read in whole chunks at explicit positions, however the buffer is pulled.
TEST(ChunkyInputBuffer, NegativeAndOddSizedContinuedPullsFollowTheStream) {
  Fixture f(1000, 3, 64);
  std::vector<std::uint8_t> out(1006 * 4);
  EXPECT_EQ(f.buffer->Pull(CDataBlock{{4, 1}, out.data()}, 10, -1000), 10);
  f.ExpectStream(CDataBlock{{4, 1}, out.data()}, -1000, 10, 1000);
  std::int64_t at = -6;
  for (std::int64_t size = 1, position = at; at < 1000; size += 6, position = kUnspecifiedFrames) {
    const std::int64_t got =
        f.buffer->Pull(CDataBlock{{4, 1}, out.data() + (at + 6) * 4}, size, position);
    ASSERT_EQ(got, std::min<std::int64_t>(size, 1000 - at));
    at += got;
  }
  f.ExpectStream(CDataBlock{{4, 1}, out.data()}, -6, 1006, 1000);
  for (const auto& call : f.source->calls) EXPECT_EQ(call.position % 64, 0) << "whole chunks";
}

}  // namespace
}  // namespace halvern
