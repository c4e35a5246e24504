// ConvertTo must build the chain that turns any stream into the target's format, channels and
// rate, and the chain must carry the right frames: averaged to mono, replicated, selected or
// spread over more channels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <numbers>
#include <vector>

#include "graph/capture_socket.h"
#include "graph/frames.h"
#include "graph/sample_rate_converter.h"
#include "graph/sound_buffer.h"
#include "graph/sound_channel_interleaver_socket.h"
#include "graph/sound_channel_selector_socket.h"
#include "graph/sound_converter_input_socket.h"
#include "graph/sound_mixdown_socket.h"
#include "graph/sound_re_randomizer_pull_socket.h"
#include "graph/sound_replicator_socket.h"
#include "samples/sample_format.h"
#include "samples/test_filters.h"
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

// The converter input socket must deliver every frame of its source converted exactly once, in
// chunks no larger than its scratch, and step aside when there is nothing to convert.

using Counts = std::vector<std::int64_t>;

constexpr int kChannels = 2;

// 16-bit to float divides by 32768; a filter may scale on top.
void ExpectFloatRamp(const std::vector<float>& out, std::int64_t position, std::int64_t frames,
                     float scale = 1.0f) {
  for (std::int64_t f = 0; f < frames; ++f)
    for (int c = 0; c < kChannels; ++c)
      ASSERT_EQ(out[static_cast<std::size_t>(f * kChannels + c)],
                RampSample(position + f, c) / 32768.0f * scale)
          << "frame " << f;
}

TEST(ConverterInputSocket, EqualFormatsWithoutFilterPullStraightIntoTheCallersBlock) {
  TCountedRef<FakeSource> source(RampSource(kChannels, 1000, testing::kNoEnd, 100));
  TCountedRef socket(new CSoundConverterInputSocket(source, kFormatInt16, nullptr, 512));
  std::vector<std::uint8_t> out(1200 * 4);
  CTagList tags;
  EXPECT_EQ(socket->Pull(CDataBlock{{4, 1}, out.data()}, 1200, 50, tags), 950);
  ASSERT_EQ(source->calls.size(), 1u);
  EXPECT_EQ(source->calls[0].data, out.data());
  EXPECT_EQ(source->calls[0].count, 1200);
  EXPECT_EQ(source->calls[0].position, 50);
  EXPECT_EQ(TagPositions(tags), (Counts{100, 200, 300, 400, 500, 600, 700, 800, 900}));
  EXPECT_EQ(SampleAt(out.data(), 949, 1, kChannels), RampSample(999, 1));
}

TEST(ConverterInputSocket, PullsAndConvertsChunkByChunkUntilAShortSourcePull) {
  TCountedRef<FakeSource> source(RampSource(kChannels, 5000, testing::kNoEnd, 500));
  TCountedRef socket(new CSoundConverterInputSocket(source, kFormatFloat, nullptr, 512));
  EXPECT_EQ(socket->GetLength(), 5000);
  std::vector<float> out(1200 * kChannels);
  CTagList tags;
  EXPECT_EQ(socket->Pull(testing::BlockOf(out, 8), 1200, 300, tags), 1200);
  ExpectFloatRamp(out, 300, 1200);
  EXPECT_EQ(source->CallCounts(), (Counts{512, 512, 176}));
  EXPECT_EQ(source->CallPositions(), (Counts{300, 812, 1324}));
  EXPECT_EQ(TagPositions(tags), (Counts{500, 1000}));

  // A continued stream stays continued upstream.
  source->calls.clear();
  EXPECT_EQ(socket->Pull(testing::BlockOf(out, 8), 600, kUnspecifiedFrames), 600);
  ExpectFloatRamp(out, 1500, 600);
  ASSERT_EQ(source->calls.size(), 2u);
  EXPECT_EQ(source->calls[1].position, kUnspecifiedFrames);

  // A live source that stops: the first short pull ends the request, the rest stays untouched.
  TCountedRef<FakeSource> live(RampSource(kChannels, kUnspecifiedFrames, 700));
  TCountedRef stopping(new CSoundConverterInputSocket(live, kFormatFloat, nullptr, 512));
  out.assign(out.size(), 9.0f);
  EXPECT_EQ(stopping->Pull(testing::BlockOf(out, 8), 1200, kUnspecifiedFrames), 700);
  ExpectFloatRamp(out, 0, 700);
  EXPECT_EQ(out[700 * kChannels], 9.0f);
  EXPECT_EQ(live->calls.size(), 2u);
  EXPECT_THROW(stopping->Pull(testing::BlockOf(out, 4), 2, 0), int);
}

