#if !defined(_WIN32)

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/simaudio/sim_fixture.h"

namespace halvern::simaudio::test {
namespace {

using namespace std::chrono_literals;

void Constant(BYTE* data, UINT32 frames, const WAVEFORMATEX&, UINT64) {
  auto* s = reinterpret_cast<std::int16_t*>(data);
  for (UINT32 i = 0; i < 2 * frames; ++i) s[i] = static_cast<std::int16_t>(i % 2 ? -16384 : 16384);
}

class SimStreaming : public SimAudioTest {
 protected:
  void SetUp() override {
    SimAudioTest::SetUp();
    Add(u"mic", eCapture, MakePcmFormat(48000, 2, 16), true);
    Add(u"spk", eRender, MakePcmFormat(48000, 2, 16), true);
  }
};

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
  // 50 ms of the constant signal (one non-zero byte per sample), then nothing more.
  ASSERT_EQ(out.Write(2400, Constant), S_OK);
  ASSERT_EQ(out.client->Start(), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return Counters(u"spk").periods >= 10; }));
  ASSERT_EQ(out.client->Stop(), S_OK);
  const EndpointCounters c = Counters(u"spk");
  // Five whole periods were written; every later period found nothing.
  EXPECT_EQ(c.underruns, c.periods - 5);
  EXPECT_EQ(nonSilent, 2400u * 2);
}

// The data path itself (every frame, in order) is judged by the routing tests on the endpoints.
TEST_F(SimStreaming, ClocksKeepToRealTimeAndAFastOneDeliversMore) {
  auto fast = Endpoint(u"fast", eRender, MakePcmFormat(48000, 2, 16));
  fast.clockSkewPpm = 50000;  // 5 % fast: exaggerated so that scheduling noise cannot hide it
  ASSERT_EQ(AddEndpoint(fast), S_OK);
  Stream a, b;
  Open(a, u"spk", 300000);
  Open(b, u"fast", 300000);
  const auto started = std::chrono::steady_clock::now();
  auto periodsSinceStart = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / 0.01;
  };
  ASSERT_EQ(a.client->Start(), S_OK);
  ASSERT_EQ(b.client->Start(), S_OK);
  // Compare what both moved between two snapshots, so that their start times do not matter.
  double moved[2][2];
  for (UINT64 i : {0, 1}) {
    ASSERT_TRUE(WaitUntil([&] { return Counters(u"spk").periods >= 20 + 300 * i; }, 60000ms));
    moved[i][0] = static_cast<double>(Counters(u"spk").framesRendered);
    moved[i][1] = static_cast<double>(Counters(u"fast").framesRendered);
  }
  // Over 300 periods, ±2 % leaves room for a few periods of scheduling noise.
  EXPECT_NEAR((moved[1][1] - moved[0][1]) / (moved[1][0] - moved[0][0]), 1.05, 0.02);
  // Never ahead of real time; a loaded machine may leave periods unprocessed, hence the loose
  // lower bound.
  const double before = periodsSinceStart();
  const auto periods = static_cast<double>(Counters(u"spk").periods);
  EXPECT_LE(periods, periodsSinceStart() + 1.0);
  EXPECT_GE(periods, before * 0.5);
}

