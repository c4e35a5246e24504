#if !defined(_WIN32)

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

constexpr DWORD kEventFlags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST;
constexpr double kPi = 3.14159265358979323846;

// A 1 kHz tone at half scale, a pure function of the frame position so that the copy can be
// checked frame by frame: left = the tone, right = its negation.
std::int16_t Tone(UINT64 frame) {
  return static_cast<std::int16_t>(
      16384.0 * std::sin(2.0 * kPi * 1000.0 * static_cast<double>(frame) / 48000.0));
}

void ToneSource(BYTE* data, UINT32 frames, const WAVEFORMATEX&, UINT64 position) {
  auto* s = reinterpret_cast<std::int16_t*>(data);
  for (size_t i = 0; i < frames; ++i) {
    s[2 * i] = Tone(position + i);
    s[2 * i + 1] = static_cast<std::int16_t>(-Tone(position + i));
  }
}

// An endpoint's COM objects as a streaming endpoint holds them.
struct Stream {
  ComPtr<IAudioClient> client;
  ComPtr<IAudioCaptureClient> capture;
  ComPtr<IAudioRenderClient> render;
  HANDLE event = nullptr;
  ~Stream() {
    if (client) client->Stop();
    if (event != nullptr) CloseHandle(event);
  }
};

class SimStreaming : public SimAudioTest {
 protected:
  void SetUp() override {
    SimAudioTest::SetUp();
    auto mic = Endpoint(u"mic", eCapture, MakePcmFormat(48000, 2, 16));
    mic.mixFormat = MakePcmFormat(48000, 2, 16);
    ASSERT_EQ(AddEndpoint(mic), S_OK);
    auto spk = Endpoint(u"spk", eRender, MakePcmFormat(48000, 2, 16));
    spk.mixFormat = MakePcmFormat(48000, 2, 16);
    ASSERT_EQ(AddEndpoint(spk), S_OK);
  }

  void Open(Stream& s, const std::u16string& id, REFERENCE_TIME duration) {
    s.client = Client(id);
    WAVEFORMATEX* mix = nullptr;
    ASSERT_EQ(s.client->GetMixFormat(&mix), S_OK);
    ASSERT_EQ(
        s.client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, duration, 0, mix, nullptr),
        S_OK);
    CoTaskMemFree(mix);
    s.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(s.client->SetEventHandle(s.event), S_OK);
    const bool capture = id == u"mic";
    ASSERT_EQ(s.client->GetService(capture ? IID_IAudioCaptureClient : IID_IAudioRenderClient,
                                   capture ? s.capture.PutVoid() : s.render.PutVoid()),
              S_OK);
  }

  EndpointCounters Counters(const std::u16string& id) {
    EndpointCounters c;
    EXPECT_EQ(GetCounters(id, &c), S_OK);
    return c;
  }
};

