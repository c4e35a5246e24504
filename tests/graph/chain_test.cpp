// Chains of channel sockets must deliver the same stream however the consumer slices its pulls.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "graph/frames.h"
#include "graph/sound_channel_interleaver_socket.h"
#include "graph/sound_channel_selector_socket.h"
#include "graph/sound_mixdown_socket.h"
#include "graph/sound_re_randomizer_pull_socket.h"
#include "graph/sound_replicator_socket.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using testing::FakeSource;
using testing::PatternBuffer;
using testing::PatternByte;
using testing::PatternSource;

constexpr std::int64_t U = kUnspecifiedFrames;
constexpr std::int64_t kLength = 300;

using ChainFactory = std::function<TCountedRef<CSoundPullSocket>()>;

std::vector<std::uint8_t> PullWhole(CSoundPullSocket& chain) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>((kLength + 50) * chain.frameSize));
  const std::int64_t got =
      chain.Pull(CDataBlock{{chain.frameSize, 1}, bytes.data()}, kLength + 50, U);
  bytes.resize(static_cast<std::size_t>(got * chain.frameSize));
  return bytes;
}

// Pulls of 1, 2, 3, 5, 7, 11, 13 frames, over and over, until a short one.
std::vector<std::uint8_t> PullInOddSizes(CSoundPullSocket& chain) {
  const std::int64_t sizes[] = {1, 2, 3, 5, 7, 11, 13};
  std::vector<std::uint8_t> all;
  std::vector<std::uint8_t> piece(static_cast<std::size_t>(13 * chain.frameSize));
  for (int i = 0;; ++i) {
    const std::int64_t n = sizes[i % 7];
    const std::int64_t got = chain.Pull(CDataBlock{{chain.frameSize, 1}, piece.data()}, n, U);
    all.insert(all.end(), piece.begin(), piece.begin() + got * chain.frameSize);
    if (got < n) break;
  }
  return all;
}

void ExpectSameStream(const ChainFactory& build, const std::vector<std::uint8_t>& expected) {
  auto whole = build();
  auto sliced = build();
  const auto wholeBytes = PullWhole(*whole);
  EXPECT_EQ(wholeBytes, expected);
  EXPECT_EQ(PullInOddSizes(*sliced), wholeBytes);
}

std::vector<std::uint8_t> PatternFrames(const std::vector<int>& channels, int width) {
  std::vector<std::uint8_t> bytes;
  for (std::int64_t p = 0; p < kLength; ++p)
    for (int c : channels)
      for (int b = 0; b < width; ++b) bytes.push_back(PatternByte(p, c, b));
  return bytes;
}

}  // namespace

TEST(ChannelChain, SelectedChannelReplicatedBehindAReRandomizer) {
  const ChainFactory build = [] {
    TCountedRef<CSoundPullSocket> source(
        PatternSource(CSoundTraits(kFormatPacked24, 2, 8000), kLength, 1 << 20));
    const std::int32_t map[] = {1};
    TCountedRef<CSoundPullSocket> selector(new CSoundChannelSelectorSocket(source, 1, map, 5));
    TCountedRef<CSoundPullSocket> replicator(new CSoundReplicatorSocket(selector, 4));
    return TCountedRef<CSoundPullSocket>(new CSoundReRandomizerPullSocket(replicator));
  };
  ExpectSameStream(build, PatternFrames({1, 1, 1, 1}, 3));
}

TEST(ChannelChain, InterleavedMonoSourcesReselected) {
  const ChainFactory build = [] {
    const CSoundTraits mono(kFormatDouble, 1, 8000);
    TCountedRef<CSoundPullSocket> sources[3];
    for (int i = 0; i < 3; ++i) sources[i] = PatternSource(mono, kLength, 1 << 20, i);
    TCountedRef<CSoundPullSocket> interleaved(new CSoundChannelInterleaverSocket(3, sources, 6));
    const std::int32_t map[] = {2, 0};
    TCountedRef<CSoundPullSocket> selector(new CSoundChannelSelectorSocket(interleaved, 2, map, 4));
    return TCountedRef<CSoundPullSocket>(new CSoundReRandomizerPullSocket(selector));
  };
  ExpectSameStream(build, PatternFrames({2, 0}, 8));
}

TEST(ChannelChain, MixdownOfABufferReplicated) {
  const CSoundTraits stereo(kFormatInt16, 2, 8000);
  const ChainFactory build = [stereo] {
    TCountedRef<CSoundPullSocket> buffer = PatternBuffer(stereo, kLength);
    TCountedRef<CSoundBuffer> scratch(new CSoundBuffer(stereo, 7));
    TCountedRef<CSoundPullSocket> mixdown(
        new CSoundMixdownSocket(CSoundTraits(kFormatInt16, 1, 8000), buffer, scratch));
    TCountedRef<CSoundPullSocket> replicator(new CSoundReplicatorSocket(mixdown, 3));
    return TCountedRef<CSoundPullSocket>(new CSoundReRandomizerPullSocket(replicator));
  };
  std::vector<std::uint8_t> expected;
  for (std::int64_t p = 0; p < kLength; ++p) {
    const auto left = static_cast<std::int16_t>(PatternByte(p, 0, 0) | PatternByte(p, 0, 1) << 8);
    const auto right = static_cast<std::int16_t>(PatternByte(p, 1, 0) | PatternByte(p, 1, 1) << 8);
    const int sum = left + right;
    // Half up: floor((sum + 1) / 2), written without a shift.
    const int mean = sum >= -1 ? (sum + 1) / 2 : -((-sum) / 2);
    for (int c = 0; c < 3; ++c) {
      expected.push_back(static_cast<std::uint8_t>(mean & 0xFF));
      expected.push_back(static_cast<std::uint8_t>((mean >> 8) & 0xFF));
    }
  }
  ExpectSameStream(build, expected);
}

}  // namespace halvern
