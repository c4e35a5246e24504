#if !defined(_WIN32)

#include "endpoints/endpoint_fixture.h"

#include <cmath>
#include <cstring>
#include <numbers>

#include "measure/signal_measure.h"

namespace halvern::testing {

namespace {

// Samples are 32-bit float or little-endian PCM of up to 32 bits, read and written through the top
// bytes of a 32-bit integer.
float ReadSample(const BYTE* at, int bits) {
  float v = 0;
  if (bits == 32) {
    std::memcpy(&v, at, 4);
    return v;
  }
  std::uint32_t word = 0;
  for (int b = 0; b < bits / 8; ++b)
    word |= static_cast<std::uint32_t>(at[b]) << (32 - bits + 8 * b);
  return static_cast<float>(static_cast<std::int32_t>(word) / 2147483648.0);
}

void WriteSample(BYTE* at, int bits, double value) {
  if (bits == 32) {
    const auto v = static_cast<float>(value);
    std::memcpy(at, &v, 4);
    return;
  }
  const auto word = static_cast<std::uint32_t>(static_cast<std::int32_t>(value * 2147483647.0));
  for (int b = 0; b < bits / 8; ++b) at[b] = static_cast<BYTE>(word >> (32 - bits + 8 * b));
}

}  // namespace

void CToneSource::Fill(BYTE* data, UINT32 frames, const WAVEFORMATEX& format, UINT64 position) {
  const int width = format.wBitsPerSample / 8;
  for (UINT32 i = 0; i < frames; ++i) {
    const std::uint64_t frame = position + i;
    const double phase = 2 * std::numbers::pi * kToneHz * static_cast<double>(frame) /
                         static_cast<double>(format.nSamplesPerSec);
    for (int c = 0; c < format.nChannels; ++c) {
      const double value = frame < onsetFrame ? 0.0 : kToneAmplitude[c % 2] * std::sin(phase);
      WriteSample(data + (static_cast<std::size_t>(i) * format.nChannels + c) * width,
                  format.wBitsPerSample, value);
    }
  }
  if (position + frames > onsetFrame && position <= onsetFrame) {
    // The packet covers the period that just ended: its onset frame was captured that long ago.
    const auto age = std::chrono::duration<double>(
        static_cast<double>(position + frames - onsetFrame) / format.nSamplesPerSec);
    std::lock_guard guard(lock);
    onsetTime = Clock::now() - std::chrono::duration_cast<Clock::duration>(age);
  }
}

void CSinkRecording::Receive(const BYTE* data, UINT32 frames, const WAVEFORMATEX& format) {
  const int width = format.wBitsPerSample / 8;
  std::lock_guard guard(lock);
  channels = format.nChannels;
  rate = format.nSamplesPerSec;
  for (UINT32 i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) {
      const float v = ReadSample(data + (static_cast<std::size_t>(i) * channels + c) * width,
                                 format.wBitsPerSample);
      if (!onsetSeen && std::fabs(v) >= 0.1f) {
        onsetSeen = true;
        onsetTime = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(i / rate));
      }
      samples.push_back(v);
    }
}

std::size_t CSinkRecording::Frames() {
  std::lock_guard guard(lock);
  return channels == 0 ? 0 : samples.size() / static_cast<std::size_t>(channels);
}

void EndpointTest::AddCard(const WAVEFORMATEXTENSIBLE& format) {
  ASSERT_EQ(simaudio::AddEndpoint(
                {.id = kCardId, .flow = eCapture, .deviceFormat = format, .mixFormat = format}),
            S_OK);
  ASSERT_EQ(simaudio::SetCaptureSource(
                kCardId,
                [source = m_Source](BYTE* data, UINT32 frames, const WAVEFORMATEX& f,
                                    UINT64 position) { source->Fill(data, frames, f, position); }),
            S_OK);
}

std::shared_ptr<CSinkRecording> EndpointTest::AddSpeaker(const std::u16string& id,
                                                         const WAVEFORMATEXTENSIBLE& mixFormat,
                                                         REFERENCE_TIME period) {
  EXPECT_EQ(
      simaudio::AddEndpoint(
          {.id = id, .deviceFormat = mixFormat, .mixFormat = mixFormat, .defaultPeriod = period}),
      S_OK);
  auto recording = std::make_shared<CSinkRecording>();
  EXPECT_EQ(simaudio::SetRenderSink(
                id, [recording](const BYTE* data, UINT32 frames, const WAVEFORMATEX& format,
                                UINT64) { recording->Receive(data, frames, format); }),
            S_OK);
  return recording;
}

bool HasTone(CSinkRecording& sink, double seconds) {
  std::lock_guard guard(sink.lock);
  const std::optional<std::size_t> onset = measure::FindOnset(sink.samples, 0.1f);
  return onset && sink.samples.size() - *onset >=
                      static_cast<std::size_t>(seconds * sink.rate) * sink.channels;
}

CRoute EndpointTest::StartRoute(const WAVEFORMATEXTENSIBLE& cardFormat) {
  CRoute route;
  AddCard(cardFormat);
  route.sink = AddSpeaker(kSpeakerId, simaudio::MakeFloatFormat(48000, 2));
  route.capturer = Open<CAudioCapturer>(kCardId);
  EXPECT_EQ(route.capturer->Initialize(true, 1, 30, nullptr), S_OK);
  route.renderer = Open<CAudioRenderer>(kSpeakerId);
  EXPECT_EQ(route.renderer->Initialize(true, 1, 40, &route.capturer->GetFormat()->Format), S_OK);
  route.capturer->AddRenderer(route.renderer.Get());
  EXPECT_EQ(route.capturer->Start(), S_OK);
  EXPECT_EQ(route.renderer->Start(), S_OK);
  return route;
}

}  // namespace halvern::testing

#endif
