// ConvertTo must build the chain that turns any stream into the target's format, channels and
// rate, and the chain must carry the right frames: averaged to mono, replicated, selected or
// spread over more channels.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "graph/capture_socket.h"
#include "graph/frames.h"
#include "graph/sound_buffer.h"
#include "samples/sample_format.h"
#include "support/counting_capture_socket.h"
#include "support/fake_source.h"

namespace halvern {
namespace {

using namespace testing;

constexpr std::int64_t kChunk = 960;
constexpr CChainSettings kRender = RenderChainSettings(48000);

TCountedRef<CSoundPullSocket> Build(const TCountedRef<CSoundPullSocket>& source,
                                    const CSoundTraits& target) {
  TCountedRef<CSoundPullSocket> chain = source->ConvertTo(target, kRender);
  EXPECT_EQ(chain->sampleFormat, target.sampleFormat);
  EXPECT_EQ(chain->channels, target.channels);
  EXPECT_EQ(chain->sampleRate, target.sampleRate);
  return chain;
}

// Channel c of frame p holds 0.1 x (c + 1) + p / 16384.
TCountedRef<CSoundPullSocket> Channels(std::int32_t count, std::int64_t length = 4096) {
  return TCountedRef<CSoundPullSocket>(WaveSource(
      count, 48000, length, [](std::int64_t p, int c) { return 0.1 * (c + 1) + p / 16384.0; }));
}

TEST(ConversionChain, ChannelsAreAveragedReplicatedSelectedOrSpread) {
  const struct {
    int from, to;
    double (*offset)(int from, int channel);
  } cases[] = {
      {3, 1, [](int from, int) { return 0.1 * (from + 1) / 2.0; }},  // the mean of all channels
      {6, 1, [](int from, int) { return 0.1 * (from + 1) / 2.0; }},
      {1, 2, [](int, int) { return 0.1; }},
      {6, 2, [](int, int c) { return 0.1 * (c + 1); }},
      {2, 6, [](int, int c) { return 0.1 * (c % 2 + 1); }},  // left and right alternate
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " -> " << c.to);
    auto out = testing::PullFrames<float>(
        *Build(Channels(c.from), CSoundTraits(kFormatFloat, c.to, 48000)), 3000, 0);
    ASSERT_EQ(out.size(), 3000u * c.to);
    for (int f = 0; f < 3000; ++f)
      for (int ch = 0; ch < c.to; ++ch)
        ASSERT_NEAR(out[static_cast<std::size_t>(f * c.to + ch)],
                    c.offset(c.from, ch) + f / 16384.0, 1e-6)
            << "frame " << f << " channel " << ch;
  }
  auto stereo = Channels(2);
  auto selected = stereo->SelectChannel(5, 0, kChunk);  // wraps to channel 1
  auto out = testing::PullFrames<float>(*selected, 10, 0);
  ASSERT_EQ(out.size(), 10u);
  for (int f = 0; f < 10; ++f) ASSERT_FLOAT_EQ(out[f], 0.2f + f / 16384.0f);
  EXPECT_THROW(stereo->SelectChannel(-1, 0, kChunk), int);
  EXPECT_THROW(Channels(1)->SelectStereo(kChunk), int);