TEST(ConverterInputSocket, FilterForcesConversionEvenBetweenEqualFormats) {
  TCountedRef<CSoundPullSocket> source(WaveSource(
      kChannels, 48000, 100, [](std::int64_t p, int c) { return RampSample(p, c) / 32768.0; }));
  TCountedRef<CSampleFunnel::Filter> halve(new test_filters::CScale(0.5));
  TCountedRef socket(new CSoundConverterInputSocket(source, kFormatFloat, halve, 16));
  std::vector<float> out(40 * kChannels);
  EXPECT_EQ(socket->Pull(testing::BlockOf(out, 8), 40, 0), 40);
  ExpectFloatRamp(out, 0, 40, 0.5f);
}

TEST(ConverterInputSocket, ReplaceSourceKeepsLayoutAndRebuildsTheConverter) {
  TCountedRef<FakeSource> ramp(RampSource(kChannels, 100));
  TCountedRef floats(new CSoundConverterInputSocket(ramp, kFormatFloat, nullptr, 32));
  TCountedRef passThrough(new CSoundConverterInputSocket(floats, kFormatFloat, nullptr, 32));
  EXPECT_EQ(passThrough->ScratchCapacity(), 0);

  EXPECT_FALSE(passThrough->ReplaceSource(TCountedRef<CSoundPullSocket>(RampSource(1, 100))));
  EXPECT_FALSE(passThrough->ReplaceSource(
      TCountedRef<CSoundPullSocket>(RampSource(kChannels, 100, testing::kNoEnd, 0, 44100))));

  // Now 16-bit in, float out: the empty scratch gets its size back, so the pull makes progress.
  ASSERT_TRUE(passThrough->ReplaceSource(TCountedRef<CSoundPullSocket>(ramp.Get())));
  EXPECT_TRUE(passThrough->Converts());
  EXPECT_EQ(passThrough->ScratchCapacity(), 32);
  std::vector<float> out(100 * kChannels);
  EXPECT_EQ(passThrough->Pull(testing::BlockOf(out, 8), 100, 0), 100);
  ExpectFloatRamp(out, 0, 100);

  // And back to a float source: straight through again.
  ASSERT_TRUE(passThrough->ReplaceSource(TCountedRef<CSoundPullSocket>(floats.Get())));
  EXPECT_FALSE(passThrough->Converts());
  EXPECT_EQ(passThrough->ScratchCapacity(), 0);
}

// The rate converter socket: the stream it delivers must not depend on how it is pulled, must
// follow the ideal resampled signal, and no output block may be computed twice for a stream
// pulled in order.

constexpr double kAmplitude = 0.5;
constexpr double kFrequency[] = {1000.0, 6000.0};  // per channel

double Sine(double at, std::int32_t rate, int channel) {
  return kAmplitude * std::sin(2.0 * std::numbers::pi * kFrequency[channel] * at / rate);
}

TCountedRef<CSampleRateConverter> Converter(std::int32_t from, std::int32_t to, std::int64_t length,
                                            double bound = 200000.0,
                                            std::uint32_t budget = 4194304) {
  TCountedRef<CSoundPullSocket> source(WaveSource(
      2, from, length, [from](std::int64_t p, int c) { return Sine(double(p), from, c); }));
  return TCountedRef<CSampleRateConverter>(new CSampleRateConverter(
      source, to, CQuality(0.2), CCacheBudget(budget), CRatioBound(bound)));
}

