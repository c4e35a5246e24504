#if !defined(_WIN32)

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

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

TEST_F(SimStreaming, CapturePacketsFlagSilenceAndTheStartAsConfigured) {
  // Silence comes with garbage in it; the first packet after Start may be marked discontinuous.
  for (const bool marked : {true, false}) {
    EngineBehaviour engine;
    engine.discontinuityAfterStart = marked;
    ASSERT_EQ(SetEngineBehaviour(u"mic", engine), S_OK);
    Stream in;
    Open(in, u"mic", 300000);  // room for three packets
    const UINT64 overflows = Counters(u"mic").overflows;
    ASSERT_EQ(in.client->Start(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return Counters(u"mic").overflows >= overflows + 2; }));
    UINT32 padding = 0;
    ASSERT_EQ(in.client->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 1440u);
    std::vector<DWORD> flags;
    ASSERT_TRUE(WaitUntil([&] {
      BYTE* data;
      UINT32 frames;
      DWORD f;
      if (in.capture->GetBuffer(&data, &frames, &f, nullptr, nullptr) == S_OK) {
        EXPECT_NE(data[0] | data[frames * 4 - 1], 0);
        flags.push_back(f);
        in.capture->ReleaseBuffer(frames);
      }
      return flags.size() > 4;
    }));
    // Three packets were queued before the overflow; the first stored after it is marked.
    constexpr DWORD kSilent = AUDCLNT_BUFFERFLAGS_SILENT;
    constexpr DWORD kGap = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    EXPECT_EQ(flags[0], kSilent | (marked ? kGap : 0));
    EXPECT_EQ(flags[1], kSilent);
    EXPECT_EQ(flags[3], kSilent | kGap);
  }
}

