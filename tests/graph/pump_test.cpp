#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "graph/data_pull_socket.h"
#include "graph/frames.h"
#include "support/test_sockets.h"

namespace halvern {
namespace {

using testing::PositionSource;
using testing::ProgressLog;
using testing::RecordingSink;

constexpr std::int64_t U = kUnspecifiedFrames;

std::vector<std::int32_t> Iota(std::int32_t first, std::int32_t count) {
  std::vector<std::int32_t> values;
  for (std::int32_t i = 0; i < count; ++i) values.push_back(first + i);
  return values;
}

void ExpectCalls(const PositionSource& source, const std::vector<PositionSource::Call>& expected) {
  ASSERT_EQ(source.calls.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(source.calls[i].count, expected[i].count) << "call " << i;
    EXPECT_EQ(source.calls[i].position, expected[i].position) << "call " << i;
  }
}

}  // namespace

TEST(PumpAll, FiniteSourceMovesWholeChunksAndTheRestThenFlushesOnce) {
  TCountedRef<PositionSource> source(new PositionSource(10, 1000, 3));
  TCountedRef<RecordingSink> sink(new RecordingSink);
  ProgressLog progress;
  source->PumpAll(sink, 4, &progress);
  ExpectCalls(*source, {{4, 0}, {4, 4}, {2, 8}});
  ASSERT_EQ(sink->pushes.size(), 3u);
  EXPECT_EQ(sink->pushes[0].position, 0);
  EXPECT_EQ(sink->pushes[1].position, 4);
  EXPECT_EQ(sink->pushes[2].position, 8);
  EXPECT_EQ(sink->pushes[0].values, Iota(0, 4));
  EXPECT_EQ(sink->pushes[1].values, Iota(4, 4));
  EXPECT_EQ(sink->pushes[2].values, Iota(8, 2));
  // Each chunk's tags travel with that chunk only.
  EXPECT_EQ(sink->pushes[0].tagPositions, (std::vector<std::int64_t>{0, 3}));
  EXPECT_EQ(sink->pushes[1].tagPositions, (std::vector<std::int64_t>{6}));
  EXPECT_EQ(sink->pushes[2].tagPositions, (std::vector<std::int64_t>{9}));
  EXPECT_EQ(sink->flushes, 1);
  EXPECT_EQ(progress.counts, (std::vector<std::int64_t>{4, 4, 2}));
}

TEST(PumpAll, UnboundedSourceIsPulledWithoutPositionsUntilAShortPull) {
  TCountedRef<PositionSource> source(new PositionSource(U, 9));
  TCountedRef<RecordingSink> sink(new RecordingSink);
  source->PumpAll(sink, 4, nullptr);
  ExpectCalls(*source, {{4, U}, {4, U}, {4, U}});
  ASSERT_EQ(sink->pushes.size(), 3u);
  EXPECT_EQ(sink->pushes[2].count, 1);
  EXPECT_EQ(sink->pushes[2].position, U);
  EXPECT_EQ(sink->pushes[2].values, Iota(8, 1));
  EXPECT_EQ(sink->flushes, 1);
}

TEST(PumpAll, FiniteSourceThatRunsDryStopsAtTheShortPull) {
  TCountedRef<PositionSource> source(new PositionSource(10, 5));
  TCountedRef<RecordingSink> sink(new RecordingSink);
  source->PumpAll(sink, 4, nullptr);
  ExpectCalls(*source, {{4, 0}, {4, 4}});
  ASSERT_EQ(sink->pushes.size(), 2u);
  EXPECT_EQ(sink->pushes[1].count, 1);
  EXPECT_EQ(sink->flushes, 1);
}

TEST(PumpAll, FrameSizeMismatchThrowsBeforeAnyPull) {
  TCountedRef<PositionSource> source(new PositionSource(10, 10));
  TCountedRef<RecordingSink> sink(new RecordingSink(8));
  EXPECT_THROW(
      {
        try {
          source->PumpAll(sink, 4, nullptr);
        } catch (int code) {
          EXPECT_EQ(code, -50);
          throw;
        }
      },
      int);
  EXPECT_TRUE(source->calls.empty());
  EXPECT_EQ(sink->flushes, 0);
  std::int64_t limit = 4, from = 0, to = 0;
  EXPECT_THROW(source->Pump(sink, limit, from, to, 4, nullptr), int);
}

TEST(Pump, LimitCutsTheLastChunkAndExplicitPositionsAdvance) {
  TCountedRef<PositionSource> source(new PositionSource(1000, 1000, 5));
  TCountedRef<RecordingSink> sink(new RecordingSink);
  std::int64_t limit = 10, from = 100, to = 200;
  ProgressLog progress;
  EXPECT_EQ(source->Pump(sink, limit, from, to, 4, &progress), 10);
  ExpectCalls(*source, {{4, 100}, {4, 104}, {2, 108}});
  ASSERT_EQ(sink->pushes.size(), 3u);
  EXPECT_EQ(sink->pushes[0].position, 200);
  EXPECT_EQ(sink->pushes[1].position, 204);
  EXPECT_EQ(sink->pushes[2].position, 208);
  EXPECT_EQ(sink->pushes[2].values, Iota(108, 2));
  EXPECT_EQ(sink->pushes[1].tagPositions, (std::vector<std::int64_t>{105}));
  EXPECT_EQ(from, 110);
  EXPECT_EQ(to, 210);
  EXPECT_EQ(limit, 10);
  EXPECT_EQ(sink->flushes, 1);
  EXPECT_EQ(progress.counts, (std::vector<std::int64_t>{4, 4, 2}));
}

TEST(Pump, UnlimitedPumpRunsUntilAShortPullAndKeepsUnspecifiedPositions) {
  TCountedRef<PositionSource> source(new PositionSource(U, 6));
  TCountedRef<RecordingSink> sink(new RecordingSink);
  std::int64_t limit = U, from = U, to = 50;
  EXPECT_EQ(source->Pump(sink, limit, from, to, 4, nullptr), 6);
  ExpectCalls(*source, {{4, U}, {4, U}});
  EXPECT_EQ(from, U);
  EXPECT_EQ(to, 56);
  EXPECT_EQ(sink->pushes[1].position, 54);
  EXPECT_EQ(sink->flushes, 1);
}

TEST(Pump, ReachedLimitMovesNothingButStillFlushes) {
  TCountedRef<PositionSource> source(new PositionSource(100, 100));
  TCountedRef<RecordingSink> sink(new RecordingSink);
  std::int64_t limit = 0, from = 0, to = 0;
  EXPECT_EQ(source->Pump(sink, limit, from, to, 4, nullptr), 0);
  EXPECT_TRUE(source->calls.empty());
  EXPECT_EQ(sink->flushes, 1);
}

TEST(Skip, StopsAtAShortPullAndLeavesTheRestInTheCount) {
  TCountedRef<PositionSource> source(new PositionSource(U, 6));
  std::int64_t count = 10, position = 20;
  EXPECT_EQ(source->Skip(count, position, 4), 6);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(position, 26);
  ExpectCalls(*source, {{4, 20}, {4, 24}});

  TCountedRef<PositionSource> live(new PositionSource(U, 100));
  count = 10;
  position = U;
  EXPECT_EQ(live->Skip(count, position, 4), 10);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(position, U);
  ExpectCalls(*live, {{4, U}, {4, U}, {2, U}});
}

}  // namespace halvern
