#include <gtest/gtest.h>

#include "graph/frames.h"
#include "graph/sound_pull_socket.h"
#include "graph/sound_push_socket.h"
#include "graph/sound_traits.h"

namespace halvern {
namespace {

class FixedSoundSource : public CSoundPullSocket {
 public:
  explicit FixedSoundSource(const CSoundTraits& traits) : CSoundPullSocket(traits) {}
  std::int64_t GetLength() override { return 0; }
};

class SoundSink : public CSoundPushSocket {
 public:
  explicit SoundSink(const CSoundTraits& traits) : CSoundPushSocket(traits) {}
};

}  // namespace

TEST(SoundSocket, FrameSizeFollowsFormatAndChannels) {
  TCountedRef<FixedSoundSource> socket(new FixedSoundSource(CSoundTraits(2, 2, 48000)));
  EXPECT_EQ(socket->frameSize, 4);
  EXPECT_EQ(socket->raw, 1);
  EXPECT_EQ(socket->sampleRate, 48000);
  // Through the plain record's interface, as a chain builder sees it.
  CSoundTraits& traits = *socket;
  traits.SetChannels(6);
  EXPECT_EQ(socket->frameSize, 12);
  traits.SetSampleRate(8000);
  EXPECT_EQ(socket->frameSize, 12);
  traits.SetSampleFormat(3);  // packed 24-bit
  EXPECT_EQ(socket->frameSize, 18);
  traits.SetSampleFormat(7);  // double
  EXPECT_EQ(socket->frameSize, 48);
  traits.SetSampleFormat(0);
  EXPECT_EQ(socket->frameSize, 0);
  traits.SetSampleFormat(27);
  EXPECT_EQ(socket->frameSize, 0);
  traits.SetSampleFormat(-4);
  EXPECT_EQ(socket->frameSize, 0);
  traits.SetSampleFormat(26);
  EXPECT_EQ(socket->frameSize, 24);
}

TEST(SoundSocket, PushSideDerivesItsFrameSizeTheSameWay) {
  TCountedRef<SoundSink> sink(new SoundSink(CSoundTraits(19, 3, 96000)));  // swapped double
  EXPECT_EQ(sink->frameSize, 24);
  EXPECT_EQ(sink->raw, 1);
  sink->SetChannels(1);
  EXPECT_EQ(sink->frameSize, 8);
  sink->SetSampleFormat(1);
  EXPECT_EQ(sink->frameSize, 1);
  TCountedRef<SoundSink> unknown(new SoundSink(CSoundTraits(0, 2, 48000)));
  EXPECT_EQ(unknown->frameSize, 0);
}

}  // namespace halvern
