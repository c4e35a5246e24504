// Format negotiation, buffer sizing and the exclusive-mode paths of an endpoint, on the
// simulated audio system.
#if !defined(_WIN32)

#include <optional>

#include "endpoints/endpoint_fixture.h"

namespace halvern::testing {
namespace {

using WasapiBase = EndpointTest;

TEST_F(WasapiBase, SharedModeTakesTheRequestedTheClosestOrTheMixFormat) {
  const struct {
    const char* name;
    std::optional<WAVEFORMATEXTENSIBLE> requested;
    const char* failingMethod;  // injected into the speaker, or null
    HRESULT initialize;
    DWORD rate;  // of the negotiated format; 0: none was taken
    WORD bits;
    const char* line;  // expected in the trace, or null
  } cases[] = {
      {"accepted", simaudio::MakePcmFormat(48000, 2, 16), nullptr, S_OK, 48000, 16, nullptr},
      {"closest match", simaudio::MakePcmFormat(44100, 2, 16), nullptr, S_OK, 48000, 32, nullptr},
      {"none requested", std::nullopt, nullptr, S_OK, 48000, 32, nullptr},
      {"check fails", simaudio::MakePcmFormat(48000, 2, 16), "IAudioClient::IsFormatSupported",
       E_INVALIDARG, 0, 0, "CAudioWASAPIBase::CheckFormat() - Format is not supported: 8007000e"},
      {"no mix format", std::nullopt, "IAudioClient::GetMixFormat", E_INVALIDARG, 0, 0,
       "CAudioWASAPIBase::CheckFormat() - Unable to get mix format: 8007000e"},
  };
  AddSpeaker(kSpeakerId, simaudio::MakeFloatFormat(48000, 2));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_Debug.Clear();
    if (c.failingMethod != nullptr) {
      ASSERT_EQ(simaudio::InjectFault(kSpeakerId, c.failingMethod, E_OUTOFMEMORY, 1), S_OK);
    }
    auto endpoint = Open<CAudioWASAPIBase>(kSpeakerId);
    const WAVEFORMATEX* requested = c.requested ? &c.requested->Format : nullptr;
    EXPECT_EQ(endpoint->Initialize(true, 1, 0, requested), c.initialize);
    EXPECT_EQ(endpoint->GetFormat()->Format.nSamplesPerSec, c.rate);
    EXPECT_EQ(endpoint->GetFormat()->Format.wBitsPerSample, c.bits);
    if (c.line != nullptr) {
      EXPECT_TRUE(m_Debug.Contains(c.line));
    }
    if (c.rate == 0) {  // the client refuses the zero format left by a failed negotiation
      EXPECT_TRUE(m_Debug.Contains("Unable to initialize audio client: 80070057"));
    }
    simaudio::ClearFaults();
  }
}

TEST_F(WasapiBase, BufferIsOneDevicePeriodOfAtMostThirtyMillisecondsPlusTheLatency) {
  const struct {
    REFERENCE_TIME period;
    std::uint32_t latencyMs;
    std::uint32_t frames;  // at 48 kHz
  } cases[] = {{100000, 0, 480}, {100000, 40, 2400}, {400000, 20, 2400}, {300000, 0, 1440}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.period << " hns + " << c.latencyMs << " ms");
    simaudio::Reset();
    AddSpeaker(kSpeakerId, simaudio::MakeFloatFormat(48000, 2), c.period);
    // No engine minimum: the buffer shows the duration the endpoint asked for.
    ASSERT_EQ(simaudio::SetEngineBehaviour(kSpeakerId, {.sharedBufferMinimum = 0}), S_OK);
    auto endpoint = Open<CAudioWASAPIBase>(kSpeakerId);
    ASSERT_EQ(endpoint->Initialize(true, 1, c.latencyMs, nullptr), S_OK);
    EXPECT_EQ(endpoint->GetBufferFrameCount(), c.frames);
  }
}

TEST_F(WasapiBase, ExclusiveModeRealignsOrFallsBackToSharedMode) {
  const struct {
    const char* name;
    std::optional<HRESULT> exclusiveAnswer;
    UINT32 alignment;
    bool fallbackFails;
    HRESULT initialize;
    std::uint32_t frames;
    const char* line;
  } cases[] = {
      {"device format", std::nullopt, 0, false, S_OK, 240, "Shared mode: false"},
      // 5 ms is 240 frames; the device wants multiples of 480: 480 frames are 100000 hns.
      {"realigned", std::nullopt, 480, false, S_OK, 480,
       "Buffers not aligned. Aligning the buffers..."},
      {"fallback fails", AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED, 0, true, S_OK, 240,
       "CAudioWASAPIBase::Initialize() - Fallback (IPolicyConfig) failed. Use shared mode: hr = "
       "80004005"},
      // The device format is rewritten, which restarts the device under the open client.
      {"fallback writes the device format", AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED, 0, false,
       AUDCLNT_E_DEVICE_INVALIDATED, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    simaudio::Reset();
    m_Debug.Clear();
    AddSpeaker(kSpeakerId, simaudio::MakePcmFormat(48000, 2, 16), 50000);
    ASSERT_EQ(simaudio::SetEngineBehaviour(kSpeakerId, {.sharedBufferMinimum = 0}), S_OK);
    ASSERT_EQ(simaudio::SetExclusiveModeAnswer(kSpeakerId, c.exclusiveAnswer), S_OK);
    ASSERT_EQ(simaudio::SetExclusiveBufferAlignment(kSpeakerId, c.alignment), S_OK);
    auto endpoint = Open<CAudioWASAPIBase>(kSpeakerId);
    if (c.fallbackFails) {
      ASSERT_EQ(simaudio::InjectFault(kSpeakerId, "IPolicyConfig::SetDeviceFormat", E_FAIL), S_OK);
    }
    EXPECT_EQ(endpoint->Initialize(false, 1, 0, nullptr), c.initialize);
    EXPECT_EQ(endpoint->GetBufferFrameCount(), c.frames);
    if (c.line != nullptr) {
      EXPECT_TRUE(m_Debug.Contains(c.line)) << c.line;
    }
    if (SUCCEEDED(c.initialize)) {
      EXPECT_EQ(endpoint->Start(), S_OK);
    }
  }
}

}  // namespace
}  // namespace halvern::testing

#endif
