// halvern-route: the library's main job from the command line. It loads HalvernVAD_Router and uses
// only its exports, as any host does: lists the endpoints, or captures the virtual card and plays
// it on the chosen devices with live peak meters. Without Windows it builds a simulated machine
// first (a virtual card fed by a tone or a WAV file, output devices that record what they get) and
// ends with a table that judges what every device played.
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kovra_library.h"
#include "options.h"
#include "text.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#define HALVERN_ROUTE_ISATTY(fd) _isatty(fd)
#else
#include <sys/resource.h>
#include <unistd.h>

#include "platform/debug_output.h"
#include "platform/win32.h"
#include "sim_machine.h"
#include "summary.h"
#define HALVERN_ROUTE_ISATTY(fd) isatty(fd)
#endif

#if defined(__SANITIZE_THREAD__)
// glibc frees a loaded library's thread-local blocks as each of its threads ends, in a way
// ThreadSanitizer does not see as ordered after the thread's own last writes.
extern "C" const char* __tsan_default_suppressions() { return "race:_dl_deallocate_tls\n"; }
#endif

namespace halvern::route {
namespace {

// Exit codes: 0 done, 1 the library refused or failed, 2 bad command line, 3 library not found.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoLibrary = 3;

// ---- What the delegate delivers. It may run on Windows' notification thread, so it only copies.

struct Event {
  int code = 0;
  std::string text;
};

struct DelegateState {
  std::mutex mutex;
  std::vector<DeviceEndpointRecord> inputs, outputs;
  float values[2] = {0, 0};
  bool haveValues = false;
  std::deque<Event> events;
};
DelegateState g_state;

void KOVRA_CALL OnKovraEvent(int32_t code, void* data) {
  std::lock_guard lock(g_state.mutex);
  switch (code) {
    case InputDevices:
    case OutputDevices: {
      const auto* list = static_cast<const DeviceList*>(data);
      auto& target = code == InputDevices ? g_state.inputs : g_state.outputs;
      target.assign(list->records, list->records + list->count);
      break;
    }
    case PeakValues:
    case GainValues:
      std::copy_n(static_cast<const float*>(data), 2, g_state.values);
      g_state.haveValues = true;
      break;
    case DefaultDeviceChanged: {
      const auto* record = static_cast<const DeviceEndpointRecord*>(data);
      g_state.events.push_back(
          {code, ToUtf8(record->friendlyName) + " (role " + std::to_string(record->role) + ")"});
      break;
    }
    default: {  // 1, 2, 3: an endpoint id, shown with its name when the outputs list has it
      std::string text = ToUtf8(static_cast<const KovraChar16*>(data), 256);
      for (const auto& r : g_state.outputs)
        if (ToUtf8(r.id) == text) text = ToUtf8(r.friendlyName) + " " + text;
      g_state.events.push_back({code, text});
    }
  }
}

std::string EventText(const Event& e) {
  switch (e.code) {
    case DeviceAdded:
      return "device added: " + e.text;
    case DeviceRemoved:
      return "device removed: " + e.text;
    case DeviceFormatChanged:
      return "device format changed: " + e.text;
    case DefaultDeviceChanged:
      return "default device changed: " + e.text;
    default:
      return "event " + std::to_string(e.code) + ": " + e.text;
  }
}

void PrintEvents() {
  std::deque<Event> events;
  {
    std::lock_guard lock(g_state.mutex);
    events.swap(g_state.events);
  }
  for (const Event& e : events) std::printf("%s\n", EventText(e).c_str());
}

// ---- Process CPU time, for the summary.

double CpuSeconds() {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                               t.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) { g_interrupted = true; }

// ---- Meters.

std::string Bar(float db) {
  constexpr int kWidth = 30;  // -60 dB .. 0 dB
  const int filled =
      std::clamp(static_cast<int>(std::lround((db + 60.0f) / 60.0f * kWidth)), 0, kWidth);
  return std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(kWidth - filled), '.');
}

void ShowMeters(KovraLibrary& lib, bool terminal, int tick) {
  if (!lib.KovraApi_GetPeakValues()) return;
  float v[2];
  {
    std::lock_guard lock(g_state.mutex);
    std::copy_n(g_state.values, 2, v);
  }
  if (terminal) {
    std::printf("\rL %s %6.1f dB   R %s %6.1f dB ", Bar(v[0]).c_str(), v[0], Bar(v[1]).c_str(),
                v[1]);
    std::fflush(stdout);
  } else if (tick % 10 == 0) {  // a log gets one line a second, not a redrawn one
    std::printf("peaks L %.1f dB R %.1f dB\n", v[0], v[1]);
  }
}

// ---- The library session shared by both sub-commands.

int Fail(const std::string& text, int code) {
  std::fprintf(stderr, "halvern-route: %s\n", text.c_str());
  return code;
}

std::string RoleText(const DeviceEndpointRecord& r) {
  if (!r.isDefault) return "";
  return r.role == RoleCommunications ? "communications"
         : r.role == RoleConsole      ? "console"
                                      : "multimedia";
}

void PrintTable(const char* title, const std::vector<DeviceEndpointRecord>& records) {
  std::printf("%s (%zu)\n", title, records.size());
  std::printf("  %-44s %-28s %-24s %-22s %s\n", "id", "name", "adapter", "format", "default");
  for (const auto& r : records) {
    char format[64];
    std::snprintf(format, sizeof format, "%u Hz %u ch %u bit", r.sampleRate, r.channels,
                  r.bitsPerSample);
    std::printf("  %-44s %-28s %-24s %-22s %s\n", ToUtf8(r.id).c_str(),
                ToUtf8(r.friendlyName).c_str(), ToUtf8(r.interfaceName).c_str(), format,
                RoleText(r).c_str());
  }
}

struct PlayOptions {
  std::vector<std::string> to;
  // The library's 20 ms blocks need room in the device buffer (its period plus this latency):
  // with less than about 30 ms on top they are dropped whenever the engine is a little behind.
  unsigned latencyMs = 50;
  std::string gain;
  double seconds = 0;  // 0: until Ctrl-C
  std::string log;
  int cardRate = 48000;
  std::string source = "tone:997@-12";  // loud enough, and no device clips after its converter
  std::vector<std::string> outputs;
  std::string record;
  std::vector<std::string> unplug;
};

// Devices named by --to: an exact id, or a case-sensitive part of the friendly name.
bool ChooseDevices(const PlayOptions& o, const std::vector<DeviceEndpointRecord>& outputs,
                   std::vector<const DeviceEndpointRecord*>* chosen) {
  if (o.to.empty()) {
    for (const auto& r : outputs) chosen->push_back(&r);
    return true;
  }
  for (const std::string& wanted : o.to) {
    const DeviceEndpointRecord* found = nullptr;
    for (const auto& r : outputs)
      if (ToUtf8(r.id) == wanted || ToUtf8(r.friendlyName).find(wanted) != std::string::npos)
        found = found ? found : &r;
    if (!found) return Fail("no output device '" + wanted + "'", kExitUsage), false;
    chosen->push_back(found);
  }
  return true;
}

#if !defined(_WIN32)
struct Machine {
  std::unique_ptr<SimMachine> sim;
  std::vector<UnplugSpec> unplug;
};

// Overflow warnings of the library's ring buffers carry a running count ("LOGCOUNT: n").
std::atomic<std::uint64_t> g_overflows{0};
void CountWarnings(void*, const char* line) {
  const char* at = std::strstr(line, "BUFFER OVERWRITE  <LOGCOUNT: ");
  if (!at) return;
  const auto n = std::strtoull(at + std::strlen("BUFFER OVERWRITE  <LOGCOUNT: "), nullptr, 10);
  for (auto seen = g_overflows.load(); n > seen && !g_overflows.compare_exchange_weak(seen, n);) {
  }
}

int BuildMachine(const PlayOptions& o, Machine* machine) {
  auto source = ParseSource(o.source);
  if (!source.value) return Fail(source.error, kExitUsage);
  if (auto* tone = std::get_if<ToneSource>(&*source.value)) tone->cardRate = o.cardRate;
  std::vector<OutputSpec> outputs;
  for (const std::string& text : o.outputs) {
    const auto parsed = ParseOutput(text);
    if (!parsed.value) return Fail(parsed.error, kExitUsage);
    outputs.push_back(*parsed.value);
  }
  if (outputs.empty()) outputs = DefaultOutputs();
  for (const std::string& text : o.unplug) {
    const auto parsed = ParseUnplug(text);
    if (!parsed.value) return Fail(parsed.error, kExitUsage);
    if (std::none_of(outputs.begin(), outputs.end(),
                     [&](const OutputSpec& s) { return s.name == parsed.value->name; }))
      return Fail("--unplug: no output named '" + parsed.value->name + "'", kExitUsage);
    machine->unplug.push_back(*parsed.value);
  }
  std::string error;
  machine->sim = SimMachine::Create(*source.value, outputs, &error);
  if (!machine->sim) return Fail(error, kExitUsage);
  halvern::platform::SetDebugOutputSink(CountWarnings, nullptr);
  return 0;
}
#endif

int Devices(KovraLibrary& lib) {
  lib.KovraApi_Initialize(ToKovra("").c_str());
  lib.KovraApi_SetKovraDelegate(OnKovraEvent);
  if (!lib.KovraApi_GetAudioInputDevices() || !lib.KovraApi_GetAudioOutputDevices())
    return Fail("the library could not list the endpoints", kExitFailed);
  std::lock_guard lock(g_state.mutex);
  PrintTable("Inputs", g_state.inputs);
  PrintTable("Outputs", g_state.outputs);
  return 0;
}

#if defined(_WIN32)
struct Machine {};
#endif

int Play(KovraLibrary& lib, const PlayOptions& o, const std::optional<GainSpec>& gain,
         [[maybe_unused]] Machine& machine) {
  lib.KovraApi_Initialize(ToKovra(o.log).c_str());
  lib.KovraApi_SetKovraDelegate(OnKovraEvent);
  std::printf("looking for the virtual card (up to a minute)...\n");
  if (const unsigned code = lib.KovraApi_StartCapturer(o.latencyMs); code != ResultOk)
    return Fail(code == ResultCaptureDevice
                    ? "the virtual card \"Halvern Sound Capture\" was not found"
                    : "the capturer did not start: result " + std::to_string(code),
                kExitFailed);
  if (!lib.KovraApi_GetAudioOutputDevices()) return Fail("cannot list the outputs", kExitFailed);
  std::vector<DeviceEndpointRecord> outputs;
  {
    std::lock_guard lock(g_state.mutex);
    outputs = g_state.outputs;
  }
  std::vector<const DeviceEndpointRecord*> chosen;
  if (!ChooseDevices(o, outputs, &chosen)) return kExitUsage;
  if (chosen.empty()) return Fail("there is no output device to play on", kExitFailed);
  // The capturer started the router, and devices are added only while it is stopped; the capture
  // endpoint keeps running, so the meters stay live.
  lib.KovraApi_EnableRouting(false, false);
  for (const DeviceEndpointRecord* r : chosen) {
    const unsigned code = lib.KovraApi_AddDevice(r->id, o.latencyMs);
    std::printf("%s: %s\n", ToUtf8(r->friendlyName).c_str(),
                code == ResultOk ? "added" : ("refused, result " + std::to_string(code)).c_str());
    if (code != ResultOk) return kExitFailed;
  }
  if (gain) {
    const float db[2] = {gain->left, gain->right};
    if (!lib.KovraApi_SetGain(db)) std::printf("the capture gain could not be set\n");
  }
  if (const unsigned code = lib.KovraApi_EnableRouting(true, false); code != ResultOk)
    return Fail("routing did not start: result " + std::to_string(code), kExitFailed);

  std::signal(SIGINT, OnInterrupt);
  const bool terminal = HALVERN_ROUTE_ISATTY(1) != 0;
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = CpuSeconds();
#if !defined(_WIN32)
  machine.sim->StartTone();
  std::vector<bool> unplugged(machine.unplug.size(), false);
#endif
  for (int tick = 0; !g_interrupted; ++tick) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (o.seconds > 0 && elapsed >= o.seconds) break;
#if !defined(_WIN32)
    for (std::size_t i = 0; i < machine.unplug.size(); ++i)
      if (!unplugged[i] && elapsed >= machine.unplug[i].seconds) {
        unplugged[i] = machine.sim->Unplug(machine.unplug[i].name);
        if (terminal) std::printf("\n");
        std::printf("unplugging %s\n", machine.unplug[i].name.c_str());
      }
#endif
    {
      std::lock_guard lock(g_state.mutex);
      if (!g_state.events.empty() && terminal) std::printf("\n");
    }
    PrintEvents();
    ShowMeters(lib, terminal, tick);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * (tick + 1)));
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpuPercent = 100 * (CpuSeconds() - cpuStart) / wall;
  if (terminal) std::printf("\n");
  lib.KovraApi_EnableRouting(false, true);
  PrintEvents();