  // Stereo to mono mixes in the mix format (16-bit rounds the mean half up) and ends in the
  // target format; a format that is no mix format is mixed as float, a rate change on top.
  TCountedRef<CSoundPullSocket> ramp(RampSource(2, 1000));
  const auto int16 =
      testing::PullFrames(*Build(ramp, CSoundTraits(kFormatInt16, 1, 48000)), 1000, 0);
  ASSERT_EQ(int16.size(), 2000u);
  for (int f = 0; f < 1000; ++f)
    ASSERT_EQ(SampleAt(int16.data(), f, 0, 1), (RampSample(f, 0) + RampSample(f, 1) + 1) >> 1);
  Build(ramp, CSoundTraits(kFormatInt32, 1, 44100));
  EXPECT_THROW(ramp->ConvertRateAndFormat(CSoundTraits(kFormatInt16, 1, 48000), kRender), int);
}

TEST(ConversionChain, SoundPumpMovesTheWholeConvertedStream) {
  // 1000 frames at 48 kHz are 2001 at 96 kHz.
  TCountedRef<CSoundPullSocket> source = Channels(2, 1000);
  TCountedRef target(new CSoundBuffer(CSoundTraits(kFormatFloat, 1, 96000), 2001));
  struct : CProgressObserver {
    std::int64_t total = 0;
    void OnProgress(std::int64_t frames) override { total += frames; }
  } progress;
  source->PumpAll(TCountedRef<CSoundPushSocket>(target.Get()), CQuality(0.2), CChunkFrames(300),
                  &progress);
  EXPECT_EQ(progress.total, 2001);
  const auto* frames = reinterpret_cast<const float*>(target->StorageBlock().data);
  // Mid-stream, frame n is the mono mix at source position n / 2.
  for (int n = 200; n < 1800; n += 2) ASSERT_NEAR(frames[n], 0.15 + n / 32768.0, 1e-4) << n;
  // The limited pump, from source frame 100 to target frame 50.
  TCountedRef part(new CSoundBuffer(CSoundTraits(kFormatFloat, 1, 96000), 500));
  std::int64_t limit = 400, from = 100, to = 50;
  EXPECT_EQ(source->Pump(TCountedRef<CSoundPushSocket>(part.Get()), limit, from, to, CQuality(0.2),
                         CChunkFrames(64), nullptr),
            400);
  EXPECT_EQ(from, 500);
  EXPECT_EQ(to, 450);
  EXPECT_EQ(reinterpret_cast<const float*>(part->StorageBlock().data)[250], frames[300]);
}

// Building a chain never reads the live capture socket (that waited half a second or more per
// device), and frames a starved capture never wrote play as silence: neither the garbage of fresh
// storage nor frames the chain had already delivered.
TEST(ConversionChain, ChannelMappingOverALiveCaptureNeitherWaitsNorPlaysStaleFrames) {
  for (const auto& [from, to] : {std::pair{2, 6}, std::pair{6, 8}}) {
    SCOPED_TRACE(to);
    TCountedRef<testing::CountingCaptureSocket> capture(
        new testing::CountingCaptureSocket(CSoundTraits(kFormatInt16, from, 48000), 4800));
    auto chain = Build(capture, CSoundTraits(kFormatFloat, to, 48000));
    EXPECT_EQ(capture->waits, 0);
    std::vector<float> out(static_cast<std::size_t>(kChunk * to));
    auto period = [&] {
      std::fill(out.begin(), out.end(), 9.0f);
      ASSERT_EQ(chain->Pull(testing::BlockOf(out, chain->frameSize), kChunk, kUnspecifiedFrames),
                kChunk);
    };
    auto expectSilence = [&] {
      period();
      for (float sample : out) ASSERT_EQ(sample, 0.0f);
    };
    expectSilence();
    EXPECT_GT(capture->waits, 0);
    // Three periods of capture arrive. The window already holds the next two chunks (silent) and
    // reads one chunk ahead, so they play from the fourth period on; then the capture starves.
    std::vector<std::int16_t> frames(static_cast<std::size_t>(3 * kChunk * from));
    for (std::size_t i = 0; i < frames.size(); ++i)
      frames[i] = RampSample(static_cast<std::int64_t>(i) / from, static_cast<int>(i) % from);
    std::int64_t count = 3 * kChunk;
    capture->Write(frames.data(), count);
    expectSilence();
    expectSilence();
    for (std::int64_t p = 0; p < 3; ++p) {
      period();
      for (std::int64_t f = 0; f < kChunk; ++f)
        for (int c = 0; c < to; ++c)
          ASSERT_EQ(out[static_cast<std::size_t>(f * to + c)],
                    RampSample(p * kChunk + f, c % from) / 32768.0f);
    }
    expectSilence();
    expectSilence();
  }
}

// The render side's chain over the live capture socket, which ignores positions, delivers what
// the same chain delivers over a source that honours them: the rate converter reads in order.
TEST(ConversionChain, CaptureStreamPlaysThroughTheRenderChain) {
  const CSoundTraits capture(kFormatInt16, 2, 48000);
  const CSoundTraits device(kFormatFloat, 2, 44100);
  const std::int64_t period = device.sampleRate / 50;
  TCountedRef live(new CVxAudioCaptureSocket(capture, 48000));
  std::vector<std::int16_t> packet(20000 * 2);
  for (std::int64_t p = 0; p < 20000; ++p)
    for (int c = 0; c < 2; ++c) packet[static_cast<std::size_t>(p * 2 + c)] = RampSample(p, c);
  std::int64_t written = 20000;
  ASSERT_EQ(live->Write(packet.data(), written), 20000);

  auto chain = Build(live, device);
  // The render settings' ratio bound gives 44.1 kHz the small 23/25 pair, not the exact 147/160.
  EXPECT_EQ(Build(TCountedRef<CSoundPullSocket>(RampSource(2, 48000)), device)->GetLength(), 44161);
  auto reference = Build(TCountedRef<CSoundPullSocket>(RampSource(2, kUnspecifiedFrames)), device);
  std::vector<float> got(static_cast<std::size_t>(period * 2));
  std::vector<float> want(got.size());
  for (int pull = 0; pull < 15; ++pull) {
    ASSERT_EQ(chain->Pull(testing::BlockOf(got, 8), period, kUnspecifiedFrames), period);
    reference->Pull(testing::BlockOf(want, 8), period, kUnspecifiedFrames);
    ASSERT_TRUE(got == want) << "pull " << pull;
  }
}

}  // namespace
}  // namespace halvern