TEST_F(SimStreaming, PeriodsOfFractionalFrameCountAlternateWithoutLosingFrames) {
  Add(u"slow", eCapture, MakePcmFormat(22050, 1, 16), true);
  Stream in;
  Open(in, u"slow", 1000000);
  ASSERT_EQ(in.client->Start(), S_OK);
  // 10 ms at 22050 Hz is 220.5 frames: packets of 220 and 221 frames in turn.
  std::vector<UINT32> sizes;
  UINT64 expected = 0;
  ASSERT_TRUE(WaitUntil([&] {
    while (in.Read() == S_OK) {
      EXPECT_EQ(in.position, expected);
      expected += in.frames;
      sizes.push_back(in.frames);
      in.capture->ReleaseBuffer(in.frames);
    }
    return sizes.size() >= 4;
  }));
  sizes.resize(4);
  EXPECT_EQ(sizes, std::vector<UINT32>({220, 221, 220, 221}));
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
    std::vector<DWORD> flags;
    ASSERT_TRUE(WaitUntil([&] {
      if (in.Read() == S_OK) {
        EXPECT_NE(in.data[0] | in.data[in.frames * 4 - 1], 0);
        flags.push_back(in.flags);
        in.capture->ReleaseBuffer(in.frames);
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

// Unplugging, removing and a format change break streams too: the endpoint fault tests judge those.
TEST_F(SimStreaming, BrokenStreamsFailEveryLaterCallWithTheirReasonAndStopSignalling) {
  const struct {
    std::function<HRESULT()> breakIt;
    HRESULT reason;
  } cases[] = {
      {[] { return InvalidateStreams(u"*", AUDCLNT_E_SERVICE_NOT_RUNNING); },
       AUDCLNT_E_SERVICE_NOT_RUNNING},
      {[] { return InvalidateStreams(u"spk", AUDCLNT_E_DEVICE_IN_USE); }, AUDCLNT_E_DEVICE_IN_USE},
  };
  EXPECT_EQ(InvalidateStreams(u"spk", E_FAIL), E_INVALIDARG);
  for (const auto& c : cases) {
    Stream out;
    Open(out, u"spk", 300000);
    ASSERT_EQ(out.client->Start(), S_OK);
    ASSERT_EQ(WaitForSingleObject(out.event, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(c.breakIt(), S_OK);
    WAVEFORMATEX* mix = nullptr;
    ComPtr<IAudioRenderClient> render;
    const HRESULT calls[] = {out.render->GetBuffer(10, &out.data),
                             out.client->GetCurrentPadding(&out.frames),
                             out.client->GetBufferSize(&out.frames),
                             out.client->GetMixFormat(&mix),
                             out.client->Stop(),
                             out.client->Start(),
                             out.client->GetService(IID_IAudioRenderClient, render.PutVoid())};
    for (HRESULT hr : calls) EXPECT_EQ(hr, c.reason);
    ResetEvent(out.event);
    EXPECT_EQ(WaitForSingleObject(out.event, 50), WAIT_TIMEOUT);
  }
  // Without a state change the endpoint takes new streams at once.
  Stream again;
  Open(again, u"spk", 300000);
  EXPECT_EQ(again.render->GetBuffer(10, &again.data), S_OK);
  EXPECT_EQ(again.render->ReleaseBuffer(10, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
}

// A fault's count, the wildcard id and ClearFaults are relied on by the endpoint and device manager
// fault tests; what they never meet: refusals, and a fault without a count firing until cleared.
TEST_F(SimStreaming, FaultsWithoutACountFireUntilClearedAndNoTypoPassesUnnoticed) {
  EXPECT_EQ(InjectFault(u"spk", "IAudioClient::Strat", E_FAIL), E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"spk", "IAudioClient::Start", S_FALSE), E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"spk", "IAudioClient::Start", E_FAIL, 0), E_INVALIDARG);
  ASSERT_EQ(InjectFault(u"spk", "IAudioEndpointVolume::GetMute", E_NOTIMPL), S_OK);
  auto volume = Activate<IAudioEndpointVolume>(u"spk", IID_IAudioEndpointVolume);
  BOOL mute = FALSE;
  EXPECT_EQ(volume->GetMute(&mute), E_NOTIMPL);
  EXPECT_EQ(volume->GetMute(&mute), E_NOTIMPL);
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
    std::vector<std::int16_t> heard;
  } cases[] = {
      {false, 0.0f, 0.0f, FALSE, {16384, -16384}},
      {false, -6.0206f, 0.0f, FALSE, {8192, -8192}},
      {false, -6.0206f, -6.0206f, FALSE, {8192, -4096}},
      {false, 0.0f, 0.0f, TRUE, {0, 0}},
      {true, -6.0206f, -6.0206f, TRUE, {16384, -16384}},
  };
  std::vector<std::int16_t> heard(2);
  ASSERT_EQ(SetCaptureSource(u"mic", Constant), S_OK);
  ASSERT_EQ(SetRenderSink(u"spk", [&](const BYTE* data, UINT32, const WAVEFORMATEX&,
                                      UINT64) { std::memcpy(heard.data(), data, 4); }),
            S_OK);
  for (const std::u16string id : {u"spk", u"mic"}) {
    for (const auto& c : cases) {
      EngineBehaviour engine;
      engine.hardwareVolume = c.hardware;
      ASSERT_EQ(SetEngineBehaviour(id, engine), S_OK);
      auto volume = Activate<IAudioEndpointVolume>(id, IID_IAudioEndpointVolume);
      EXPECT_EQ(volume->SetChannelVolumeLevel(1, -96.5f, nullptr), E_INVALIDARG);  // -96..0 dB
      EXPECT_EQ(volume->SetChannelVolumeLevel(2, 0.0f, nullptr), E_INVALIDARG);
      ASSERT_EQ(volume->SetMasterVolumeLevel(c.masterDb, nullptr), S_OK);
      ASSERT_EQ(volume->SetChannelVolumeLevel(1, c.rightDb, nullptr), S_OK);
      volume->SetMute(c.mute, nullptr);
      DWORD hardware = 99;
      ASSERT_EQ(volume->QueryHardwareSupport(&hardware), S_OK);
      EXPECT_EQ(hardware != 0, c.hardware);
      Stream s;
      Open(s, id, 300000);
      ASSERT_TRUE(!s.render || s.Write(480, Constant) == S_OK);
      ASSERT_EQ(s.client->Start(), S_OK);
      ASSERT_EQ(WaitForSingleObject(s.event, 10000), WAIT_OBJECT_0);
      ASSERT_EQ(s.client->Stop(), S_OK);  // no period runs after this
      if (s.capture) {
        ASSERT_EQ(s.Read(), S_OK);
        std::memcpy(heard.data(), s.data, 4);
        s.capture->ReleaseBuffer(s.frames);
      }
      EXPECT_EQ(heard, c.heard) << (s.render ? "render " : "capture ") << c.masterDb;
      float peak = 0.0f;
      ASSERT_EQ(
          Activate<IAudioMeterInformation>(id, IID_IAudioMeterInformation)->GetPeakValue(&peak),
          S_OK);
      EXPECT_EQ(peak, 0.5f);
    }
  }
}

DWORD WINAPI Nothing(LPVOID) { return 0; }

// Each makes its call once and says whether it failed the way Windows reports a failure.
bool CreateThreadFails() {
  platform::CScopedHandle thread(CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr));
  return !thread || WaitForSingleObject(thread.Get(), 10000) != WAIT_OBJECT_0;
}

bool CreateEventExFails() {
  return !platform::CScopedHandle(
      CreateEventExW(nullptr, nullptr, 0, SYNCHRONIZE | EVENT_MODIFY_STATE));
}

bool WaitFails() {
  platform::CScopedHandle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  const HANDLE handles[] = {event.Get()};
  return WaitForMultipleObjects(1, handles, FALSE, 0) == WAIT_FAILED;
}

bool MmcssFails() { return platform::CMmcssRegistration().Register(u"Pro Audio") != ERROR_SUCCESS; }

TEST_F(SimStreaming, KernelFaultsFailTheArmedThreadForTheirCountWithTheChosenLastError) {
  const struct {
    const char* call;
    DWORD error;
    bool (*fails)();
  } cases[] = {
      {"CreateThread", ERROR_NOT_ENOUGH_MEMORY, CreateThreadFails},
      {"CreateEventExW", ERROR_NOT_ENOUGH_MEMORY, CreateEventExFails},
      {"WaitForMultipleObjects", ERROR_INVALID_HANDLE, WaitFails},
      {"AvSetMmThreadCharacteristicsW", ERROR_PRIVILEGE_NOT_HELD, MmcssFails},
  };
  // Only Win32 errors of known calls, without an endpoint, are armed.
  EXPECT_EQ(InjectFault(u"", "CreateThreads", HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)),
            E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"", "WaitForSingleObject", HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)),
            E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"", "CreateEventExW", E_FAIL), E_INVALIDARG);  // no last error to give
  EXPECT_EQ(InjectFault(u"", "CreateEventExW", S_OK), E_INVALIDARG);
  EXPECT_EQ(InjectFault(u"spk", "AvSetMmThreadCharacteristicsW",
                        HRESULT_FROM_WIN32(ERROR_INVALID_TASK_NAME)),
            E_INVALIDARG);
  EXPECT_FALSE(CreateEventExFails());
  EXPECT_EQ(FaultsFired(u"", "CreateEventExW"), 0);
  for (const auto& c : cases) {
    ASSERT_EQ(InjectFault(u"", c.call, HRESULT_FROM_WIN32(c.error), 2, GetCurrentThreadId()), S_OK);
    bool elsewhere = true;
    std::thread([&] { elsewhere = c.fails(); }).join();
    EXPECT_FALSE(elsewhere) << c.call;
    // The neighbours that share its code are not hit.
    platform::CScopedHandle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0) << c.call;
    for (int i = 0; i < 3; ++i) {
      SetLastError(ERROR_SUCCESS);
      EXPECT_EQ(c.fails(), i < 2) << c.call << " call " << i;
      if (i < 2) {
        EXPECT_EQ(GetLastError(), c.error) << c.call;
      }
    }
    EXPECT_EQ(FaultsFired(u"", c.call), 2) << c.call;
  }
}

}  // namespace
}  // namespace halvern::simaudio::test

#endif
