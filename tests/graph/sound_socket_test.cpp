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

// Built with a layout or changed through the plain record's setters, as a chain builder does.
TEST(SoundSocket, FrameSizeFollowsFormatAndChannelsOnBothSides) {
  const struct {
    std::int32_t format, channels, frameSize;
  } cases[] = {{2, 2, 4},  {2, 6, 12}, {3, 6, 18}, {7, 6, 48}, {19, 3, 24},
               {26, 1, 4}, {1, 1, 1},  {0, 2, 0},  {27, 2, 0}, {-4, 2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    const CSoundTraits traits(c.format, c.channels, 48000);
    TCountedRef<FixedSoundSource> pull(new FixedSoundSource(traits));
    TCountedRef<SoundSink> push(new SoundSink(traits));
    EXPECT_EQ(pull->frameSize, c.frameSize);
    EXPECT_EQ(push->frameSize, c.frameSize);
    EXPECT_EQ(pull->raw + push->raw, 2);
    TCountedRef<FixedSoundSource> changedPull(new FixedSoundSource(CSoundTraits(6, 8, 8000)));
    TCountedRef<SoundSink> changedPush(new SoundSink(CSoundTraits(6, 8, 8000)));
    for (CSoundTraits* record : {static_cast<CSoundTraits*>(changedPull.Get()),
                                 static_cast<CSoundTraits*>(changedPush.Get())}) {
      record->SetSampleFormat(c.format);
      record->SetChannels(c.channels);
      record->SetSampleRate(96000);
    }
    EXPECT_EQ(changedPull->frameSize, c.frameSize);
    EXPECT_EQ(changedPush->frameSize, c.frameSize);
  }
}

}  // namespace halvern
