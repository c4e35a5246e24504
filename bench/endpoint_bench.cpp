// CPU cost of routing on the simulated audio system: the capture thread and one render thread per
// device, a 48 kHz stereo 16-bit capture played on 44.1 kHz stereo float devices, measured as the
// share of one core the streaming threads use per second of routed audio.
#if !defined(_WIN32)

#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "endpoints/audio_capturer.h"
#include "endpoints/audio_renderer.h"
#include "platform/scoped_resources.h"
#include "platform/simaudio/sim_audio.h"
#include "support/traced_threads.h"
#include "trace/trace.h"
#include "trace/trace_block.h"

namespace {

using namespace halvern;
using Clock = std::chrono::steady_clock;

constexpr char16_t kCardId[] = u"{bench-card}";
constexpr auto kWarmUp = std::chrono::milliseconds(500);
constexpr auto kMeasured = std::chrono::seconds(3);

double CpuSecondsOf(clockid_t clock) {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) return 0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The CPU clock of another thread of this process, from its kernel thread id (what
// GetCurrentThreadId returns here): the encoding pthread_getcpuclockid uses.
clockid_t ThreadCpuClock(DWORD tid) {
  return static_cast<clockid_t>((~static_cast<clockid_t>(tid) << 3) | 6);
}

// The streaming threads' CPU time and how often they went to sleep (each sleep costs a wake-up).
struct CThreadUsage {
  double cpu = 0, sleeps = 0;
  // Adds what was used between `from` and `to`.
  void AddSpan(const CThreadUsage& from, const CThreadUsage& to) {
    cpu += to.cpu - from.cpu, sleeps += to.sleeps - from.sleeps;
  }
};

CThreadUsage UsageOf(const std::vector<DWORD>& threads) {
  CThreadUsage usage;
  for (DWORD tid : threads) {
    usage.cpu += CpuSecondsOf(ThreadCpuClock(tid));
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        usage.sleeps += std::stod(line.substr(24));
  }
  return usage;
}

void AddMachine(int devices) {
  simaudio::EndpointDesc card;
  card.id = kCardId;
  card.flow = eCapture;
  card.interfaceName = u"Halvern Sound Capture";
  card.friendlyName = u"Line (Halvern Sound Capture)";
  card.description = u"Line";
  card.deviceFormat = card.mixFormat = simaudio::MakePcmFormat(48000, 2, 16);
  simaudio::AddEndpoint(card);
  simaudio::SetCaptureSource(
      kCardId, [](BYTE* data, UINT32 frames, const WAVEFORMATEX& format, UINT64 position) {
        auto* samples = reinterpret_cast<std::int16_t*>(data);
        for (UINT32 i = 0; i < frames; ++i) {
          const double phase =
              2 * std::numbers::pi * 997.0 * static_cast<double>(position + i) / 48000.0;
          const auto value = static_cast<std::int16_t>(16000 * std::sin(phase));
          for (int c = 0; c < format.nChannels; ++c) samples[i * format.nChannels + c] = value;
        }
      });
  for (int d = 0; d < devices; ++d) {
    simaudio::EndpointDesc speaker;
    speaker.id = u"{bench-speaker-" + std::u16string(1, static_cast<char16_t>(u'a' + d)) + u"}";
    speaker.flow = eRender;
    speaker.interfaceName = u"Bench Audio";
    speaker.friendlyName = u"Speakers (Bench Audio)";
    speaker.description = u"Speakers";
    speaker.deviceFormat = speaker.mixFormat = simaudio::MakeFloatFormat(44100, 2);
    simaudio::AddEndpoint(speaker);
  }
}

void BM_RoutingCpuShare(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  TraceUseSharedBlockName("QKDEBUG_BENCH_ROUTE_" + std::to_string(GetCurrentProcessId()));
  TraceInitEx(nullptr, kTraceToDebugger, nullptr, kTraceLevelError, true);
  simaudio::Reset();
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  AddMachine(devices);
  platform::TComPtr<IMMDeviceEnumerator> enumerator;
  CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                   enumerator.PutVoid());
  {
    std::vector<platform::TComPtr<CAudioRenderer>> renderers;
    platform::TComPtr<CAudioCapturer> capturer(new CAudioCapturer(enumerator.Get()));
    capturer->SelectEndpoint(kCardId);
    capturer->Initialize(true, 1, 30, nullptr);
    capturer->Start();
    for (int d = 0; d < devices; ++d) {
      const std::u16string id =
          u"{bench-speaker-" + std::u16string(1, static_cast<char16_t>(u'a' + d)) + u"}";
      renderers.emplace_back(new CAudioRenderer(enumerator.Get()));
      renderers.back()->SelectEndpoint(id.c_str());
      renderers.back()->Initialize(true, 1, 40, &capturer->GetFormat()->Format);
      capturer->AddRenderer(renderers.back().Get());
      renderers.back()->Start();
    }
    std::this_thread::sleep_for(kWarmUp);
    const std::vector<DWORD> threads = halvern::testing::TracedThreadsBesidesThis();
    if (threads.size() != static_cast<std::size_t>(devices) + 1)
      state.SkipWithError("not every streaming thread is running");

    CThreadUsage streaming;
    double process = 0, wall = 0;
    for (auto _ : state) {
      const CThreadUsage before = UsageOf(threads);
      const double processBefore = CpuSecondsOf(CLOCK_PROCESS_CPUTIME_ID);
      const auto start = Clock::now();
      std::this_thread::sleep_for(kMeasured);
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      streaming.AddSpan(before, UsageOf(threads));
      process += CpuSecondsOf(CLOCK_PROCESS_CPUTIME_ID) - processBefore;
      wall += seconds;
      state.SetIterationTime(seconds);
    }
    // Percent of one core per second of routed audio; the whole process includes the simulated
    // engine and the trace writer.
    state.counters["streaming_threads_pct"] = 100 * streaming.cpu / wall;
    state.counters["sleeps_per_s"] = streaming.sleeps / wall;
    state.counters["whole_process_pct"] = 100 * process / wall;

    for (auto& renderer : renderers) renderer->Stop();
    capturer->Stop();
    for (auto& renderer : renderers) {
      capturer->RemoveRenderer(renderer.Get());
      renderer->Shutdown();
    }
    capturer->Shutdown();
  }
  enumerator.Reset();
  CoUninitialize();
  simaudio::Reset();
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  TraceUseSharedBlockName("");
}
BENCHMARK(BM_RoutingCpuShare)
    ->Arg(1)
    ->Arg(4)
    ->Arg(11)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

#endif