TEST(SampleRateConverter, CacheFollowsTheBudgetAndLengthTheRatio) {
  // 4 MiB of stereo float is 911 chunks of 575; a 1000-frame source needs only 2; 512 bytes buy
  // no chunk: the minimum.
  EXPECT_EQ(Converter(44100, 48000, kUnspecifiedFrames, 1000.0)->CacheChunks(), 911);
  EXPECT_EQ(Converter(44100, 48000, 1000, 1000.0)->CacheChunks(), 2);
  EXPECT_EQ(Converter(44100, 48000, kUnspecifiedFrames, 1000.0, 512)->CacheChunks(), 3);
  EXPECT_THROW(Converter(44100, 48000, 1000, 1.0), int);
  EXPECT_EQ(Converter(48000, 44100, 48000)->GetLength(), 44101);
  // The nearby pair of the small bound: 44068 x 48000 / 47900 = 44160.08.
  EXPECT_EQ(Converter(48000, 44100, 48000, 1000.0)->GetLength(), 44161);
  EXPECT_EQ(Converter(48000, 44100, kUnspecifiedFrames)->GetLength(), kUnspecifiedFrames);
  auto converter = Converter(48000, 96000, 100);  // 201 frames
  EXPECT_EQ(PullFrames<float>(*converter, 150, 100).size(), 101u * 2);
  EXPECT_EQ(PullFrames<float>(*converter, 10, 201).size(), 0u);
  EXPECT_EQ(PullFrames<float>(*converter, 10, kUnspecifiedFrames).size(), 0u);
  EXPECT_EQ(PullFrames<float>(*converter, 300, 0).size(), 201u * 2);
}

// Every pair of rates runs through several block and chunk boundaries. Tones of 1 and 6 kHz lie
// far inside the passband of the Blackman-windowed sinc, where the filter deviates from unity by
// much less than the window's -74 dB stopband floor. So the whole pull must stay within 1e-4
// (-74 dB of this 0.5 amplitude) of the ideal tone at the interpolated positions n x M / L. A
// frame off, a wrong block seam, a missing M / L gain or rates off by the 0.136 percent of the
// nominal ones err by far more (1 kHz moves 0.065 per frame at 48 kHz). Pieces and jumps run
// with the render chain's small cache and must give the same stream, pieces in order computing
// every block once.
TEST(SampleRateConverter, AnyPullsGiveTheIdealResampledSine) {
  const struct {
    std::int32_t from, to;
    double bound;
  } cases[] = {{44100, 48000, 1000.0},
               {48000, 44100, 1000.0},
               {44100, 48000, 200000.0},
               {48000, 44100, 200000.0},
               {48000, 96000, 200000.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " -> " << c.to << " bound " << c.bound);
    const std::int64_t frames = 60000;
    auto converter = Converter(c.from, c.to, kUnspecifiedFrames, c.bound);
    const auto whole = PullFrames<float>(*converter, frames, 0);
    const double up = converter->Ratio().upFactor;
    const double down = converter->Ratio().downFactor;
    // The table is not normalised: downsampling gains M / L.
    const double gain = down > up ? down / up : 1.0;
    const auto skip = static_cast<std::int64_t>((converter->Geometry().span + 2) * up / down) + 1;
    double worst = 0.0;
    for (std::int64_t n = skip; n < frames; ++n)
      for (int ch = 0; ch < 2; ++ch) {
        const double ideal = gain * Sine(static_cast<double>(n) * down / up, c.from, ch);
        worst = std::max(worst, std::abs(whole[static_cast<std::size_t>(n * 2 + ch)] - ideal));
      }
    EXPECT_LT(worst, 1e-4);

    auto small = Converter(c.from, c.to, kUnspecifiedFrames, c.bound, 512);
    auto pieces = PullInPieces<float>(*small, frames, {1, 960, 7, 4097, 333, 25601, 2});
    const auto blockFrames = static_cast<std::int64_t>(small->Geometry().outputBlock);
    EXPECT_EQ(small->ComputedBlocks(),
              (static_cast<std::int64_t>(pieces.size() / 2) + blockFrames - 1) / blockFrames);
    pieces.resize(whole.size());
    ASSERT_TRUE(whole == pieces);
    // Backwards through the stream, at explicit positions, also before the start.
    for (std::int64_t at = frames - 777; at > -2000; at -= 5003) {
      auto part = PullFrames<float>(*small, 777, at);
      for (std::int64_t f = std::max<std::int64_t>(at, 0); f < at + 777; ++f)
        for (int ch = 0; ch < 2; ++ch)
          ASSERT_EQ(part[static_cast<std::size_t>((f - at) * 2 + ch)],
                    whole[static_cast<std::size_t>(f * 2 + ch)])
              << "frame " << f;
    }
    // A continued pull goes on where the last explicit one ended.
    PullFrames<float>(*small, 100, 30000);
    auto next = PullFrames<float>(*small, 50, kUnspecifiedFrames);
    ASSERT_TRUE(std::equal(next.begin(), next.end(), whole.begin() + 30100 * 2));
  }
}