TEST_F(SimStreaming, CopyLoopMovesTheToneFromCaptureToRenderInOrder) {
  ASSERT_EQ(SetCaptureSource(u"mic", ToneSource), S_OK);
  std::mutex mutex;
  std::vector<std::int16_t> heard;
  ASSERT_EQ(SetRenderSink(u"spk",
                          [&](const BYTE* data, UINT32 frames, const WAVEFORMATEX&, UINT64) {
                            std::lock_guard<std::mutex> lock(mutex);
                            auto* s = reinterpret_cast<const std::int16_t*>(data);
                            heard.insert(heard.end(), s, s + 2 * static_cast<size_t>(frames));
                          }),
            S_OK);
  Stream in, out;
  Open(in, u"mic", 1000000);  // 100 ms on both sides: room for a stall of the copy thread
  Open(out, u"spk", 1000000);
  HANDLE shutdown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> packets{0};
  std::atomic<bool> inOrder{true};

  // The loop of a streaming endpoint: wait on {shutdown, samples ready}, one packet per event.
  std::thread loop([&] {
    const HANDLE handles[] = {shutdown, in.event};
    UINT64 expected = 0;
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      BYTE* data = nullptr;
      UINT32 frames = 0;
      DWORD flags = 0;
      UINT64 position = 0;
      if (in.capture->GetBuffer(&data, &frames, &flags, &position, nullptr) != S_OK) continue;
      if (position != expected) inOrder = false;
      expected = position + frames;
      BYTE* target = nullptr;
      if (out.render->GetBuffer(frames, &target) == S_OK) {
        std::memcpy(target, data, static_cast<size_t>(frames) * 4);
        out.render->ReleaseBuffer(frames, 0);
      }
      in.capture->ReleaseBuffer(frames);
      ++packets;
    }
  });
  ASSERT_EQ(out.client->Start(), S_OK);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(in.client->Start(), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return packets >= 60; }));

  // Meanwhile the meters show the tone's peak: half scale on both channels.
  ComPtr<IAudioMeterInformation> meter;
  ASSERT_EQ(
      Device(u"mic")->Activate(IID_IAudioMeterInformation, CLSCTX_ALL, nullptr, meter.PutVoid()),
      S_OK);
  float peaks[2] = {};
  ASSERT_EQ(meter->GetChannelsPeakValues(2, peaks), S_OK);
  EXPECT_NEAR(peaks[0], 0.5f, 0.01f);
  EXPECT_NEAR(peaks[1], 0.5f, 0.01f);
  EXPECT_EQ(meter->GetChannelsPeakValues(1, peaks), E_INVALIDARG);

  SetEvent(shutdown);
  loop.join();
  in.client->Stop();
  const double elapsedPeriods =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / 0.010;
  out.client->Stop();
  CloseHandle(shutdown);
  EXPECT_TRUE(inOrder);

  // Every captured packet holds one 10 ms period, and the clock never runs ahead of real time
  // (a loaded machine may leave the last periods unprocessed, hence the loose lower bound).
  const EndpointCounters mic = Counters(u"mic");
  EXPECT_EQ(mic.framesCaptured, mic.periods * 480);
  EXPECT_LE(static_cast<double>(mic.periods), elapsedPeriods + 1.0);
  EXPECT_GE(static_cast<double>(mic.periods), elapsedPeriods * 0.5);
  EXPECT_EQ(mic.overflows, 0u);

  // Silence aside (leading, or inserted by an underrun on a busy machine), the render side heard
  // the tone frame after frame from its start. The tone's own zero crossings are left out on
  // both sides, since they look like silence.
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::pair<std::int16_t, std::int16_t>> got, want;
  for (size_t i = 0; i + 1 < heard.size(); i += 2)
    if (heard[i] != 0 || heard[i + 1] != 0) got.emplace_back(heard[i], heard[i + 1]);
  for (UINT64 f = 0; want.size() < got.size(); ++f)
    if (Tone(f) != 0) want.emplace_back(Tone(f), static_cast<std::int16_t>(-Tone(f)));
  ASSERT_GT(got.size(), 48000u * 3 / 10 / 2);  // 60 packets, less what sat in the buffers
  EXPECT_TRUE(got == want);
}

TEST_F(SimStreaming, RenderPeriodsWithTooLittleDataAreFilledWithSilenceAndCounted) {
  std::atomic<UINT64> nonSilent{0};
  ASSERT_EQ(SetRenderSink(u"spk",
                          [&](const BYTE* data, UINT32 frames, const WAVEFORMATEX& format, UINT64) {
                            for (UINT32 i = 0; i < frames * format.nBlockAlign; ++i)
                              if (data[i] != 0) ++nonSilent;
                          }),
            S_OK);
  Stream out;
  Open(out, u"spk", 500000);
  // 50 ms of full-scale data (0x7f7f per sample), then nothing more.
  BYTE* data = nullptr;
  ASSERT_EQ(out.render->GetBuffer(2400, &data), S_OK);
  std::memset(data, 0x7f, size_t{2400} * 4);
  ASSERT_EQ(out.render->ReleaseBuffer(2400, 0), S_OK);
  ASSERT_EQ(out.client->Start(), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return Counters(u"spk").periods >= 10; }));
  ASSERT_EQ(out.client->Stop(), S_OK);
  const EndpointCounters c = Counters(u"spk");
  // Five whole periods were written; every later period found nothing.
  EXPECT_EQ(c.underruns, c.periods - 5);
  EXPECT_EQ(c.framesRendered, c.periods * 480);
  EXPECT_EQ(nonSilent, 2400u * 4);
  UINT32 padding = 99;
  ASSERT_EQ(out.client->GetCurrentPadding(&padding), S_OK);
  EXPECT_EQ(padding, 0u);
}

