// The machine around the C host: the simulated endpoints it routes between, a tone into the
// virtual card, recorders at every render sink, and the library's log lines. The library and this
// program share the one simulated machine of the process.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kovra_api.h"
#include "measure/signal_measure.h"
#include "platform/simaudio/sim_machine.h"
#include "support/debug_capture.h"
#include "support/wait_until.h"

extern "C" {
const char* KovraHost_RunSequence(void);
}

#if defined(__SANITIZE_THREAD__)
// The library is loaded at run time, so its thread-local objects live in dynamic TLS blocks that
// glibc frees when it hands an exited thread's stack to a new thread. That hand-over is ordered by
// a lock inside glibc that ThreadSanitizer does not see, so it reports the free as racing with the
// exited thread's thread-local destructors.
extern "C" const char* __tsan_default_suppressions() { return "race:_dl_deallocate_tls\n"; }
#endif

namespace {

namespace sim = halvern::simaudio;
using std::chrono::milliseconds;

constexpr int kExtraEndpoints = 11;

struct Recorder {
  std::vector<float> recent;  // channel 0, newest last
  unsigned long long frames = 0;
  double rate = 0;
};

std::mutex g_Lock;  // guards the event log of the C host and the recorders
std::mutex g_RecorderLock;
std::map<std::u16string, Recorder> g_Recorders;
std::vector<std::u16string> g_Ids;
std::u16string g_LogPath;
halvern::testing::DebugCapture* g_Log = nullptr;

void Record(const std::u16string& id, const BYTE* data, UINT32 frames, const WAVEFORMATEX& f) {
  std::lock_guard lock(g_RecorderLock);
  Recorder& r = g_Recorders[id];
  r.frames += frames;
  r.rate = f.nSamplesPerSec;
  for (UINT32 i = 0; i < frames; ++i) {
    const BYTE* sample = data + std::size_t{i} * f.nBlockAlign;
    float value = 0;
    if (f.wBitsPerSample == 32) {
      std::memcpy(&value, sample, 4);
    } else if (f.wBitsPerSample == 16) {
      std::int16_t s;
      std::memcpy(&s, sample, 2);
      value = s / 32768.0f;
    }
    r.recent.push_back(value);
  }
  constexpr std::size_t kKeep = 9600;
  if (r.recent.size() > 2 * kKeep) r.recent.erase(r.recent.begin(), r.recent.end() - kKeep);
}

std::u16string Id(const KovraChar16* id) { return std::u16string(id); }

HRESULT BuildMachine() {
  sim::Reset();
  HRESULT hr = sim::AddStandardMachine();
  g_Ids = {sim::kHalvernCaptureId, sim::kHalvernPlaybackId, sim::kSpeakersId, sim::kHeadsetRenderId,
           sim::kHeadsetCaptureId};
  const DWORD rates[] = {44100, 48000, 16000, 96000};
  for (int i = 0; i < kExtraEndpoints && SUCCEEDED(hr); ++i) {
    const std::u16string id =
        u"{0.0.0.00000000}.{e0000000-0000-0000-0000-0000000000" +
        std::u16string{static_cast<char16_t>(u'0' + i / 10), static_cast<char16_t>(u'0' + i % 10)} +
        u"}";
    sim::EndpointDesc d;
    d.id = id;
    d.flow = eRender;
    d.interfaceName = u"Extra Card";
    d.friendlyName = u"Extra " + std::u16string(1, static_cast<char16_t>(u'A' + i));
    d.description = u"Speakers";
    d.deviceFormat = sim::MakePcmFormat(rates[i % 4], i % 4 == 2 ? 1 : 2, 16);
    hr = sim::AddEndpoint(d);
    g_Ids.push_back(d.id);
  }
  for (std::size_t i = 1; i < g_Ids.size() && SUCCEEDED(hr); ++i) {
    const std::u16string id = g_Ids[i];
    hr = sim::SetRenderSink(id, [id](const BYTE* data, UINT32 frames, const WAVEFORMATEX& f,
                                     UINT64) { Record(id, data, frames, f); });
    if (hr == HRESULT_FROM_WIN32_ERROR_NOT_FOUND || i == 4) hr = S_OK;  // capture ids have no sink
  }
  return hr;
}

}  // namespace

