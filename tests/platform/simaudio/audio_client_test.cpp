#if !defined(_WIN32)

#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

constexpr DWORD kEventFlags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST;

class SimAudioClient : public SimAudioTest {
 protected:
  void SetUp() override {
    SimAudioTest::SetUp();
    auto spk = Endpoint(u"spk", eRender, MakePcmFormat(44100, 2, 16));
    spk.defaultPeriod = 100000;
    ASSERT_EQ(AddEndpoint(spk), S_OK);
    ASSERT_EQ(AddEndpoint(Endpoint(u"mic", eCapture, MakePcmFormat(48000, 2, 16))), S_OK);
  }
};

TEST_F(SimAudioClient, SharedModeAcceptsMixRateAndChannelsAndOffersTheMixOtherwise) {
  auto client = Client(u"spk");
  WAVEFORMATEX* mix = nullptr;
  ASSERT_EQ(client->GetMixFormat(&mix), S_OK);
  EXPECT_EQ(mix->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(mix->nSamplesPerSec, 44100u);
  EXPECT_EQ(mix->nChannels, 2);
  EXPECT_EQ(mix->wBitsPerSample, 32);
  EXPECT_TRUE(reinterpret_cast<WAVEFORMATEXTENSIBLE*>(mix)->SubFormat ==
              KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  CoTaskMemFree(mix);

  WAVEFORMATEX* closest = reinterpret_cast<WAVEFORMATEX*>(1);
  const auto pcm16 = MakePcmFormat(44100, 2, 16);
  EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &pcm16.Format, &closest), S_OK);
  EXPECT_EQ(closest, nullptr);

  const auto other = MakePcmFormat(48000, 1, 16);
  ASSERT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &other.Format, &closest), S_FALSE);
  ASSERT_NE(closest, nullptr);
  EXPECT_EQ(closest->nSamplesPerSec, 44100u);
  EXPECT_EQ(closest->nChannels, 2);
  CoTaskMemFree(closest);

  auto broken = MakePcmFormat(44100, 2, 16);
  broken.Format.nBlockAlign = 3;
  EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &broken.Format, &closest),
            AUDCLNT_E_UNSUPPORTED_FORMAT);
  EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &pcm16.Format, nullptr), E_POINTER);
  EXPECT_EQ(
      client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, 300000, 0, &other.Format, nullptr),
      AUDCLNT_E_UNSUPPORTED_FORMAT);
}

TEST_F(SimAudioClient, ExclusiveModeAnswersWithTheDeviceFormatOrTheConfiguredCode) {
  auto client = Client(u"spk");
  const auto device = MakePcmFormat(44100, 2, 16);
  const auto wider = MakePcmFormat(44100, 2, 24);
  EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &device.Format, nullptr), S_OK);
  EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &wider.Format, nullptr),
            AUDCLNT_E_UNSUPPORTED_FORMAT);
  ASSERT_EQ(SetExclusiveModeAnswer(u"spk", AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED), S_OK);
  EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &device.Format, nullptr),
            AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED);
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, kEventFlags, 100000, 100000,
                               &device.Format, nullptr),
            AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED);
}

TEST_F(SimAudioClient, UnalignedExclusiveBufferReportsTheAlignedSizeForARetry) {
  ASSERT_EQ(SetExclusiveBufferAlignment(u"spk", 128), S_OK);
  const auto device = MakePcmFormat(44100, 2, 16);
  auto client = Client(u"spk");
  // 10 ms at 44100 Hz is 441 frames; the next multiple of 128 is 512.
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, kEventFlags, 100000, 100000,
                               &device.Format, nullptr),
            AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED);
  UINT32 frames = 0;
  ASSERT_EQ(client->GetBufferSize(&frames), S_OK);
  EXPECT_EQ(frames, 512u);
  // 512 frames at 44100 Hz = 116099.77 → 116100 hundred-nanosecond units.
  auto retry = Client(u"spk");
  EXPECT_EQ(retry->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, kEventFlags, 116100, 116100,
                              &device.Format, nullptr),
            S_OK);
  ASSERT_EQ(retry->GetBufferSize(&frames), S_OK);
  EXPECT_EQ(frames, 512u);
  // The device is now held exclusively.
  auto shared = Client(u"spk");
  EXPECT_EQ(
      shared->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, 0, 0, &device.Format, nullptr),
      AUDCLNT_E_DEVICE_IN_USE);
}

TEST_F(SimAudioClient, SharedBufferFollowsTheRequestedDurationButHoldsAtLeastOnePeriod) {
  const auto format = MakePcmFormat(44100, 2, 16);
  struct Case {
    REFERENCE_TIME duration;
    UINT32 frames;
  } cases[] = {{500000, 2205}, {300000, 1323}, {50000, 441}, {0, 441}};
  for (const Case& c : cases) {
    auto client = Client(u"spk");
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, c.duration, 0,
                                 &format.Format, nullptr),
              S_OK);
    UINT32 frames = 0;
    ASSERT_EQ(client->GetBufferSize(&frames), S_OK);
    EXPECT_EQ(frames, c.frames) << c.duration;
    REFERENCE_TIME period = 0, minimum = 0;
    ASSERT_EQ(client->GetDevicePeriod(&period, &minimum), S_OK);
    EXPECT_EQ(period, 100000);
    EXPECT_EQ(minimum, 30000);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, c.duration, 0,
                                 &format.Format, nullptr),
              AUDCLNT_E_ALREADY_INITIALIZED);
  }
}