#if !defined(_WIN32)
  std::vector<DeviceSummary> rows;
  for (auto& r : machine.sim->recordings()) {
    rows.push_back(Summarize(*r, machine.sim->sourceStart(), machine.sim->tone()));
    rows.back().underruns = machine.sim->Underruns(*r);
  }
  PrintSummary(rows, g_overflows.load(), cpuPercent);
  if (!o.record.empty()) {
    std::string error;
    if (!machine.sim->WriteWavFiles(o.record, &error)) return Fail(error, kExitFailed);
    std::printf("recordings written to %s\n", o.record.c_str());
  }
#else
  std::printf("CPU: %.2f %% of one core\n", cpuPercent);
#endif
  return 0;
}

}  // namespace
}  // namespace halvern::route

int main(int argc, char** argv) {
  using namespace halvern::route;
  CLI::App app{
      "Routes the Halvern virtual sound card to playback devices through HalvernVAD_Router."};
  app.require_subcommand(1);
  PlayOptions play;
  auto* devices = app.add_subcommand("devices", "List the input and output endpoints");
  auto* playCommand = app.add_subcommand("play", "Play the virtual card on output devices");
  for (CLI::App* command : {devices, playCommand}) {
#if !defined(_WIN32)
    command->add_option("--output", play.outputs,
                        "Simulated output device NAME,RATE,CHANNELS,FORMAT[,skew=PPM] "
                        "(FORMAT: s16, s24, s32, f32); default: three devices");
#endif
    (void)command;
  }
  playCommand->add_option("--to", play.to, "Output device id or part of its name (default: all)");
  playCommand->add_option("--latency", play.latencyMs,
                          "Extra buffer in ms on top of the device period (default 50)");
  playCommand->add_option("--gain", play.gain, "Capture gain L,R in dB");
  playCommand->add_option("--seconds", play.seconds,
                          "Stop after this many seconds (default: Ctrl-C)");
  playCommand->add_option("--log", play.log, "Trace log file of the library");
#if !defined(_WIN32)
  playCommand->add_option("--source", play.source,
                          "tone:HZ[@DBFS] or FILE.wav (default tone:997@-12)");
  playCommand->add_option("--card-rate", play.cardRate, "Rate of the virtual card fed by a tone")
      ->check(CLI::Range(8000, 192000));
  playCommand->add_option("--record", play.record, "Write one WAV per device into this folder");
  playCommand->add_option("--unplug", play.unplug, "Unplug device NAME at SECONDS: NAME@SECONDS");
#endif
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }

  // Everything the user wrote is checked before the library is looked for.
  std::optional<GainSpec> gain;
  if (!play.gain.empty()) {
    const auto parsed = ParseGain(play.gain);
    if (!parsed.value) return Fail(parsed.error, kExitUsage);
    gain = parsed.value;
  }
  Machine machine;
#if !defined(_WIN32)
  if (const int status = BuildMachine(play, &machine)) return status;
#endif
  std::string error;
  auto library = KovraLibrary::Load(&error);
  if (!library) return Fail(error, kExitNoLibrary);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // the library expects its host to have done it
  if (devices->parsed()) return Devices(*library);
  return Play(*library, play, gain, machine);
}