// Doubling puts a tag at p on 2p; 44.1 to 48 kHz on trunc(p x 160 / 147).
TEST(SampleRateConverter, TagsMoveOntoTheOutputTimeline) {
  const struct {
    std::int32_t from, to;
    std::int64_t length;
    std::vector<std::int64_t> pieces;
    Counts expected;
  } cases[] = {{48000, 96000, 5000, {333, 1, 2999}, {0, 2000, 4000, 6000, 8000}},
               {44100, 48000, 5000, {700}, {0, 1088, 2176, 3265, 4353}}};
  for (const auto& c : cases) {
    TCountedRef up(new CSampleRateConverter(RampSource(1, c.length, testing::kNoEnd, 1000, c.from),
                                            c.to, CQuality(0.2), kWholeStreamBudget,
                                            kExactRatioBound));
    CTagList tags;
    PullInPieces<float>(*up, 2 * c.length, c.pieces, &tags);
    EXPECT_EQ(TagPositions(tags), c.expected) << c.to;
  }
}

// Channel sockets, and the de- and interleavers inside them, judged by the samples they deliver.

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

// For every sample width: the selector repeats and reorders channels in passes of its chunk, and
// the replicator copies each mono sample to every channel; neither writes past what it delivers.
TEST(ChannelSelector, RepeatedAndReorderedChannelsAndReplicasForEveryWidth) {
  for (std::int32_t format : kFormatsByWidth) {
    SCOPED_TRACE(format);
    const int width = SampleWidth(format);
    TCountedRef<FakeSource> source(PatternSource(CSoundTraits(format, 3, 8000), U, 1000));
    const std::int32_t map[] = {2, 0, 2};
    TCountedRef selector(new CSoundChannelSelectorSocket(source, 3, map, 4));
    Output out(*selector, 9);
    EXPECT_EQ(selector->Pull(out.Block(), 9, U), 9);
    EXPECT_EQ(Head(out, 9), ExpectedFrames(0, 9, {2, 0, 2}, width));
    EXPECT_EQ(out.bytes[static_cast<std::size_t>(9 * out.frameSize)], kUntouched);
    EXPECT_EQ(source->calls.size(), 3u);  // one source pull per pass of 4, 4, 1

    TCountedRef replicator(
        new CSoundReplicatorSocket(PatternSource(CSoundTraits(format, 1, 8000), U, 5), 6));
    Output replicas(*replicator, 8);
    EXPECT_EQ(replicator->Pull(replicas.Block(), 8, U), 5);
    EXPECT_EQ(Head(replicas, 5), ExpectedFrames(0, 5, {0, 0, 0, 0, 0, 0}, width));
    EXPECT_EQ(replicas.bytes[static_cast<std::size_t>(5 * replicas.frameSize)], kUntouched);
  }
}

