// Shared pieces of the simulated audio system's tests: a fixture that starts from an empty machine
// with COM initialised and asserts that no test broke a callback rule, endpoint descriptions and an
// opened stream.
#pragma once

#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/scoped_resources.h"
#include "platform/simaudio/sim_audio.h"
#include "platform/win32.h"
#include "support/wait_until.h"

namespace halvern::simaudio::test {

template <class T>
using ComPtr = platform::TComPtr<T>;

constexpr DWORD kEventFlags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST;

inline EndpointDesc Endpoint(std::u16string id, EDataFlow flow, WAVEFORMATEXTENSIBLE format) {
  EndpointDesc d;
  d.id = std::move(id);
  d.flow = flow;
  d.deviceFormat = format;
  d.interfaceName = u"Test Card";
  d.friendlyName = u"Speakers (Test Card)";
  d.description = u"Speakers";
  d.formFactor = flow == eCapture ? Microphone : Speakers;
  return d;
}

using halvern::testing::WaitUntil;

// An endpoint's COM objects as a streaming endpoint holds them, and the last packet read or
// written.
struct Stream {
  ComPtr<IAudioClient> client;
  ComPtr<IAudioCaptureClient> capture;
  ComPtr<IAudioRenderClient> render;
  HANDLE event = nullptr;
  BYTE* data = nullptr;
  UINT32 frames = 0;
  DWORD flags = 0;
  UINT64 position = 0;
  HRESULT Read() { return capture->GetBuffer(&data, &frames, &flags, &position, nullptr); }
  // Hands `count` frames to the engine, filled as a capture source fills them.
  HRESULT Write(UINT32 count, void (*fill)(BYTE*, UINT32, const WAVEFORMATEX&, UINT64)) {
    if (HRESULT hr = render->GetBuffer(count, &data); FAILED(hr)) return hr;
    fill(data, count, {}, 0);
    return render->ReleaseBuffer(count, 0);
  }
  ~Stream() {
    if (client) client->Stop();
    if (event != nullptr) CloseHandle(event);
  }
};

class SimAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }
  void TearDown() override {
    EXPECT_TRUE(WaitForNotifications(10000));
    EXPECT_EQ(CallbackBreaches(), std::vector<std::string>());
    CoUninitialize();
    Reset();
  }

  // `sameMix`: the engine runs at the device format rather than in float.
  void Add(std::u16string id, EDataFlow flow, const WAVEFORMATEXTENSIBLE& format,
           bool sameMix = false, DWORD state = DEVICE_STATE_ACTIVE) {
    EndpointDesc d = Endpoint(std::move(id), flow, format);
    if (sameMix) d.mixFormat = format;
    d.state = state;
    ASSERT_EQ(AddEndpoint(d), S_OK);
  }
  ComPtr<IMMDeviceEnumerator> Enumerator() {
    ComPtr<IMMDeviceEnumerator> e;
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                               IID_IMMDeviceEnumerator, e.PutVoid()),
              S_OK);
    return e;
  }
  ComPtr<IMMDevice> Device(const std::u16string& id) {
    ComPtr<IMMDevice> d;
    EXPECT_EQ(Enumerator()->GetDevice(id.c_str(), d.Put()), S_OK);
    return d;
  }
  template <class T>
  ComPtr<T> Activate(const std::u16string& id, REFIID iid) {
    ComPtr<T> c;
    EXPECT_EQ(Device(id)->Activate(iid, CLSCTX_INPROC_SERVER, nullptr, c.PutVoid()), S_OK);
    return c;
  }
  ComPtr<IAudioClient> Client(const std::u16string& id) {
    return Activate<IAudioClient>(id, IID_IAudioClient);
  }
  // An event-driven shared stream in the mix format, with its event and service.
  void Open(Stream& s, const std::u16string& id, REFERENCE_TIME duration) {
    s.client = Client(id);
    platform::TCoTaskMem<WAVEFORMATEX> mix;
    ASSERT_EQ(s.client->GetMixFormat(mix.Put()), S_OK);
    ASSERT_EQ(s.client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, duration, 0, mix.Get(),
                                   nullptr),
              S_OK);
    s.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(s.client->SetEventHandle(s.event), S_OK);
    if (s.client->GetService(IID_IAudioRenderClient, s.render.PutVoid()) != S_OK) {
      ASSERT_EQ(s.client->GetService(IID_IAudioCaptureClient, s.capture.PutVoid()), S_OK);
    }
  }
  EndpointCounters Counters(const std::u16string& id) {
    EndpointCounters c;
    EXPECT_EQ(GetCounters(id, &c), S_OK);
    return c;
  }
};

}  // namespace halvern::simaudio::test

#endif
