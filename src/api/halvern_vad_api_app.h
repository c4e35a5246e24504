// The one application object behind the exports: the router, the host's delegate and the handler
// that turns the router's device events into delegate calls.
#pragma once

#include <atomic>
#include <cstdint>

#include "kovra_api.h"
#include "platform/win32.h"
#include "router/audio_router.h"
#include "router/device_event_handler.h"

namespace halvern {

class CHalvernVADApiApp {
 public:
  // StartCapturer looks for the virtual card this often, this long apart.
  static constexpr int kCaptureLookups = 60;
  static constexpr DWORD kCaptureLookupPauseMs = 1000;

  CHalvernVADApiApp() = default;
  ~CHalvernVADApiApp();
  CHalvernVADApiApp(const CHalvernVADApiApp&) = delete;
  CHalvernVADApiApp& operator=(const CHalvernVADApiApp&) = delete;

  // Nothing reaches the host any more; the router lets go of everything it holds.
  void Close();

  std::int32_t Initialize(const WCHAR* logPath);
  std::uint32_t StartCapturer(std::uint32_t latencyMs);
  std::uint32_t AddDevice(const WCHAR* endpointId, std::uint32_t latencyMs);
  std::uint32_t RemoveDevice(const WCHAR* endpointId);
  std::uint32_t EnableRouting(bool enable, bool stopCapture);
  std::uint32_t ConfigureDeviceEndpoint(const DeviceEndpointRecord* record);
  std::uint32_t SetKovraPlaybackDefaultDevice(bool communications);
  void SetDelegate(KovraDelegate callback) { m_Delegate.store(callback); }
  // Event 21 (capture) or 20 (render).
  bool GetAudioDevices(bool capture);
  bool GetPeakValues();
  bool GetGain();
  bool SetGain(const float gainsDb[2]);

  void HandleDeviceEvent(const WCHAR* endpointId, std::int32_t event, bool flag,
                         std::int32_t value);

  CAudioRouter& Router() { return m_Router; }
  // Tests shorten the pause between look-ups of the virtual card.
  void SetCaptureLookupPause(DWORD milliseconds) { m_LookupPauseMs = milliseconds; }

 private:
  void Deliver(std::int32_t event, void* data);
  void DescribeDefaultDevice(const WCHAR* endpointId, bool capture, std::int32_t role);

  CAudioRouter m_Router;
  bool m_Started = false;
  // Written by the host, read by whichever thread raises an event.
  std::atomic<KovraDelegate> m_Delegate{nullptr};
  DeviceEventHandler m_DeviceEventHandler;
  DWORD m_LookupPauseMs = kCaptureLookupPauseMs;
};

// The library's one instance.
CHalvernVADApiApp& KovraApiApp();

// Told by the entry routine when the process is ending rather than unloading the library: the
// system has already ended every other thread, and the audio stack's own threads with them, so
// the endpoints are left as they are instead of being stopped.
void NoteProcessEnding();

}  // namespace halvern
