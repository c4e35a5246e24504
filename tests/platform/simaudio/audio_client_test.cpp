#if !defined(_WIN32)

#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

// An out-parameter of any pointer type, pointing at garbage when handed over.
struct Out {
  void* value = nullptr;
  template <class T>
  operator T**() {  // NOLINT(google-explicit-constructor)
    value = reinterpret_cast<void*>(1);
    return reinterpret_cast<T**>(&value);
  }
};

class SimAudioClient : public SimAudioTest {
 protected:
  void SetUp() override {
    SimAudioTest::SetUp();
    Add(u"spk", eRender, MakePcmFormat(44100, 2, 16));
    Add(u"mic", eCapture, MakePcmFormat(48000, 2, 16));
  }
  HRESULT InitShared(IAudioClient* client, const WAVEFORMATEX& format, REFERENCE_TIME duration) {
    return client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, duration, 0, &format, nullptr);
  }
};

// https://learn.microsoft.com/en-us/windows/win32/api/audioclient/nf-audioclient-iaudioclient-initialize
TEST_F(SimAudioClient, InitializeTellsMalformedFromRefusedFormatsAndSpendsTheClientOnFailure) {
  const struct {
    std::function<void(WAVEFORMATEXTENSIBLE&)> change;
    HRESULT initialize, supported;
  } cases[] = {
      {[](auto&) {}, S_OK, S_OK},
      {[](auto& f) { f.Format.nBlockAlign = 3; }, E_INVALIDARG, E_INVALIDARG},
      {[](auto& f) { f.Format.nAvgBytesPerSec += 1; }, E_INVALIDARG, E_INVALIDARG},
      {[](auto& f) { f.Format.nChannels = 0; }, E_INVALIDARG, E_INVALIDARG},
      {[](auto& f) { f.Format.cbSize = 0; }, E_INVALIDARG, E_INVALIDARG},
      {[](auto& f) { f.Samples.wValidBitsPerSample = 24; }, E_INVALIDARG, E_INVALIDARG},
      {[](auto& f) { f = MakePcmFormat(44100, 2, 12); }, E_INVALIDARG, E_INVALIDARG},
      // Well-formed, but nothing the engine carries.
      {[](auto& f) { f.SubFormat.Data1 = 6; }, AUDCLNT_E_UNSUPPORTED_FORMAT,
       AUDCLNT_E_UNSUPPORTED_FORMAT},
      {[](auto& f) { f = MakePcmFormat(44100, 16, 16); }, AUDCLNT_E_UNSUPPORTED_FORMAT,
       AUDCLNT_E_UNSUPPORTED_FORMAT},
      // Supported samples at another rate: the engine offers its mix format instead.
      {[](auto& f) { f = MakePcmFormat(48000, 1, 16); }, AUDCLNT_E_UNSUPPORTED_FORMAT, S_FALSE},
  };
  const auto good = MakePcmFormat(44100, 2, 16);
  for (const auto& c : cases) {
    auto format = good;
    c.change(format);
    auto client = Client(u"spk");
    WAVEFORMATEX* closest = reinterpret_cast<WAVEFORMATEX*>(1);
    EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &format.Format, &closest),
              c.supported);
    EXPECT_EQ(closest != nullptr, c.supported == S_FALSE);
    CoTaskMemFree(closest);
    EXPECT_EQ(InitShared(client.Get(), format.Format, 0), c.initialize);
    EXPECT_EQ(InitShared(client.Get(), good.Format, 0), AUDCLNT_E_ALREADY_INITIALIZED);
  }
}

TEST_F(SimAudioClient, SharedBufferHoldsTheRequestRoundedUpToFramesAndNeverLessThanTheMinimum) {
  const auto format = MakePcmFormat(44100, 2, 16);
  const struct {
    REFERENCE_TIME minimum, extra, duration;
    UINT32 frames;
  } cases[] = {
      {220000, 0, 0, 971},        // the default minimum: 22 ms = 970.2 frames
      {220000, 0, 100000, 971},   //
      {220000, 0, 500000, 2205},  // exactly as asked
      {220000, 0, 300001, 1324},  // 1323.004 frames, rounded up
      {0, 0, 0, 441},             // never less than one period
      {0, 50000, 300000, 1544},   // 1323 + 220.5 → 221 more
  };
  for (const auto& c : cases) {
    EngineBehaviour engine;
    engine.sharedBufferMinimum = c.minimum;
    engine.sharedBufferExtra = c.extra;
    ASSERT_EQ(SetEngineBehaviour(u"spk", engine), S_OK);
    auto client = Client(u"spk");
    ASSERT_EQ(InitShared(client.Get(), format.Format, c.duration), S_OK);
    UINT32 frames = 0;
    ASSERT_EQ(client->GetBufferSize(&frames), S_OK);
    EXPECT_EQ(frames, c.frames) << c.minimum << " " << c.extra << " " << c.duration;
  }
}

// The device format, and the retry after BUFFER_SIZE_NOT_ALIGNED, are judged by the endpoint's
// exclusive-mode tests.
TEST_F(SimAudioClient, ExclusiveModeTakesOnlyTheDeviceFormatAndTheWholeDevice) {
  const auto device = MakePcmFormat(44100, 2, 16);
  const auto wider = MakePcmFormat(44100, 2, 24);
  auto client = Client(u"spk");
  EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &wider.Format, nullptr),
            AUDCLNT_E_UNSUPPORTED_FORMAT);
  ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, kEventFlags, 100000, 100000,
                               &device.Format, nullptr),
            S_OK);
  auto shared = Client(u"spk");
  EXPECT_EQ(InitShared(shared.Get(), device.Format, 0), AUDCLNT_E_DEVICE_IN_USE);
}

