#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "graph/data_pull_socket.h"
#include "graph/data_push_socket.h"
#include "graph/frames.h"
#include "graph/progress_observer.h"
#include "graph/sound_re_randomizer_pull_socket.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using testing::FakeSource;
using Positions = std::vector<std::int64_t>;

// Records every push of 4-byte frames.
class RecordingSink : public CDataPushSocket {
 public:
  struct Record {
    std::int64_t count, position;
    std::vector<std::int32_t> values;
    Positions tagPositions;
  };

  explicit RecordingSink(std::int32_t size = 4) : CDataPushSocket(size) {}
  using CDataPushSocket::Push;
  void Push(const CDataBlock& block, std::int64_t count, std::int64_t position,
            CTagList& tags) override {
    AssertConsistency(block.traits);
    const auto* values = reinterpret_cast<const std::int32_t*>(block.data);
    pushes.push_back({count, position, {values, values + count}, testing::TagPositions(tags)});
  }
  void Flush(int flags) override {
    EXPECT_EQ(flags, 0);
    ++flushes;
  }

  std::vector<Record> pushes;
  int flushes = 0;
};

struct ProgressLog : CProgressObserver {
  void OnProgress(std::int64_t frames) override { counts.push_back(frames); }
  Positions counts;
};

constexpr std::int64_t U = kUnspecifiedFrames;

// 4-byte frames holding their own position; no frames at or after `end`.
TCountedRef<FakeSource> Source(std::int64_t length, std::int64_t end, std::int64_t tagEvery = 0) {
  return new FakeSource(CSoundTraits(kFormatInt32, 1, 48000), length, testing::Positions(), end,
                        tagEvery);
}

}  // namespace

TEST(PumpAll, FiniteSourceMovesChunksWithTheirOwnTagsThenFlushesOnce) {
  TCountedRef<FakeSource> source = Source(10, 1000, 3);
  TCountedRef<RecordingSink> sink(new RecordingSink);
  ProgressLog progress;
  source->PumpAll(sink, 4, &progress);
  EXPECT_EQ(source->CallPositions(), (Positions{0, 4, 8}));
  ASSERT_EQ(sink->pushes.size(), 3u);
  EXPECT_EQ(sink->pushes[2].position, 8);
  EXPECT_EQ(sink->pushes[2].values, (std::vector<std::int32_t>{8, 9}));
  EXPECT_EQ(sink->pushes[0].tagPositions, (Positions{0, 3}));
  EXPECT_EQ(sink->pushes[1].tagPositions, (Positions{6}));
  EXPECT_EQ(sink->flushes, 1);
  EXPECT_EQ(progress.counts, (Positions{4, 4, 2}));
}

TEST(PumpAll, StopsAtTheFirstShortPullAndRefusesAMismatchedTarget) {
  for (const std::int64_t length : {U, std::int64_t{10}}) {
    TCountedRef<FakeSource> source = Source(length, 5);
    TCountedRef<RecordingSink> sink(new RecordingSink);
    source->PumpAll(sink, 4, nullptr);
    EXPECT_EQ(source->CallPositions(), length == U ? (Positions{U, U}) : (Positions{0, 4}));
    EXPECT_EQ(sink->pushes.back().count, 1);
    EXPECT_EQ(sink->flushes, 1);
  }
  // A frame size mismatch throws before any pull.
  TCountedRef<FakeSource> source = Source(10, 10);
  TCountedRef sink(new RecordingSink(8));
  EXPECT_THROW(source->PumpAll(sink, 4, nullptr), int);
  std::int64_t limit = 4, from = 0, to = 0;
  EXPECT_THROW(source->Pump(sink, limit, from, to, 4, nullptr), int);
  EXPECT_TRUE(source->calls.empty());
  EXPECT_EQ(sink->flushes, 0);
}

TEST(Pump, LimitCutsTheLastChunkAndExplicitPositionsAdvance) {
  TCountedRef<FakeSource> source = Source(1000, 1000, 5);
  TCountedRef<RecordingSink> sink(new RecordingSink);
  std::int64_t limit = 10, from = 100, to = 200;
  EXPECT_EQ(source->Pump(sink, limit, from, to, 4, nullptr), 10);
  EXPECT_EQ(source->CallCounts(), (Positions{4, 4, 2}));
  EXPECT_EQ(sink->pushes[2].position, 208);
  EXPECT_EQ(sink->pushes[2].values, (std::vector<std::int32_t>{108, 109}));
  EXPECT_EQ(sink->pushes[1].tagPositions, (Positions{105}));
  EXPECT_EQ(from, 110);
  EXPECT_EQ(to, 210);

  // Unlimited from a live source: unspecified positions stay so; a reached limit moves nothing.
  TCountedRef<FakeSource> live = Source(U, 6);
  limit = U, from = U, to = 50;
  EXPECT_EQ(live->Pump(sink, limit, from, to, 4, nullptr), 6);
  EXPECT_EQ(from, U);
  EXPECT_EQ(to, 56);
  limit = 0;
  EXPECT_EQ(live->Pump(sink, limit, from, to, 4, nullptr), 0);
  EXPECT_EQ(live->calls.size(), 2u);
  EXPECT_EQ(sink->flushes, 3);
}

TEST(Skip, StopsAtAShortPullAndLeavesTheRestInTheCount) {
  TCountedRef<FakeSource> source = Source(U, 26);
  std::int64_t count = 10, position = 20;
  EXPECT_EQ(source->Skip(count, position, 4), 6);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(position, 26);
  EXPECT_EQ(source->CallPositions(), (Positions{20, 24}));
}

TEST(ReRandomizer, GivesTheSourceConsecutivePositionsAndFollowsJumps) {
  TCountedRef<FakeSource> source = Source(104, 1000, 4);
  TCountedRef socket(new CSoundReRandomizerPullSocket(source));
  std::vector<std::int32_t> frames(10);
  const CDataBlock block{{4, 1}, reinterpret_cast<std::uint8_t*>(frames.data())};
  CTagList tags;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(socket->Pull(block, 10, U, tags), 10);
  EXPECT_EQ(testing::TagPositions(tags), (Positions{20, 24, 28}));
  EXPECT_EQ(socket->Pull(block, 10, 100), 4);
  EXPECT_EQ(frames[3], 103);
  EXPECT_EQ(socket->Pull(block, 10, U), 0);
  EXPECT_EQ(socket->Pull(block, 10, U), 0);  // nothing delivered: the position stays
  EXPECT_EQ(source->CallPositions(), (Positions{0, 10, 20, 100, 104, 104}));
}

}  // namespace halvern
