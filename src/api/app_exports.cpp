// The application exports. Each one catches everything: no exception ever reaches the host.
#include <atomic>
#include <cstdlib>
#include <new>

#include "api/halvern_vad_api_app.h"
#include "kovra_api.h"
#include "trace/trace.h"

namespace {

std::atomic<bool> g_ProcessEnding{false};

// Constructed when the library is loaded, destroyed when it is unloaded; left alone when the
// process ends, where stopping endpoints whose audio threads the system has already ended would
// never return.
class CAppHolder {
 public:
  CAppHolder() { new (m_Storage) halvern::CHalvernVADApiApp; }
  ~CAppHolder() {
    if (!g_ProcessEnding.load()) App().~CHalvernVADApiApp();
  }
  halvern::CHalvernVADApiApp& App() {
    return *std::launder(reinterpret_cast<halvern::CHalvernVADApiApp*>(m_Storage));
  }

 private:
  alignas(halvern::CHalvernVADApiApp) unsigned char m_Storage[sizeof(halvern::CHalvernVADApiApp)];
};
CAppHolder g_Holder;
halvern::CHalvernVADApiApp& g_App = g_Holder.App();

void CloseAtUnload() {
  if (!g_ProcessEnding.load()) g_App.Close();
}

// The application object is built before the trace library's statics of this module, so its own
// destructor would run after theirs. The router's endpoints and worker trace as they go: close
// them from a handler registered after the first export has run, which runs before any of those
// destructors, at unload and at exit alike.
// A static object, not atexit: its destructor runs when this module is unloaded, where glibc runs
// an atexit handler only at process exit.
struct CCloser {
  ~CCloser() { CloseAtUnload(); }
};
void CloseAtUnloadOnce() {
  static const CCloser closer;
  (void)closer;
}

// What an export returns when its body threw: a failure in the export's own terms.
template <class Result, class Body>
Result Guarded(const char* function, Result failed, Body body) noexcept {
  try {
    Result result = body();
    CloseAtUnloadOnce();
    return result;
  } catch (...) {
    try {
      halvern::Trace(halvern::kTraceLevelError, halvern::kTraceAllContexts,
                     "%s() - Unexpected exception", function);
    } catch (...) {
    }
    return failed;
  }
}

}  // namespace

void halvern::NoteProcessEnding() { g_ProcessEnding = true; }

namespace halvern {
CHalvernVADApiApp& KovraApiApp() { return g_App; }
}  // namespace halvern

extern "C" {

int32_t KOVRA_CALL KovraApi_Initialize(const KovraChar16* logPath) {
  return Guarded("KovraApi_Initialize", int32_t{0}, [&] { return g_App.Initialize(logPath); });
}

uint32_t KOVRA_CALL KovraApi_StartCapturer(uint32_t latencyMs) {
  return Guarded("KovraApi_StartCapturer", uint32_t{ResultFailed},
                 [&] { return g_App.StartCapturer(latencyMs); });
}

uint32_t KOVRA_CALL KovraApi_AddDevice(const KovraChar16* endpointId, uint32_t latencyMs) {
  return Guarded("KovraApi_AddDevice", uint32_t{ResultFailed},
                 [&] { return g_App.AddDevice(endpointId, latencyMs); });
}

uint32_t KOVRA_CALL KovraApi_RemoveDevice(const KovraChar16* endpointId) {
  return Guarded("KovraApi_RemoveDevice", uint32_t{ResultOk},
                 [&] { return g_App.RemoveDevice(endpointId); });
}

uint32_t KOVRA_CALL KovraApi_EnableRouting(bool enable, bool stopCapture) {
  return Guarded("KovraApi_EnableRouting", uint32_t{enable ? ResultRouter : ResultOk},
                 [&] { return g_App.EnableRouting(enable, stopCapture); });
}

uint32_t KOVRA_CALL KovraApi_ConfigureDeviceEndpoint(const DeviceEndpointRecord* record) {
  return Guarded("KovraApi_ConfigureDeviceEndpoint", uint32_t{ResultFailed},
                 [&] { return g_App.ConfigureDeviceEndpoint(record); });
}

uint32_t KOVRA_CALL KovraApi_SetKovraPlaybackDefaultDevice(bool communications) {
  return Guarded("KovraApi_SetKovraPlaybackDefaultDevice", uint32_t{ResultFailed},
                 [&] { return g_App.SetKovraPlaybackDefaultDevice(communications); });
}

void KOVRA_CALL KovraApi_SetKovraDelegate(KovraDelegate callback) { g_App.SetDelegate(callback); }

bool KOVRA_CALL KovraApi_GetAudioInputDevices(void) {
  return Guarded("KovraApi_GetAudioInputDevices", false,
                 [] { return g_App.GetAudioDevices(true); });
}

bool KOVRA_CALL KovraApi_GetAudioOutputDevices(void) {
  return Guarded("KovraApi_GetAudioOutputDevices", false,
                 [] { return g_App.GetAudioDevices(false); });
}

bool KOVRA_CALL KovraApi_GetPeakValues(void) {
  return Guarded("KovraApi_GetPeakValues", false, [] { return g_App.GetPeakValues(); });
}

bool KOVRA_CALL KovraApi_GetGain(void) {
  return Guarded("KovraApi_GetGain", false, [] { return g_App.GetGain(); });
}

bool KOVRA_CALL KovraApi_SetGain(const float gainsDb[2]) {
  return Guarded("KovraApi_SetGain", false, [&] { return g_App.SetGain(gainsDb); });
}

}  // extern "C"
