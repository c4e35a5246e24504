// The router: owns the capture endpoint of the virtual card and the render endpoints it plays to,
// starts and stops them as a group, configures endpoints, and turns Windows' endpoint
// notifications into device events for its owner.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>

#include "base/zub_thread_mutex.h"
#include "devices/device_manager.h"
#include "endpoints/audio_capturer.h"
#include "endpoints/audio_renderer.h"
#include "endpoints/audio_wasapi_base.h"
#include "kovra_api.h"
#include "platform/scoped_resources.h"
#include "platform/utf16.h"
#include "platform/win32.h"
#include "router/device_event_handler.h"
#include "router/notification_worker.h"

namespace halvern {

class CAudioRouter : public IMMNotificationClient {
 public:
  // More render endpoints than this are refused (so at most one more than this can be held).
  static constexpr int kMaxRenderDevicesBeforeAdd = 10;
  // The extra buffer time becomes latency x 10000 in 100-ns units on top of at most 30 ms, a
  // signed 32-bit quantity: anything larger would wrap into a nonsense duration.
  static constexpr std::uint32_t kMaxLatencyMs = (0x7FFFFFFF - 300000) / 10000;
  // Ids and names longer than this in a configuration record are not used.
  static constexpr std::size_t kMaxRecordNameChars = 127;

  CAudioRouter();
  virtual ~CAudioRouter();
  CAudioRouter(const CAudioRouter&) = delete;
  CAudioRouter& operator=(const CAudioRouter&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IMMNotificationClient: each copies its arguments, hands the work to the router's worker and
  // returns S_OK at once.
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR endpointId, DWORD newState) override;
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR endpointId) override;
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR endpointId) override;
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR endpointId) override;
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR endpointId,
                                                   const PROPERTYKEY key) override;

  // Result codes of the public API (0, 1, 10, 11, 12, 200, 201, 202).
  std::uint32_t AddDevice(const WCHAR* endpointId, bool isCapture, std::uint32_t latencyMs);
  std::uint32_t RemoveDevice(const WCHAR* endpointId);
  HRESULT Start();
  HRESULT Stop(bool stopCapture);
  HRESULT Shutdown(bool stopCapture);
  HRESULT ConfigureEndpoint(const DeviceEndpointRecord* record);

  // The pointers stay valid while the caller holds Lock(); the capture endpoint also without it,
  // since it lives as long as the router.
  CAudioWASAPIBase* GetWASAPIAudioDevice(const WCHAR* endpointId);
  // Visits in id order with (id, index, is capture, 0), under Lock(). Throws for an empty visitor.
  void ForEachDevice(const DeviceEventHandler& visitor);
  CAudioCapturer* GetCaptureDevice();

  // Unregisters, ends the notification work and frees every endpoint; the destructor does it too.
  void Close();

  void SetDeviceEventHandler(DeviceEventHandler handler);
  bool IsRunning();
  // Until every notification received so far has been handled; false on timeout.
  bool WaitForNotificationWork(DWORD milliseconds) { return m_Worker.WaitIdle(milliseconds); }

  // Serialises the map and every endpoint operation between host calls and notification work.
  CZubThreadMutex& Lock() { return m_Lock; }

 private:
  using DeviceMap = std::map<platform::WString, CAudioWASAPIBase*>;

  HRESULT CreateEnumerator();
  void HandleStateChanged(const platform::WString& id, DWORD state);
  void HandleDefaultChanged(const platform::WString& id, bool nullId, EDataFlow flow, ERole role);
  void HandlePropertyChanged(const platform::WString& id, const PROPERTYKEY& key);
  void Notify(const WCHAR* endpointId, std::int32_t event, bool flag, std::int32_t value);
  // Frees a render endpoint that is in no map any more.
  void DestroyRenderer(CAudioRenderer* renderer, CAudioCapturer* capture);
  HRESULT ChooseConfiguredEndpoint(const DeviceEndpointRecord& record, platform::WString* id);
  HRESULT MakeDefault(CDeviceManager& manager, const platform::WString& id, EDataFlow flow,
                      ERole role);

  std::atomic<ULONG> m_RefCount{1};
  CZubThreadMutex m_Lock;
  platform::TComPtr<IMMDeviceEnumerator> m_Enumerator;
  std::mutex m_HandlerLock;  // the handler is replaced by the host while the worker calls it
  DeviceEventHandler m_DeviceEventHandler;
  DeviceMap m_Devices;
  // A render endpoint is attached to the capture endpoint once, however often Start runs.
  std::set<CAudioRenderer*> m_Attached;
  bool m_Running = false;
  bool m_NotificationsRegistered = false;
  CNotificationWorker m_Worker;
};

}  // namespace halvern