TEST_F(SimStreaming, BrokenStreamsFailEveryLaterCallWithTheirReasonAndStopSignalling) {
  const struct {
    std::function<HRESULT()> breakIt;
    HRESULT reason;
  } cases[] = {
      {[] { return SetEndpointState(u"spk", DEVICE_STATE_UNPLUGGED); },
       AUDCLNT_E_DEVICE_INVALIDATED},
      {[] { return SetDeviceFormat(u"spk", MakePcmFormat(44100, 2, 16)); },
       AUDCLNT_E_DEVICE_INVALIDATED},
      {[] { return InvalidateStreams(u"*", AUDCLNT_E_SERVICE_NOT_RUNNING); },
       AUDCLNT_E_SERVICE_NOT_RUNNING},
      {[] { return InvalidateStreams(u"spk", AUDCLNT_E_DEVICE_IN_USE); }, AUDCLNT_E_DEVICE_IN_USE},
  };
  EXPECT_EQ(InvalidateStreams(u"spk", E_FAIL), E_INVALIDARG);
  for (const auto& c : cases) {
    SetEndpointState(u"spk", DEVICE_STATE_ACTIVE);
    Stream out;
    Open(out, u"spk", 300000);
    ASSERT_EQ(out.client->Start(), S_OK);
    ASSERT_EQ(WaitForSingleObject(out.event, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(c.breakIt(), S_OK);
    BYTE* data = nullptr;
    UINT32 frames = 0;
    WAVEFORMATEX* mix = nullptr;
    ComPtr<IAudioRenderClient> render;
    const HRESULT calls[] = {out.render->GetBuffer(10, &data),
                             out.render->ReleaseBuffer(0, 0),
                             out.client->GetCurrentPadding(&frames),
                             out.client->GetBufferSize(&frames),
                             out.client->GetMixFormat(&mix),
                             out.client->Stop(),
                             out.client->Reset(),
                             out.client->Start(),
                             out.client->SetEventHandle(out.event),
                             out.client->GetService(IID_IAudioRenderClient, render.PutVoid())};
    for (HRESULT hr : calls) EXPECT_EQ(hr, c.reason);
    ResetEvent(out.event);
    EXPECT_EQ(WaitForSingleObject(out.event, 50), WAIT_TIMEOUT);
  }
  // Without a state change the endpoint takes new streams at once.
  Stream again;
  Open(again, u"spk", 300000);
  BYTE* data = nullptr;
  EXPECT_EQ(again.render->GetBuffer(10, &data), S_OK);
  EXPECT_EQ(again.render->ReleaseBuffer(10, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
}

TEST_F(SimStreaming, InjectedFaultsFireForTheirCountAndNoTypoPassesUnnoticed) {
  EXPECT_EQ(InjectFault(u"spk", "IAudioClient::Strat", E_FAIL), E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"spk", "IAudioClient::Start", S_FALSE), E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"spk", "IAudioClient::Start", E_FAIL, 0), E_INVALIDARG);
  ASSERT_EQ(InjectFault(u"mic", "IAudioCaptureClient::GetBuffer", AUDCLNT_E_BUFFER_ERROR, 2), S_OK);
  ASSERT_EQ(InjectFault(u"*", "IAudioClient::Start", E_OUTOFMEMORY, 1), S_OK);
  ASSERT_EQ(InjectFault(u"spk", "IAudioEndpointVolume::GetMute", E_NOTIMPL), S_OK);
  Stream in, out;
  Open(in, u"mic", 300000);
  Open(out, u"spk", 300000);
  EXPECT_EQ(out.client->Start(), E_OUTOFMEMORY);  // the wildcard hits whichever endpoint is first
  EXPECT_EQ(in.client->Start(), S_OK);
  BYTE* data;
  UINT32 frames;
  DWORD flags;
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(
        in.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr) == AUDCLNT_E_BUFFER_ERROR,
        i < 2);
  auto volume = Activate<IAudioEndpointVolume>(u"spk", IID_IAudioEndpointVolume);
  BOOL mute = FALSE;
  EXPECT_EQ(volume->GetMute(&mute), E_NOTIMPL);
  EXPECT_EQ(volume->GetMute(&mute), E_NOTIMPL);  // until cleared
  EXPECT_EQ(FaultsFired(u"mic", "IAudioCaptureClient::GetBuffer"), 2);
  EXPECT_EQ(FaultsFired(u"*", "IAudioClient::Start"), 1);
  EXPECT_EQ(FaultsFired(u"spk", "IAudioEndpointVolume::GetMute"), 2);
  ClearFaults();
  EXPECT_EQ(volume->GetMute(&mute), S_OK);
}

// Without hardware volume the engine scales the samples; the meter reads them before that.
TEST_F(SimStreaming, EndpointVolumeScalesTheSoundUnlessTheHardwareDoesIt) {
  const struct {
    bool hardware;
    float masterDb, rightDb;
    BOOL mute;
    std::int16_t left, right;
  } cases[] = {
      {false, 0.0f, 0.0f, FALSE, 16384, -16384},       {false, -6.0206f, 0.0f, FALSE, 8192, -8192},
      {false, -6.0206f, -6.0206f, FALSE, 8192, -4096}, {false, 0.0f, 0.0f, TRUE, 0, 0},
      {true, -6.0206f, -6.0206f, TRUE, 16384, -16384},
  };
  for (EDataFlow flow : {eRender, eCapture}) {
    const std::u16string id = flow == eRender ? u"spk" : u"mic";
    for (const auto& c : cases) {
      EngineBehaviour engine;
      engine.hardwareVolume = c.hardware;
      ASSERT_EQ(SetEngineBehaviour(id, engine), S_OK);
      auto volume = Activate<IAudioEndpointVolume>(id, IID_IAudioEndpointVolume);
      ASSERT_EQ(volume->SetMasterVolumeLevel(c.masterDb, nullptr), S_OK);
      ASSERT_EQ(volume->SetChannelVolumeLevel(1, c.rightDb, nullptr), S_OK);
      volume->SetMute(c.mute, nullptr);
      DWORD hardware = 99;
      ASSERT_EQ(volume->QueryHardwareSupport(&hardware), S_OK);
      EXPECT_EQ(hardware != 0, c.hardware);
      std::mutex mutex;
      std::vector<std::int16_t> heard;
      auto constant = [](BYTE* data, UINT32 frames, const WAVEFORMATEX&, UINT64) {
        auto* s = reinterpret_cast<std::int16_t*>(data);
        for (UINT32 i = 0; i < frames; ++i) s[2 * i] = 16384, s[2 * i + 1] = -16384;
      };
      ASSERT_EQ(SetCaptureSource(id, constant), S_OK);
      ASSERT_EQ(SetRenderSink(id,
                              [&](const BYTE* data, UINT32, const WAVEFORMATEX&, UINT64) {
                                std::lock_guard<std::mutex> lock(mutex);
                                auto* s = reinterpret_cast<const std::int16_t*>(data);
                                if (heard.empty()) heard.assign(s, s + 2);
                              }),
                S_OK);
      Stream s;
      Open(s, id, 300000);
      if (flow == eRender) {
        BYTE* data = nullptr;
        ASSERT_EQ(s.render->GetBuffer(480, &data), S_OK);
        constant(data, 480, {}, 0);
        ASSERT_EQ(s.render->ReleaseBuffer(480, 0), S_OK);
      }
      ASSERT_EQ(s.client->Start(), S_OK);
      ASSERT_EQ(WaitForSingleObject(s.event, 10000), WAIT_OBJECT_0);
      ASSERT_EQ(s.client->Stop(), S_OK);
      if (flow == eCapture) {
        BYTE* data;
        UINT32 frames;
        DWORD flags;
        ASSERT_EQ(s.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
        heard.assign(reinterpret_cast<std::int16_t*>(data),
                     reinterpret_cast<std::int16_t*>(data) + 2);
        s.capture->ReleaseBuffer(frames);
      }
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(heard, std::vector<std::int16_t>({c.left, c.right})) << flow << " " << c.masterDb;
      auto meter = Activate<IAudioMeterInformation>(id, IID_IAudioMeterInformation);
      float peak = 0.0f;
      ASSERT_EQ(meter->GetPeakValue(&peak), S_OK);
      EXPECT_EQ(peak, 0.5f);
    }
  }
}

TEST_F(SimStreaming, ChannelVolumeStaysInsideTheRange) {
  auto volume = Activate<IAudioEndpointVolume>(u"spk", IID_IAudioEndpointVolume);
  float minDb = 0, maxDb = 0, stepDb = 0;
  ASSERT_EQ(volume->GetVolumeRange(&minDb, &maxDb, &stepDb), S_OK);
  EXPECT_EQ(std::vector<float>({minDb, maxDb, stepDb}), std::vector<float>({-96.0f, 0.0f, 0.5f}));
  EXPECT_EQ(volume->SetChannelVolumeLevel(1, -12.5f, nullptr), S_OK);
  EXPECT_EQ(volume->SetChannelVolumeLevel(1, -96.5f, nullptr), E_INVALIDARG);
  EXPECT_EQ(volume->SetChannelVolumeLevel(2, -6.0f, nullptr), E_INVALIDARG);
  VolumeState state;
  ASSERT_EQ(GetVolume(u"spk", &state), S_OK);
  EXPECT_EQ(state.channelDb, std::vector<float>({0.0f, -12.5f}));
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