TEST_F(SimStreaming, AFastClockDeliversMorePeriodsInTheSameTime) {
  auto fast = Endpoint(u"fast", eRender, MakePcmFormat(48000, 2, 16));
  fast.clockSkewPpm = 50000;  // 5 % fast: exaggerated so that scheduling noise cannot hide it
  ASSERT_EQ(AddEndpoint(fast), S_OK);
  Stream a, b;
  Open(a, u"spk", 300000);
  Open(b, u"fast", 300000);
  ASSERT_EQ(a.client->Start(), S_OK);
  ASSERT_EQ(b.client->Start(), S_OK);
  // Compare what both moved between two snapshots, so that their start times do not matter.
  auto snapshot = [&] {
    return std::pair<double, double>(static_cast<double>(Counters(u"spk").framesRendered),
                                     static_cast<double>(Counters(u"fast").framesRendered));
  };
  ASSERT_TRUE(WaitUntil([&] { return Counters(u"spk").periods >= 20; }));
  const auto first = snapshot();
  ASSERT_TRUE(WaitUntil([&] { return Counters(u"spk").periods >= 320; }, std::chrono::seconds(60)));
  const auto second = snapshot();
  // Over 300 periods, ±2 % leaves room for a few periods of scheduling noise.
  EXPECT_NEAR((second.second - first.second) / (second.first - first.first), 1.05, 0.02);
}

TEST_F(SimStreaming, UnreadCaptureOverflowsAndMarksTheNextPacket) {
  Stream in;
  Open(in, u"mic", 300000);  // room for three packets
  ASSERT_EQ(in.client->Start(), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return Counters(u"mic").overflows >= 2; }));
  UINT32 padding = 0;
  ASSERT_EQ(in.client->GetCurrentPadding(&padding), S_OK);
  EXPECT_EQ(padding, 1440u);
  // Drain what is queued; the first packet stored after the loss carries the discontinuity.
  bool marked = false;
  ASSERT_TRUE(WaitUntil([&] {
    BYTE* data;
    UINT32 frames;
    DWORD flags;
    if (in.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr) == S_OK) {
      marked = marked || (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0;
      in.capture->ReleaseBuffer(frames);
    }
    return marked;
  }));
}

TEST_F(SimStreaming, PeriodsOfFractionalFrameCountAlternateWithoutLosingFrames) {
  ASSERT_EQ(AddEndpoint(Endpoint(u"slow", eCapture, MakePcmFormat(22050, 1, 16))), S_OK);
  Stream in;
  in.client = Client(u"slow");
  const auto format = MakePcmFormat(22050, 1, 16);
  ASSERT_EQ(in.client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                  kEventFlags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM, 1000000, 0,
                                  &format.Format, nullptr),
            S_OK);
  in.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(in.client->SetEventHandle(in.event), S_OK);
  ASSERT_EQ(in.client->GetService(IID_IAudioCaptureClient, in.capture.PutVoid()), S_OK);
  ASSERT_EQ(in.client->Start(), S_OK);
  // 10 ms at 22050 Hz is 220.5 frames: packets of 220 and 221 frames in turn.
  std::vector<UINT32> sizes;
  UINT64 expected = 0;
  ASSERT_TRUE(WaitUntil([&] {
    BYTE* data;
    UINT32 frames;
    DWORD flags;
    UINT64 position;
    while (in.capture->GetBuffer(&data, &frames, &flags, &position, nullptr) == S_OK) {
      EXPECT_EQ(position, expected);
      expected += frames;
      sizes.push_back(frames);
      in.capture->ReleaseBuffer(frames);
    }
    return sizes.size() >= 4;
  }));
  EXPECT_EQ(sizes[0], 220u);
  EXPECT_EQ(sizes[1], 221u);
  EXPECT_EQ(sizes[2], 220u);
  EXPECT_EQ(sizes[3], 221u);
}