extern "C" {

void HostMachine_Lock(void) { g_Lock.lock(); }
void HostMachine_Unlock(void) { g_Lock.unlock(); }
const KovraChar16* HostMachine_Id(int which) { return g_Ids.at(which).c_str(); }
const KovraChar16* HostMachine_LogPath(void) { return g_LogPath.c_str(); }
int HostMachine_RenderEndpoints(void) { return 2 + kExtraEndpoints; }

void HostMachine_FeedTone(double hz, double amplitude) {
  sim::SetCaptureSource(
      sim::kHalvernCaptureId,
      [hz, amplitude](BYTE* data, UINT32 frames, const WAVEFORMATEX& f, UINT64 position) {
        for (UINT32 i = 0; i < frames; ++i) {
          const double t = static_cast<double>(position + i) / f.nSamplesPerSec;
          const float value = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * t));
          for (WORD c = 0; c < f.nChannels; ++c)
            std::memcpy(data + std::size_t{i} * f.nBlockAlign + c * 4u, &value, 4);
        }
      });
}

int HostMachine_SinkHasTone(const KovraChar16* id, double hz) {
  const std::u16string key = Id(id);
  unsigned long long start = 0;
  {
    std::lock_guard lock(g_RecorderLock);
    start = g_Recorders[key].frames;
  }
  // Fresh audio only: half a second more than when asked.
  return halvern::testing::WaitUntil([&] {
    std::vector<float> recent;
    double rate = 0;
    {
      std::lock_guard lock(g_RecorderLock);
      const Recorder& r = g_Recorders[key];
      if (r.frames < start + 4800 || r.recent.size() < 4800) return false;
      recent.assign(r.recent.end() - 4800, r.recent.end());
      rate = r.rate;
    }
    const auto found = halvern::measure::EstimateTone(recent, rate);
    return found.crossings >= 3 && found.amplitude > 0.3 &&
           std::fabs(found.frequencyHz - hz) < 0.01 * hz;
  });
}

int HostMachine_SinkGoesQuiet(const KovraChar16* id) {
  const std::u16string key = Id(id);
  return halvern::testing::WaitUntil([&] {
    unsigned long long before = 0;
    {
      std::lock_guard lock(g_RecorderLock);
      before = g_Recorders[key].frames;
    }
    std::this_thread::sleep_for(milliseconds(100));
    std::lock_guard lock(g_RecorderLock);
    const Recorder& r = g_Recorders[key];
    if (r.frames == before) return true;  // the stream no longer runs
    float peak = 0;
    for (auto v = r.recent.end() - std::min<std::size_t>(r.recent.size(), 2000);
         v != r.recent.end(); ++v)
      peak = std::max(peak, std::fabs(*v));
    return peak < 1e-6f;
  });
}

int HostMachine_CaptureStops(void) {
  return halvern::testing::WaitUntil([] {
    sim::EndpointCounters before, after;
    sim::GetCounters(sim::kHalvernCaptureId, &before);
    std::this_thread::sleep_for(milliseconds(100));
    sim::GetCounters(sim::kHalvernCaptureId, &after);
    return after.framesCaptured == before.framesCaptured;
  });
}

void HostMachine_SetState(const KovraChar16* id, uint32_t state) {
  sim::SetEndpointState(Id(id), state);
}
void HostMachine_SetDefault(int capture, int role, const KovraChar16* id) {
  sim::SetDefaultEndpoint(capture ? eCapture : eRender, static_cast<ERole>(role), Id(id));
}
void HostMachine_ChangeDeviceFormat(const KovraChar16* id) {
  sim::SetDeviceFormat(Id(id), sim::MakePcmFormat(48000, 1, 16));
}
int HostMachine_IsDefault(int capture, int role, const KovraChar16* id) {
  return sim::GetDefaultEndpoint(capture ? eCapture : eRender, static_cast<ERole>(role)) == Id(id);
}
int HostMachine_IsVisible(const KovraChar16* id) { return sim::IsVisible(Id(id)); }
int HostMachine_LogHas(const char* text) {
  for (const std::string& line : g_Log->Lines())
    if (line.find(text) != std::string::npos) return 1;
  return 0;
}
int HostMachine_Wait(int (*condition)(const void*), const void* argument) {
  return halvern::testing::WaitUntil([&] { return condition(argument) != 0; });
}

}  // extern "C"

namespace {

TEST(HostInC, RunsTheWholeCallingSequenceOnTheSimulatedMachine) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ASSERT_EQ(BuildMachine(), S_OK);
  g_LogPath = u"/tmp/halvern_host_test.log";
  halvern::testing::DebugCapture log;
  g_Log = &log;
  const char* failure = KovraHost_RunSequence();
  EXPECT_EQ(failure, nullptr) << failure;
  if (failure != nullptr)
    for (const std::string& line : log.Lines())
      if (line.find("ERR") != std::string::npos) std::printf("%s", line.c_str());
  g_Log = nullptr;
  EXPECT_EQ(sim::CallbackBreaches(), std::vector<std::string>());
  sim::Reset();
  CoUninitialize();
}

}  // namespace

#endif
