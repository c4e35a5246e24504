// A simulated machine for the streaming endpoints: a virtual card that plays a two-channel tone
// into its capture endpoint, render endpoints whose sinks record what they were given, and the
// trace output captured for checking the endpoints' lines.
#pragma once

#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "endpoints/audio_capturer.h"
#include "endpoints/audio_renderer.h"
#include "support/device_trace_test.h"
#include "support/traced_threads.h"

namespace halvern::testing {

using Clock = std::chrono::steady_clock;

inline constexpr char16_t kCardId[] = u"{0.0.1.00000000}.{card}";
inline constexpr double kToneHz = 997.0;
// Left and right differ so that every channel mapping shows in the levels; low enough that a rate
// converter's gain (up to 3 at 48k -> 16k) does not clip.
inline constexpr double kToneAmplitude[2] = {0.25, 0.125};

// The card's source: silence up to `onsetFrame`, then the tone; remembers when the onset was
// captured.
struct CToneSource {
  std::uint64_t onsetFrame = 0;
  std::mutex lock;
  Clock::time_point onsetTime{};

  void Fill(BYTE* data, UINT32 frames, const WAVEFORMATEX& format, UINT64 position);
};

// What one render endpoint's engine took from it, as float samples, and when the first sample at
// or above a threshold arrived.
struct CSinkRecording {
  std::mutex lock;
  int channels = 0;
  double rate = 0;
  std::vector<float> samples;  // interleaved
  Clock::time_point onsetTime{};
  bool onsetSeen = false;

  void Receive(const BYTE* data, UINT32 frames, const WAVEFORMATEX& format);
  std::size_t Frames();
};

template <class T>
using TEndpointPtr = platform::TComPtr<T>;

// The card routed to one speaker (48 kHz stereo float), both started. The capturer goes first,
// so that no packet reaches a renderer that is gone.
struct CRoute {
  std::shared_ptr<CSinkRecording> sink;
  TEndpointPtr<CAudioRenderer> renderer;
  TEndpointPtr<CAudioCapturer> capturer;
};

// True once the sink has recorded `seconds` of the tone after its onset.
bool HasTone(CSinkRecording& sink, double seconds);

class EndpointTest : public SimDeviceTest {
 protected:
  // A capture card with this mix (and device) format, fed by m_Source.
  void AddCard(const WAVEFORMATEXTENSIBLE& format);
  // A render endpoint with this mix format whose sink records into the returned recording.
  std::shared_ptr<CSinkRecording> AddSpeaker(const std::u16string& id,
                                             const WAVEFORMATEXTENSIBLE& mixFormat,
                                             REFERENCE_TIME period = 100000);

  template <class T>
  TEndpointPtr<T> Open(const std::u16string& id) {
    TEndpointPtr<T> endpoint(new T(m_Enumerator.Get()));
    EXPECT_EQ(endpoint->SelectEndpoint(id.c_str()), S_OK);
    return endpoint;
  }

  // Adds the card and a speaker, opens, initialises and starts both endpoints.
  CRoute StartRoute(const WAVEFORMATEXTENSIBLE& cardFormat);
  static std::vector<DWORD> StreamingThreads() { return TracedThreadsBesidesThis(); }

  static constexpr char16_t kSpeakerId[] = u"{speaker}";
  std::shared_ptr<CToneSource> m_Source = std::make_shared<CToneSource>();
};

}  // namespace halvern::testing

#endif
