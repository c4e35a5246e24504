// The machine around the C host: the simulated endpoints it routes between, a tone into the
// virtual card, recorders at every render sink, and the library's log lines. The library and this
// program share the one simulated machine of the process.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kovra_api.h"
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

struct Recorder {
  unsigned long long frames = 0;
  float peak = 0;  // of channel 0 in the latest buffer
};

std::mutex g_Lock;                                                 // guards g_Seen and g_Recorders
std::deque<std::pair<std::int32_t, DeviceEndpointRecord>> g_Seen;  // endpoint changes, in order
std::map<std::u16string, Recorder> g_Recorders;
std::vector<std::u16string> g_Ids;
halvern::testing::DebugCapture* g_Log = nullptr;

void Record(const std::u16string& id, const BYTE* data, UINT32 frames, const WAVEFORMATEX& f) {
  float peak = 0;
  for (UINT32 i = 0; i < frames; ++i) {  // channel 0 of the float mix format
    float value = 0;
    std::memcpy(&value, data + std::size_t{i} * f.nBlockAlign, 4);
    peak = std::max(peak, std::fabs(value));
  }
  std::lock_guard lock(g_Lock);
  g_Recorders[id].frames += frames;
  g_Recorders[id].peak = peak;
}

Recorder Recorded(const KovraChar16* id) {
  std::lock_guard lock(g_Lock);
  return g_Recorders[id];
}

HRESULT BuildMachine() {
  sim::Reset();
  HRESULT hr = sim::AddStandardMachine();
  g_Ids = {sim::kHalvernCaptureId, sim::kHalvernPlaybackId, sim::kSpeakersId, sim::kHeadsetRenderId,
           sim::kHeadsetCaptureId};
  const DWORD rates[] = {44100, 48000, 16000, 96000};
  for (int i = 0; i < 11 && SUCCEEDED(hr); ++i) {
    const char16_t n[] = {char16_t(u'0' + i / 10), char16_t(u'0' + i % 10), char16_t(u'A' + i)};
    sim::EndpointDesc d;
    d.id = u"{0.0.0.00000000}.{e0000000-0000-0000-0000-0000000000" + std::u16string(n, 2) + u"}";
    d.friendlyName = u"Extra " + std::u16string(n + 2, 1);
    d.deviceFormat = sim::MakePcmFormat(rates[i % 4], i % 4 == 2 ? 1 : 2, 16);
    hr = sim::AddEndpoint(d);
    g_Ids.push_back(d.id);
  }
  for (std::size_t i = 1; i < g_Ids.size() && SUCCEEDED(hr); ++i)
    if (i != 4)  // the headset's capture endpoint has no sink
      hr = sim::SetRenderSink(
          g_Ids[i], [id = g_Ids[i]](const BYTE* data, UINT32 frames, const WAVEFORMATEX& f,
                                    UINT64) { Record(id, data, frames, f); });
  return hr;
}

}  // namespace

extern "C" {

void HostMachine_Saw(std::int32_t code, const DeviceEndpointRecord* record) {
  std::lock_guard lock(g_Lock);
  g_Seen.emplace_back(code, *record);
}
int HostMachine_Mark(void) {
  std::lock_guard lock(g_Lock);
  return static_cast<int>(g_Seen.size());
}
const DeviceEndpointRecord* HostMachine_Find(std::int32_t code, const KovraChar16* id, int from,
                                             int wait) {
  const DeviceEndpointRecord* found = nullptr;
  const auto look = [&] {
    std::lock_guard lock(g_Lock);
    for (auto e = g_Seen.begin() + from; e != g_Seen.end() && found == nullptr; ++e)
      if (e->first == code && (id == nullptr || e->second.id == std::u16string_view(id)))
        found = &e->second;
    return found != nullptr;
  };
  if (wait == 0 || !halvern::testing::WaitUntil(look)) look();
  return found;
}
const KovraChar16* HostMachine_Id(int which) { return g_Ids.at(which).c_str(); }

// A 997 Hz sine into the virtual card. The pitch and level each device plays are judged by the
// endpoints' routing test and the halvern-route run, so here a device only has to play it loudly.
void HostMachine_FeedTone(double amplitude) {
  sim::SetCaptureSource(
      sim::kHalvernCaptureId,
      [amplitude](BYTE* data, UINT32 frames, const WAVEFORMATEX& f, UINT64 position) {
        for (UINT32 i = 0; i < frames; ++i) {
          const double t = static_cast<double>(position + i) / f.nSamplesPerSec;
          const float value = static_cast<float>(amplitude * std::sin(2 * M_PI * 997 * t));
          for (WORD c = 0; c < f.nChannels; ++c)
            std::memcpy(data + std::size_t{i} * f.nBlockAlign + c * 4u, &value, 4);
        }
      });
}

// Fresh audio only: a tenth of a second more than when asked.
int HostMachine_SinkPlays(const KovraChar16* id) {
  const unsigned long long start = Recorded(id).frames;
  return halvern::testing::WaitUntil([&] {
    const Recorder r = Recorded(id);
    return r.frames >= start + 4800 && r.peak > 0.3f;
  });
}

// The endpoint's stream stands still, or a render sink hears silence.
int HostMachine_GoesQuiet(const KovraChar16* id) {
  const auto frames = [&] {
    sim::EndpointCounters counters;
    sim::GetCounters(id, &counters);
    return counters.framesRendered + counters.framesCaptured;
  };
  return halvern::testing::WaitUntil([&] {
    const UINT64 before = frames();
    std::this_thread::sleep_for(milliseconds(100));
    const Recorder r = Recorded(id);
    return frames() == before || (r.frames > 0 && r.peak < 1e-6f);
  });
}

void HostMachine_SetState(const KovraChar16* id, uint32_t state) {
  sim::SetEndpointState(id, state);
}
void HostMachine_SetDefault(int role, const KovraChar16* id) {
  sim::SetDefaultEndpoint(eRender, static_cast<ERole>(role), id);
}
void HostMachine_ChangeDeviceFormat(const KovraChar16* id) {
  sim::SetDeviceFormat(id, sim::MakePcmFormat(48000, 1, 16));
}
int HostMachine_IsDefault(int role, const KovraChar16* id) {
  return sim::GetDefaultEndpoint(eRender, static_cast<ERole>(role)) == id;
}
int HostMachine_Contains(const KovraChar16* text, const char* ascii) {
  return std::u16string_view(text).find(std::u16string(ascii, ascii + std::strlen(ascii))) !=
         std::u16string_view::npos;
}
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
  halvern::testing::DebugCapture log;
  g_Log = &log;
  const char* failure = KovraHost_RunSequence();
  EXPECT_EQ(failure, nullptr) << failure;
  g_Log = nullptr;
  EXPECT_EQ(sim::CallbackBreaches(), std::vector<std::string>());
  sim::Reset();
  CoUninitialize();
}

}  // namespace

#endif
