#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "graph/data_re_randomizer_pull_socket.h"
#include "graph/frames.h"
#include "graph/sound_re_randomizer_pull_socket.h"
#include "support/test_sockets.h"
#include "support/test_sound_sources.h"

namespace halvern {
namespace {

using testing::PatternSoundSource;
using testing::PositionSource;

constexpr std::int64_t U = kUnspecifiedFrames;

}  // namespace

TEST(ReRandomizer, GivesTheSourceConsecutivePositionsAndFollowsJumps) {
  TCountedRef<PositionSource> source(new PositionSource(104, 1000));
  TCountedRef<CDataReRandomizerPullSocket> socket(new CDataReRandomizerPullSocket(source));
  EXPECT_EQ(socket->frameSize, 4);
  EXPECT_EQ(socket->GetLength(), 104);
  std::vector<std::int32_t> frames(10);
  const CDataBlock block{{4, 1}, reinterpret_cast<std::uint8_t*>(frames.data())};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(socket->Pull(block, 10, U), 10);
  EXPECT_EQ(socket->Pull(block, 10, 100), 4);
  EXPECT_EQ(frames[3], 103);
  EXPECT_EQ(socket->Pull(block, 10, U), 0);
  EXPECT_EQ(socket->Pull(block, 10, U), 0);  // nothing delivered: the position stays
  ASSERT_EQ(source->calls.size(), 6u);
  const std::int64_t expected[] = {0, 10, 20, 100, 104, 104};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(source->calls[i].position, expected[i]) << i;
}

TEST(ReRandomizer, SoundFormForwardsWithTheSourcesFormatAndTags) {
  const CSoundTraits traits(kFormatInt16, 2, 44100);
  TCountedRef<PatternSoundSource> source(new PatternSoundSource(traits, U, 1000, 0, 4));
  TCountedRef<CSoundReRandomizerPullSocket> socket(new CSoundReRandomizerPullSocket(source));
  EXPECT_EQ(socket->sampleFormat, kFormatInt16);
  EXPECT_EQ(socket->channels, 2);
  EXPECT_EQ(socket->sampleRate, 44100);
  EXPECT_EQ(socket->frameSize, 4);
  EXPECT_EQ(socket->GetLength(), U);
  std::uint8_t bytes[40];
  CTagList tags;
  EXPECT_EQ(socket->Pull(CDataBlock{{4, 1}, bytes}, 10, U, tags), 10);
  EXPECT_EQ(socket->Pull(CDataBlock{{4, 1}, bytes}, 10, U, tags), 10);
  EXPECT_EQ(source->calls[1].position, 10);
  ASSERT_EQ(tags.Count(), 2);  // 12 and 16 of [10, 20)
  EXPECT_EQ(tags.Head()->position, 12);
  EXPECT_EQ(bytes[0], testing::PatternByte(10, 0, 0));
  EXPECT_THROW(socket->Pull(CDataBlock{{2, 1}, bytes}, 1, U), int);
}

}  // namespace halvern
