// The road of a tone: the virtual card captures it, the capture endpoint hands every packet to
// three render endpoints, and each plays it through its own chain on a device of another format.
// Judged only by what the devices received.
#if !defined(_WIN32)

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <span>

#include "endpoints/endpoint_fixture.h"
#include "graph/chain_settings.h"
#include "measure/signal_measure.h"
#include "samples/rate_ratio.h"
#include "support/allocation_counter.h"

namespace halvern::testing {
namespace {

constexpr std::uint32_t kCaptureLatencyMs = 30;
constexpr std::uint32_t kRenderLatencyMs = 40;
constexpr double kCaptureRate = 48000;
constexpr double kOnsetSeconds = 0.3;
// Start-up (buffers filling, blocks dropped until the device buffer has room) is over by then.
constexpr double kSettleSeconds = 0.5;
#if defined(__SANITIZE_THREAD__)
// Ten times slower threads drop a block every half second or so: a shorter stretch still holds
// hundreds of periods of the tone.
constexpr double kMeasuredSeconds = 0.3;
#else
constexpr double kMeasuredSeconds = 0.8;
#endif
// A slow machine (sanitizers, shared cores) stalls now and then: the test records until every
// device has played a clean stretch, within this bound.
constexpr double kRecordedLimitSeconds = 30.0;

struct CDevice {
  std::u16string id;
  WAVEFORMATEXTENSIBLE format;
};

// The ratio the rate converter builds for a device: it runs at L/M, which may differ a little
// from the nominal ratio.
CRateRatio BuiltRatio(std::int32_t deviceRate) {
  const auto captureRate = static_cast<std::int32_t>(kCaptureRate);
  if (deviceRate == captureRate) return {1, 1, captureRate, deviceRate};
  return FindRateRatio(captureRate, deviceRate, RenderChainSettings(captureRate).bound.value);
}

double ExpectedFrequency(std::int32_t deviceRate) {
  const CRateRatio ratio = BuiltRatio(deviceRate);
  return kToneHz * (deviceRate / kCaptureRate) * ratio.downFactor / ratio.upFactor;
}

// Stereo reaches channels alternately (L R L R ...); a mono device gets the mean of both. The
// converter's filter table is not normalised: each polyphase branch sums to max(1, M/L), so a
// downsampling device hears the tone louder by that factor.
double ExpectedAmplitude(int channels, int channel, std::int32_t deviceRate) {
  const CRateRatio ratio = BuiltRatio(deviceRate);
  const double gain = std::max(1.0, static_cast<double>(ratio.downFactor) / ratio.upFactor);
  if (channels == 1) return gain * (kToneAmplitude[0] + kToneAmplitude[1]) / 2;
  return gain * kToneAmplitude[channel % 2];
}

// The first frame of the first clean stretch of kMeasuredSeconds on channel 0, after the start-up.
// A stall of the machine may leave an engine period unfilled now and then, which only moves it.
std::optional<std::size_t> CleanStart(CSinkRecording& sink) {
  std::lock_guard guard(sink.lock);
  const std::optional<std::size_t> onset = measure::FindOnset(sink.samples, 0.1f);
  if (!onset) return std::nullopt;
  const auto settled =
      *onset / sink.channels + static_cast<std::size_t>(kSettleSeconds * sink.rate);
  const std::vector<float> channel = measure::Deinterleave(sink.samples, sink.channels, 0);
  if (channel.size() <= settled) return std::nullopt;
  const std::optional<std::size_t> start = measure::FindCleanStretch(
      std::span<const float>(channel).subspan(settled), sink.rate,
      static_cast<std::size_t>(kMeasuredSeconds * sink.rate), 0.01);
  if (!start) return std::nullopt;
  return settled + *start;
}

TEST_F(EndpointTest, ToneReachesEveryDeviceThroughItsOwnChain) {
  AddCard(simaudio::MakePcmFormat(48000, 2, 16));
  m_Source->onsetFrame = static_cast<std::uint64_t>(kOnsetSeconds * kCaptureRate);
  const CDevice devices[] = {{u"{stereo-44k1}", simaudio::MakeFloatFormat(44100, 2)},
                             {u"{surround-48k}", simaudio::MakeFloatFormat(48000, 6)},
                             {u"{mono-16k}", simaudio::MakeFloatFormat(16000, 1)}};
  std::vector<std::shared_ptr<CSinkRecording>> sinks;
  for (const CDevice& device : devices) sinks.push_back(AddSpeaker(device.id, device.format));

  // Renderers are released after the capturer, whose thread hands them packets.
  std::vector<TEndpointPtr<CAudioRenderer>> renderers;
  auto capturer = Open<CAudioCapturer>(kCardId);
  ASSERT_EQ(capturer->Initialize(true, 1, kCaptureLatencyMs, nullptr), S_OK);
  ASSERT_EQ(capturer->Start(), S_OK);
  for (const CDevice& device : devices) {
    auto renderer = Open<CAudioRenderer>(device.id);
    ASSERT_EQ(renderer->Initialize(true, 1, kRenderLatencyMs, &capturer->GetFormat()->Format),
              S_OK);
    capturer->AddRenderer(renderer.Get());
    ASSERT_EQ(renderer->Start(), S_OK);
    renderers.push_back(std::move(renderer));
  }

  auto allReached = [&](double seconds) {
    for (auto& sink : sinks)
      if (!HasTone(*sink, seconds)) return false;
    return true;
  };
  ASSERT_TRUE(WaitUntil([&] { return allReached(kSettleSeconds); }));
  // Warm: from here on neither the capture thread nor a render thread allocates.
  const std::vector<DWORD> threads = StreamingThreads();
  ASSERT_EQ(threads.size(), 4u);
  std::vector<std::uint64_t> allocations;
  for (DWORD id : threads) allocations.push_back(AllocationsOfThread(id));
  // Kept once found: samples only append, so the window stays as judged, while a later search
  // over a longer recording may estimate the tone differently and pick another one.
  std::vector<std::optional<std::size_t>> starts(sinks.size());
  auto allClean = [&] {
    bool all = true;
    for (std::size_t d = 0; d < sinks.size(); ++d) {
      if (!starts[d]) starts[d] = CleanStart(*sinks[d]);
      all = all && starts[d].has_value();
    }
    return all;
  };
  for (double seconds = kMeasuredSeconds; !allClean(); seconds += 0.5) {
    ASSERT_LT(seconds, kRecordedLimitSeconds) << "a device never played a clean stretch";
    ASSERT_TRUE(WaitUntil([&] { return allReached(kSettleSeconds + seconds); }));
  }
  for (std::size_t i = 0; i < threads.size(); ++i)
    EXPECT_EQ(AllocationsOfThread(threads[i]), allocations[i]) << "thread " << threads[i];

  for (auto& renderer : renderers) {
    EXPECT_EQ(renderer->Stop(), S_OK);
    capturer->RemoveRenderer(renderer.Get());
    EXPECT_EQ(renderer->Shutdown(), S_OK);
  }
  EXPECT_EQ(capturer->Shutdown(), S_OK);

  for (std::size_t d = 0; d < sinks.size(); ++d) {
    CSinkRecording& sink = *sinks[d];
    const int channels = sink.channels;
    const double rate = sink.rate;
    SCOPED_TRACE(::testing::Message() << channels << " channels at " << rate << " Hz");
    const std::size_t first = *starts[d];
    const auto count = static_cast<std::size_t>(kMeasuredSeconds * rate);
    for (int c = 0; c < channels; ++c) {
      const std::vector<float> all = measure::Deinterleave(sink.samples, channels, c);
      const std::span<const float> window(all.data() + first, count);
      const measure::ToneEstimate tone = measure::EstimateTone(window, rate);
      const auto deviceRate = static_cast<std::int32_t>(rate);
      const double expected = ExpectedFrequency(deviceRate);
      EXPECT_NEAR(tone.frequencyHz, expected, expected * 0.002) << "channel " << c;
      EXPECT_NEAR(measure::AmplitudeToDbfs(tone.amplitude),
                  measure::AmplitudeToDbfs(ExpectedAmplitude(channels, c, deviceRate)), 1.0)
          << "channel " << c;
      EXPECT_TRUE(measure::FindGlitches(window, rate, tone).empty()) << "channel " << c;
    }
    const double latencyMs =
        std::chrono::duration<double, std::milli>(sink.onsetTime - m_Source->onsetTime).count();
    std::printf("[ latency  ] %d ch at %.0f Hz: %.1f ms from capture to device\n", channels, rate,
                latencyMs);
    EXPECT_GT(latencyMs, 0.0);
  }
}

}  // namespace
}  // namespace halvern::testing

#endif