TEST_F(SimAudioClient, CallsOutOfOrderFailAsOnWindows) {
  const auto format = MakePcmFormat(44100, 2, 16);
  auto client = Client(u"spk");
  UINT32 frames = 0;
  EXPECT_EQ(client->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
  ASSERT_EQ(InitShared(client.Get(), format.Format, 300000), S_OK);
  EXPECT_EQ(client->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
  EXPECT_EQ(client->SetEventHandle(nullptr), E_INVALIDARG);
  ComPtr<IAudioRenderClient> render;
  ASSERT_EQ(client->GetService(IID_IAudioRenderClient, render.PutVoid()), S_OK);

  BYTE* data = nullptr;
  EXPECT_EQ(render->ReleaseBuffer(0, 0), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(render->GetBuffer(1324, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
  ASSERT_EQ(render->GetBuffer(1000, &data), S_OK);
  EXPECT_EQ(render->GetBuffer(1, &data), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(client->Reset(), AUDCLNT_E_BUFFER_OPERATION_PENDING);
  EXPECT_EQ(render->ReleaseBuffer(1001, 0), AUDCLNT_E_INVALID_SIZE);
  ASSERT_EQ(render->ReleaseBuffer(1000, 0), S_OK);
  // Only the free space (1323 − 1000 frames) can be asked for.
  EXPECT_EQ(render->GetBuffer(324, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
  // An empty packet leaves the pointer alone and may be released or not.
  data = nullptr;
  ASSERT_EQ(render->GetBuffer(0, &data), S_OK);
  EXPECT_EQ(data, nullptr);
  ASSERT_EQ(render->GetBuffer(0, &data), S_OK);
  ASSERT_EQ(render->ReleaseBuffer(0, 0), S_OK);
  EXPECT_EQ(client->Stop(), S_FALSE);
  ASSERT_EQ(client->Reset(), S_OK);

  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(client->SetEventHandle(event), S_OK);
  CloseHandle(event);  // the stream keeps its own reference
  ASSERT_EQ(client->Start(), S_OK);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
  EXPECT_EQ(client->Reset(), AUDCLNT_E_NOT_STOPPED);
  EXPECT_EQ(client->Stop(), S_OK);
}

TEST_F(SimAudioClient, PointerOutParametersAreNullAfterAnyFailure) {
  auto enumerator = Enumerator();
  auto device = Device(u"spk");
  auto client = Client(u"spk");
  const auto format = MakePcmFormat(48000, 1, 16);
  Out out;
  const struct {
    const char16_t* id;
    const char* method;
    std::function<HRESULT()> call;
  } cases[] = {
      {u"spk", "IMMDevice::Activate",
       [&] { return device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, out); }},
      {u"spk", "IMMDevice::OpenPropertyStore",
       [&] { return device->OpenPropertyStore(STGM_READ, out); }},
      {u"spk", "IMMDevice::GetId", [&] { return device->GetId(out); }},
      {u"spk", "IMMDeviceEnumerator::GetDevice",
       [&] { return enumerator->GetDevice(u"spk", out); }},
      {u"", "IMMDeviceEnumerator::GetDefaultAudioEndpoint",
       [&] { return enumerator->GetDefaultAudioEndpoint(eRender, eConsole, out); }},
      {u"", "IMMDeviceEnumerator::EnumAudioEndpoints",
       [&] { return enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, out); }},
      {u"spk", "IAudioClient::GetMixFormat", [&] { return client->GetMixFormat(out); }},
      {u"spk", "IAudioClient::IsFormatSupported",
       [&] { return client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &format.Format, out); }},
      {u"spk", "IAudioClient::GetService",
       [&] { return client->GetService(IID_IAudioRenderClient, out); }},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(InjectFault(c.id, c.method, E_OUTOFMEMORY, 1), S_OK) << c.method;
    EXPECT_EQ(c.call(), E_OUTOFMEMORY) << c.method;
    EXPECT_EQ(out.value, nullptr) << c.method;
  }
}

TEST_F(SimAudioClient, CapturePacketsAreTakenWholeAndAnEmptyReadTouchesOnlyCountAndFlags) {
  Stream in;
  Open(in, u"mic", 300000);
  BYTE* data = reinterpret_cast<BYTE*>(1);
  UINT32 frames = 7;
  DWORD flags = 7;
  UINT64 position = 99, qpc = 99;
  // https://learn.microsoft.com/en-us/windows/win32/api/audioclient/nf-audioclient-iaudiocaptureclient-getbuffer
  EXPECT_EQ(in.capture->GetBuffer(&data, &frames, &flags, &position, &qpc), AUDCLNT_S_BUFFER_EMPTY);
  EXPECT_EQ(data, reinterpret_cast<BYTE*>(1));
  EXPECT_EQ(position + qpc, 198u);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(in.capture->ReleaseBuffer(0), S_OK);
  EXPECT_EQ(in.capture->ReleaseBuffer(0), AUDCLNT_E_OUT_OF_ORDER);

  ASSERT_EQ(in.client->Start(), S_OK);
  ASSERT_EQ(WaitForSingleObject(in.event, 10000), WAIT_OBJECT_0);
  ASSERT_EQ(in.capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
  EXPECT_EQ(frames, 480u);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(in.capture->ReleaseBuffer(100), AUDCLNT_E_INVALID_SIZE);
  // Releasing nothing keeps the packet for the next read.
  ASSERT_EQ(in.capture->ReleaseBuffer(0), S_OK);
  ASSERT_EQ(in.capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
  EXPECT_EQ(position, 0u);
  ASSERT_EQ(in.capture->ReleaseBuffer(frames), S_OK);
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