// Every channel socket refuses a layout it cannot serve with -50, and lets go of its sources.
TEST(ChannelSockets, ConstructionRefusesImpossibleLayouts) {
  const CSoundTraits stereo(kFormatInt16, 2, 8000);
  const CSoundTraits mono(kFormatInt16, 1, 8000);
  TCountedRef<FakeSource> source(PatternSource(stereo, U, 10));
  TCountedRef<FakeSource> wide(PatternSource(CSoundTraits(kFormatInt16, 65, 8000), U, 10));
  TCountedRef<FakeSource> good(PatternSource(mono, U, 10));
  TCountedRef<FakeSource> fast(PatternSource(CSoundTraits(kFormatInt16, 1, 16000), U, 10));
  const std::int32_t beyond[] = {2};
  const std::int32_t negative[] = {0, -1};
  std::int32_t many[65] = {};
  const TCountedRef<CSoundPullSocket> withStereo[] = {good, source};
  const TCountedRef<CSoundPullSocket> withFast[] = {good, fast};
  const CSoundTraits stereo24(kFormatPacked24, 2, 8000);
  TCountedRef buffer24(new CSoundBuffer(stereo24, 4));
  TCountedRef three(new CSoundBuffer(CSoundTraits(kFormatInt16, 3, 8000), 4));
  const std::function<void()> refused[] = {
      [&] { new CSoundChannelSelectorSocket(source, 1, beyond, 4); },
      [&] { new CSoundChannelSelectorSocket(source, 2, negative, 4); },
      [&] { new CSoundChannelSelectorSocket(source, 65, many, 4); },
      [&] { new CSoundChannelSelectorSocket(wide, 1, many, 4); },
      [&] { new CSoundChannelInterleaverSocket(2, withStereo, 16); },
      [&] { new CSoundChannelInterleaverSocket(2, withFast, 16); },
      [&] { new CSoundMixdownSocket(CSoundTraits(kFormatPacked24, 1, 8000), buffer24, buffer24); },
      [&] { new CSoundMixdownSocket(mono, three, three); },
      [&] { new CSoundReplicatorSocket(source, 6); },
  };
  for (std::size_t i = 0; i < std::size(refused); ++i)
    EXPECT_EQ(ThrownCode(refused[i]), -50) << "case " << i;
  EXPECT_EQ(source->RefCount(), 2);  // only this test and withStereo hold it
  EXPECT_EQ(good->RefCount(), 3);
  EXPECT_EQ(buffer24->RefCount(), 1);
}