TEST_F(SimAudioClient, CallsOutOfOrderFailAsOnWindows) {
  const auto format = MakePcmFormat(44100, 2, 16);
  auto client = Client(u"spk");
  UINT32 frames = 0;
  EXPECT_EQ(client->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
  ComPtr<IAudioRenderClient> render;
  EXPECT_EQ(client->GetService(IID_IAudioRenderClient, render.PutVoid()),
            AUDCLNT_E_NOT_INITIALIZED);
  ASSERT_EQ(
      client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, 300000, 0, &format.Format, nullptr),
      S_OK);
  EXPECT_EQ(client->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
  EXPECT_EQ(client->SetEventHandle(nullptr), E_INVALIDARG);
  ComPtr<IAudioCaptureClient> capture;
  EXPECT_EQ(client->GetService(IID_IAudioCaptureClient, capture.PutVoid()),
            AUDCLNT_E_WRONG_ENDPOINT_TYPE);
  ASSERT_EQ(client->GetService(IID_IAudioRenderClient, render.PutVoid()), S_OK);

  BYTE* data = nullptr;
  EXPECT_EQ(render->ReleaseBuffer(0, 0), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(render->GetBuffer(1324, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
  ASSERT_EQ(render->GetBuffer(1000, &data), S_OK);
  EXPECT_EQ(render->GetBuffer(1, &data), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(client->Reset(), AUDCLNT_E_BUFFER_OPERATION_PENDING);
  EXPECT_EQ(render->ReleaseBuffer(1001, 0), AUDCLNT_E_INVALID_SIZE);
  ASSERT_EQ(render->ReleaseBuffer(1000, 0), S_OK);
  UINT32 padding = 0;
  ASSERT_EQ(client->GetCurrentPadding(&padding), S_OK);
  EXPECT_EQ(padding, 1000u);
  // Only the free space (1323 − 1000 frames) can be asked for.
  EXPECT_EQ(render->GetBuffer(324, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
  ASSERT_EQ(render->GetBuffer(323, &data), S_OK);
  ASSERT_EQ(render->ReleaseBuffer(0, 0), S_OK);
  // An empty packet may be released or not.
  ASSERT_EQ(render->GetBuffer(0, &data), S_OK);
  ASSERT_EQ(render->GetBuffer(0, &data), S_OK);
  ASSERT_EQ(render->ReleaseBuffer(0, 0), S_OK);
  EXPECT_EQ(client->Stop(), S_FALSE);
  ASSERT_EQ(client->Reset(), S_OK);
  ASSERT_EQ(client->GetCurrentPadding(&padding), S_OK);
  EXPECT_EQ(padding, 0u);

  // A stream that is not event driven takes no event.
  auto polled = Client(u"spk");
  ASSERT_EQ(polled->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 300000, 0, &format.Format, nullptr),
            S_OK);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(polled->SetEventHandle(event), AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);
  ASSERT_EQ(client->SetEventHandle(event), S_OK);
  CloseHandle(event);  // the stream keeps its own reference
  ASSERT_EQ(client->Start(), S_OK);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
  EXPECT_EQ(client->Reset(), AUDCLNT_E_NOT_STOPPED);
  EXPECT_EQ(client->Stop(), S_OK);
}

TEST_F(SimAudioClient, CapturePacketsAreTakenWholeAndEmptyReadsSayBufferEmpty) {
  auto client = Client(u"mic");
  const auto format = MakePcmFormat(48000, 2, 16);
  ASSERT_EQ(
      client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, 300000, 0, &format.Format, nullptr),
      S_OK);
  ComPtr<IAudioCaptureClient> capture;
  ASSERT_EQ(client->GetService(IID_IAudioCaptureClient, capture.PutVoid()), S_OK);
  BYTE* data = reinterpret_cast<BYTE*>(1);
  UINT32 frames = 7;
  DWORD flags = 7;
  EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(capture->ReleaseBuffer(0), AUDCLNT_E_OUT_OF_ORDER);

  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(client->SetEventHandle(event), S_OK);
  ASSERT_EQ(client->Start(), S_OK);
  ASSERT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  UINT64 position = 99;
  ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
  EXPECT_EQ(frames, 480u);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(flags & AUDCLNT_BUFFERFLAGS_SILENT, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT));
  EXPECT_EQ(capture->ReleaseBuffer(100), AUDCLNT_E_INVALID_SIZE);
  // Releasing nothing keeps the packet for the next read.
  ASSERT_EQ(capture->ReleaseBuffer(0), S_OK);
  UINT64 again = 99;
  ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &again, nullptr), S_OK);
  EXPECT_EQ(again, 0u);
  ASSERT_EQ(capture->ReleaseBuffer(frames), S_OK);
  ASSERT_EQ(client->Stop(), S_OK);
  CloseHandle(event);
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
