#include "graph/data_socket.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "graph/data_pull_socket.h"
#include "graph/data_push_socket.h"
#include "graph/frames.h"
#include "support/debug_capture.h"

using halvern::testing::DebugCapture;

namespace halvern {
namespace {

// Throws whatever the call throws, as an int, and reports it; -1 when nothing was thrown.
template <class F>
int ThrownCode(F&& call) {
  try {
    call();
  } catch (int code) {
    return code;
  }
  return -1;
}

// Overrides only the untagged pull: the tagged default must forward to it untouched.
class UntaggedSource : public CDataPullSocket {
 public:
  UntaggedSource() : CDataPullSocket(4) {}
  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock&, std::int64_t count, std::int64_t position) override {
    lastPosition = position;
    return count / 2;
  }
  std::int64_t GetLength() override { return 100; }
  std::int64_t lastPosition = 0;
};

// Overrides only the tagged pull: the untagged default must hand it a fresh, empty list.
class TaggedSource : public CDataPullSocket {
 public:
  TaggedSource() : CDataPullSocket(4) {}
  using CDataPullSocket::Pull;
  std::int64_t Pull(const CDataBlock&, std::int64_t count, std::int64_t, CTagList& tags) override {
    entriesSeen = tags.Count();
    tags.Insert(new CBitstreamTag, 0);
    return count;
  }
  std::int64_t GetLength() override { return kUnspecifiedFrames; }
  int entriesSeen = -1;
};

class UntaggedSink : public CDataPushSocket {
 public:
  UntaggedSink() : CDataPushSocket(4) {}
  using CDataPushSocket::Push;
  void Push(const CDataBlock&, std::int64_t count, std::int64_t) override { pushed += count; }
  std::int64_t pushed = 0;
};

}  // namespace

TEST(DataSocket, ConsistencyComparesRawOnlyAsZeroOrNonZero) {
  CDataSocket socket(4);
  EXPECT_NO_THROW(socket.AssertConsistency(CDataTraits{4, 7}));
  CDataSocket references(8);
  const CDataTraits zero{8, 0};
  DebugCapture capture;
  EXPECT_EQ(ThrownCode([&] { references.AssertConsistency(zero); }), -50);
  EXPECT_EQ(ThrownCode([&] { socket.AssertConsistency(CDataTraits{4, 0}); }), -50);
  EXPECT_EQ(capture.Lines().size(), 2u);
}

TEST(DataSocket, MismatchWritesOneLineWithBothTraitsAndThrows) {
  CDataSocket socket(4);
  const CDataTraits other{8, 1};
  DebugCapture capture;
  EXPECT_EQ(ThrownCode([&] { socket.AssertConsistency(other); }), -50);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  char message[160];
  std::snprintf(message, sizeof(message),
                "Mismatched data traits at %p and %p: raw=1/1 frameSize=4/8!\n",
                static_cast<const void*>(static_cast<const CDataTraits*>(&socket)),
                static_cast<const void*>(&other));
  // Level 3 shows as blanks; no module name follows the tag.
  const std::string expected = "zub" + std::string(27, ' ') + "    " +
                               "CDataSocket::AssertConsistency(): " + std::string(14, ' ') +
                               message;
  EXPECT_EQ(lines[0].substr(14), expected);
}

TEST(DataPullSocket, TaggedDefaultForwardsToUntaggedAndLeavesTheTags) {
  TCountedRef<UntaggedSource> source(new UntaggedSource);
  std::uint8_t frames[40];
  const CDataBlock block{{4, 1}, frames};
  CTagList tags;
  tags.Insert(new CBitstreamTag, 3);
  EXPECT_EQ(source->Pull(block, 10, 7, tags), 5);
  EXPECT_EQ(source->lastPosition, 7);
  EXPECT_EQ(tags.Count(), 1);
  EXPECT_EQ(ThrownCode([&] { source->Pull(CDataBlock{{2, 1}, frames}, 10, 0, tags); }), -50);
}

TEST(DataPullSocket, UntaggedDefaultPassesAFreshListAndDropsIt) {
  TCountedRef<TaggedSource> source(new TaggedSource);
  std::uint8_t frames[40];
  EXPECT_EQ(source->Pull(CDataBlock{{4, 1}, frames}, 10, kUnspecifiedFrames), 10);
  EXPECT_EQ(source->entriesSeen, 0);
  EXPECT_EQ(source->Pull(CDataBlock{{4, 1}, frames}, 3, 0), 3);
  EXPECT_EQ(source->entriesSeen, 0);
  EXPECT_EQ(ThrownCode([&] { source->Pull(CDataBlock{{4, 0}, frames}, 1, 0); }), -50);
}

TEST(DataPushSocket, DefaultsForwardAndCheckTheBlock) {
  TCountedRef<UntaggedSink> sink(new UntaggedSink);
  std::uint8_t frames[40];
  CTagList tags;
  sink->Push(CDataBlock{{4, 1}, frames}, 6, 0, tags);
  sink->Push(CDataBlock{{4, 1}, frames}, 2, kUnspecifiedFrames);
  EXPECT_EQ(sink->pushed, 8);
  EXPECT_EQ(ThrownCode([&] { sink->Push(CDataBlock{{3, 1}, frames}, 1, 0, tags); }), -50);
  EXPECT_EQ(sink->pushed, 8);
}

}  // namespace halvern