TEST_F(SimStreaming, RemovingTheEndpointInvalidatesItsStreams) {
  Stream out;
  Open(out, u"spk", 300000);
  ASSERT_EQ(out.client->Start(), S_OK);
  ASSERT_EQ(WaitForSingleObject(out.event, 10000), WAIT_OBJECT_0);
  ASSERT_EQ(SetEndpointState(u"spk", DEVICE_STATE_UNPLUGGED), S_OK);
  BYTE* data = nullptr;
  EXPECT_EQ(out.render->GetBuffer(10, &data), AUDCLNT_E_DEVICE_INVALIDATED);
  UINT32 padding = 0;
  EXPECT_EQ(out.client->GetCurrentPadding(&padding), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(out.client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
  // Plugged in again, the old stream stays dead and a new one works.
  ASSERT_EQ(SetEndpointState(u"spk", DEVICE_STATE_ACTIVE), S_OK);
  EXPECT_EQ(out.render->GetBuffer(10, &data), AUDCLNT_E_DEVICE_INVALIDATED);
  Stream again;
  Open(again, u"spk", 300000);
  EXPECT_EQ(again.render->GetBuffer(10, &data), S_OK);
  EXPECT_EQ(again.render->ReleaseBuffer(10, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
}

TEST_F(SimStreaming, InjectedFaultsFailTheNamedMethodForTheGivenCount) {
  InjectFault(u"mic", "IAudioCaptureClient::GetBuffer", AUDCLNT_E_DEVICE_INVALIDATED, 2);
  InjectFault(u"*", "IAudioClient::Start", E_OUTOFMEMORY, 1);
  InjectFault(u"", "CoCreateInstance(MMDeviceEnumerator)", REGDB_E_CLASSNOTREG, 1);

  ComPtr<IMMDeviceEnumerator> e;
  EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                             e.PutVoid()),
            REGDB_E_CLASSNOTREG);
  Stream in, out;
  Open(in, u"mic", 300000);
  Open(out, u"spk", 300000);
  EXPECT_EQ(out.client->Start(), E_OUTOFMEMORY);  // the wildcard hits whichever endpoint is first
  EXPECT_EQ(out.client->Start(), S_OK);
  EXPECT_EQ(in.client->Start(), S_OK);
  BYTE* data;
  UINT32 frames;
  DWORD flags;
  EXPECT_EQ(in.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr),
            AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(in.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr),
            AUDCLNT_E_DEVICE_INVALIDATED);
  HRESULT hr = in.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
  EXPECT_TRUE(hr == S_OK || hr == AUDCLNT_S_BUFFER_EMPTY);
  if (hr == S_OK) in.capture->ReleaseBuffer(frames);

  InjectFault(u"spk", "IAudioEndpointVolume::GetChannelVolumeLevel", E_NOTIMPL);
  ComPtr<IAudioEndpointVolume> volume;
  ASSERT_EQ(
      Device(u"spk")->Activate(IID_IAudioEndpointVolume, CLSCTX_ALL, nullptr, volume.PutVoid()),
      S_OK);
  float db = 0.0f;
  EXPECT_EQ(volume->GetChannelVolumeLevel(0, &db), E_NOTIMPL);
  EXPECT_EQ(volume->GetChannelVolumeLevel(0, &db), E_NOTIMPL);  // until cleared
  ClearFaults();
  EXPECT_EQ(volume->GetChannelVolumeLevel(0, &db), S_OK);
}

TEST_F(SimStreaming, ChannelVolumeStaysInsideTheRange) {
  ComPtr<IAudioEndpointVolume> volume;
  ASSERT_EQ(
      Device(u"spk")->Activate(IID_IAudioEndpointVolume, CLSCTX_ALL, nullptr, volume.PutVoid()),
      S_OK);
  float minDb = 0, maxDb = 0, stepDb = 0;
  ASSERT_EQ(volume->GetVolumeRange(&minDb, &maxDb, &stepDb), S_OK);
  EXPECT_EQ(minDb, -96.0f);
  EXPECT_EQ(maxDb, 0.0f);
  EXPECT_EQ(stepDb, 0.5f);
  EXPECT_EQ(volume->SetChannelVolumeLevel(1, -12.5f, nullptr), S_OK);
  EXPECT_EQ(volume->SetChannelVolumeLevel(1, -96.5f, nullptr), E_INVALIDARG);
  EXPECT_EQ(volume->SetChannelVolumeLevel(2, -6.0f, nullptr), E_INVALIDARG);
  float db = 0.0f;
  ASSERT_EQ(volume->GetChannelVolumeLevel(1, &db), S_OK);
  EXPECT_EQ(db, -12.5f);
  VolumeState state;
  ASSERT_EQ(GetVolume(u"spk", &state), S_OK);
  EXPECT_EQ(state.channelDb, std::vector<float>({0.0f, -12.5f}));
  UINT channels = 0;
  ASSERT_EQ(volume->GetChannelCount(&channels), S_OK);
  EXPECT_EQ(channels, 2u);
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