TEST(ChannelSelector, ReplaceSourceKeepsTheMapForASourceOfTheSameLayout) {
  const CSoundTraits stereo(kFormatInt16, 2, 8000);
  TCountedRef<FakeSource> first(PatternSource(stereo, 50, 1000));
  const std::int32_t map[] = {1};
  TCountedRef selector(new CSoundChannelSelectorSocket(first, 1, map, 4));
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

TEST(ChannelInterleaverSocket, LaterSourcesAreAskedOnlyForWhatEarlierOnesDelivered) {
  const CSoundTraits mono(kFormatInt16, 1, 8000);
  TCountedRef<FakeSource> s0(PatternSource(mono, U, 1000, 0, 50));
  TCountedRef<FakeSource> s1(PatternSource(mono, U, 100, 1, 70));
  TCountedRef<FakeSource> s2(PatternSource(mono, U, 1000, 2));
  const TCountedRef<CSoundPullSocket> sources[] = {s0, s1, s2};
  TCountedRef socket(new CSoundChannelInterleaverSocket(3, sources, 512));
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

TCountedRef<CSoundMixdownSocket> Mixdown(std::int32_t format, const void* pairs,
                                         std::int64_t frames, std::int64_t scratchFrames) {
  const CSoundTraits stereo(format, 2, 8000);
  TCountedRef source(new CSoundBuffer(stereo, frames));
  source->Push(
      CDataBlock{{source->frameSize, 1}, static_cast<std::uint8_t*>(const_cast<void*>(pairs))},
      frames, 0);
  TCountedRef scratch(new CSoundBuffer(stereo, scratchFrames));
  return new CSoundMixdownSocket(CSoundTraits(format, 1, 8000), source, scratch);
}

TEST(Mixdown, MeanRoundsHalfUpWithoutOverflowAndFloatsSumInSinglePrecision) {
  const std::int16_t pairs[] = {-3, 2, 32767, 32767, -32768, -32768, -1, 0, 5, -6};
  std::int16_t out[6] = {0, 0, 0, 0, 0, 77};
  // The source buffer's cursor sits at its end after filling: read it from position 0.
  EXPECT_EQ(Mixdown(kFormatInt16, pairs, 5, 2)
                ->Pull(CDataBlock{{2, 1}, reinterpret_cast<std::uint8_t*>(out)}, 6, 0),
            5);
  // -0.5 rounds up; the source ran dry before the last frame.
  EXPECT_EQ(std::vector<std::int16_t>(out, out + 6),
            (std::vector<std::int16_t>{0, 32767, -32768, 0, 0, 77}));
  const float floatPairs[] = {0.25f, 0.5f, -1.0f, 1.0f, 3.0e38f, 3.0e38f};
  float floats[3] = {};
  EXPECT_EQ(Mixdown(kFormatFloat, floatPairs, 3, 2)
                ->Pull(CDataBlock{{4, 1}, reinterpret_cast<std::uint8_t*>(floats)}, 3, 0),
            3);
  EXPECT_EQ(floats[0], 0.375f);
  EXPECT_EQ(floats[1], 0.0f);
  EXPECT_TRUE(std::isinf(floats[2]));
}

// Chains must deliver the same stream however the consumer slices its pulls: the re-randomizer
// on top turns continued pulls into explicit positions that fall across the inner chunk passes.
TEST(ChannelChain, OddSizedPullsGiveTheWholeStream) {
  constexpr std::int64_t kLength = 300;
  const auto selectedAndReplicated = [] {
    TCountedRef<CSoundPullSocket> source(
        PatternSource(CSoundTraits(kFormatPacked24, 2, 8000), kLength, 1 << 20));
    const std::int32_t map[] = {1};
    TCountedRef<CSoundPullSocket> selector(new CSoundChannelSelectorSocket(source, 1, map, 5));
    return TCountedRef<CSoundPullSocket>(new CSoundReplicatorSocket(selector, 4));
  };
  const auto interleavedAndReselected = [] {
    TCountedRef<CSoundPullSocket> sources[3];
    for (int i = 0; i < 3; ++i)
      sources[i] = PatternSource(CSoundTraits(kFormatDouble, 1, 8000), kLength, 1 << 20, i);
    TCountedRef<CSoundPullSocket> interleaved(new CSoundChannelInterleaverSocket(3, sources, 6));
    const std::int32_t map[] = {2, 0};
    return TCountedRef<CSoundPullSocket>(new CSoundChannelSelectorSocket(interleaved, 2, map, 4));
  };
  const struct {
    std::function<TCountedRef<CSoundPullSocket>()> build;
    std::vector<int> map;
    int width;
  } cases[] = {{selectedAndReplicated, {1, 1, 1, 1}, 3}, {interleavedAndReselected, {2, 0}, 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    const auto expected = ExpectedFrames(0, kLength, c.map, c.width);
    TCountedRef<CSoundPullSocket> whole(new CSoundReRandomizerPullSocket(c.build()));
    EXPECT_EQ(testing::PullFrames(*whole, kLength + 50), expected);
    TCountedRef<CSoundPullSocket> sliced(new CSoundReRandomizerPullSocket(c.build()));
    EXPECT_EQ(testing::PullInPieces(*sliced, kLength + 50, {1, 2, 3, 5, 7, 11, 13}), expected);
  }
}

}  // namespace
}  // namespace halvern
