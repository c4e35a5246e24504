#include "router/audio_router.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "endpoints/map_audio_error.h"
#include "trace/trace.h"
#include "trace/trace_scope.h"

namespace halvern {
namespace {

constexpr char kAudiorouterError[] = "Audiorouter ERROR";
constexpr char16_t kVirtualCardName[] = u"Halvern Sound Capture";

std::string Utf8(const WCHAR* text) {
  return text != nullptr ? platform::Utf16ToUtf8(text) : std::string("(null)");
}

// Length of a fixed record field that may lack its terminator: never reads past the field.
std::size_t FieldLength(const WCHAR* field, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && field[length] != 0) ++length;
  return length;
}

platform::WString CopyId(LPCWSTR id) {
  return id != nullptr ? platform::WString(id) : platform::WString();
}

}  // namespace

CAudioRouter::CAudioRouter() = default;

CAudioRouter::~CAudioRouter() { Close(); }

void CAudioRouter::Close() {
  if (m_Enumerator.Get() != nullptr && m_NotificationsRegistered)
    m_Enumerator->UnregisterEndpointNotificationCallback(this);
  m_NotificationsRegistered = false;
  // No notification work may run once the map starts to go.
  m_Worker.Stop(CNotificationWorker::kWorkerStopTimeoutMs);
  // The endpoints are freed rather than left behind: the owner unloads us only once it is done.
  CZubThreadMutexLock lock(m_Lock);
  CAudioCapturer* capture = GetCaptureDevice();
  for (auto& [id, endpoint] : m_Devices) {
    if (endpoint == capture) continue;
    DestroyRenderer(static_cast<CAudioRenderer*>(endpoint), capture);
  }
  if (capture != nullptr) {
    capture->Shutdown();
    capture->Release();
  }
  m_Devices.clear();
  m_Enumerator.Reset();
}

HRESULT STDMETHODCALLTYPE CAudioRouter::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMMNotificationClient)) {
    AddRef();
    *object = static_cast<IMMNotificationClient*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CAudioRouter::AddRef() { return ++m_RefCount; }

ULONG STDMETHODCALLTYPE CAudioRouter::Release() {
  const ULONG count = --m_RefCount;
  if (count == 0) delete this;
  return count;
}

// ---------------------------------------------------------------------------------------------
// Notifications. Windows forbids blocking and final releases of device objects in these
// callbacks, and a stop waits for a streaming thread; so every callback only queues its work.
// Running all of it on one worker keeps the host's events in the order Windows raised them.

HRESULT STDMETHODCALLTYPE CAudioRouter::OnDeviceStateChanged(LPCWSTR endpointId, DWORD newState) {
  m_Worker.Post([this, id = CopyId(endpointId), newState] { HandleStateChanged(id, newState); });
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioRouter::OnDeviceAdded(LPCWSTR endpointId) {
  m_Worker.Post([this, id = CopyId(endpointId)] {
    CTraceScope scope("CAudioRouter::OnDeviceAdded");
    Notify(id.c_str(), kRouterEventAdded, false, 0);
  });
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioRouter::OnDeviceRemoved(LPCWSTR endpointId) {
  m_Worker.Post([this, id = CopyId(endpointId)] {
    CTraceScope scope("CAudioRouter::OnDeviceRemoved");
    Notify(id.c_str(), kRouterEventRemoved, false, 0);
  });
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioRouter::OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                               LPCWSTR endpointId) {
  m_Worker.Post([this, id = CopyId(endpointId), nullId = endpointId == nullptr, flow, role] {
    HandleDefaultChanged(id, nullId, flow, role);
  });
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioRouter::OnPropertyValueChanged(LPCWSTR endpointId,
                                                               const PROPERTYKEY key) {
  m_Worker.Post([this, id = CopyId(endpointId), key] { HandlePropertyChanged(id, key); });
  return S_OK;
}

void CAudioRouter::HandleStateChanged(const platform::WString& id, DWORD state) {
  CTraceScope scope("CAudioRouter::OnDeviceStateChanged");
  switch (state) {
    case DEVICE_STATE_ACTIVE:
      // An endpoint that comes (back) is reported as added only; it is not also removed and
      // stopped.
      Notify(id.c_str(), kRouterEventAdded, false, 0);
      break;
    case DEVICE_STATE_DISABLED:
    case DEVICE_STATE_NOTPRESENT:
    case DEVICE_STATE_UNPLUGGED: {
      Notify(id.c_str(), kRouterEventRemoved, false, 0);
      // The lock keeps a host Shutdown from freeing the endpoint while it stops.
      CZubThreadMutexLock lock(m_Lock);
      if (CAudioWASAPIBase* endpoint = GetWASAPIAudioDevice(id.c_str())) endpoint->Stop();
      break;
    }
    default:
      break;
  }
}

void CAudioRouter::HandleDefaultChanged(const platform::WString& id, bool nullId, EDataFlow flow,
                                        ERole role) {
  CTraceScope scope("CAudioRouter::OnDefaultDeviceChanged");
  if (role != eConsole && role != eCommunications) return;
  Notify(nullId ? nullptr : id.c_str(), kRouterEventDefaultChanged, flow == eCapture,
         static_cast<std::int32_t>(role));
}

void CAudioRouter::HandlePropertyChanged(const platform::WString& id, const PROPERTYKEY& key) {
  CTraceScope scope("CAudioRouter::OnPropertyValueChanged");
  {
    CZubThreadMutexLock lock(m_Lock);
    GetWASAPIAudioDevice(id.c_str());  // only for its line when the router does not hold it
  }
  // The whole device-format property set counts; the property id is not compared.
  if (IsEqualGUID(key.fmtid, PKEY_AudioEngine_DeviceFormat.fmtid))
    Notify(id.c_str(), kRouterEventFormatChanged, false, 0);
}

// The handler is called without the router lock: a host delegate may call back into us.
void CAudioRouter::Notify(const WCHAR* endpointId, std::int32_t event, bool flag,
                          std::int32_t value) {
  DeviceEventHandler handler;
  {
    std::lock_guard lock(m_HandlerLock);
    handler = m_DeviceEventHandler;
  }
  if (handler) handler(endpointId, event, flag, value);
}

void CAudioRouter::SetDeviceEventHandler(DeviceEventHandler handler) {
  std::lock_guard lock(m_HandlerLock);
  m_DeviceEventHandler = std::move(handler);
}

bool CAudioRouter::IsRunning() {
  CZubThreadMutexLock lock(m_Lock);
  return m_Running;
}

// ---------------------------------------------------------------------------------------------
// The device map

HRESULT CAudioRouter::CreateEnumerator() {
  return CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                          reinterpret_cast<void**>(m_Enumerator.Put()));
}

std::uint32_t CAudioRouter::AddDevice(const WCHAR* endpointId, bool isCapture,
                                      std::uint32_t latencyMs) {
  CTraceScope scope("CAudioRouter::AddDevice");
  constexpr char kFunction[] = "CAudioRouter::AddDevice";
  if (latencyMs > kMaxLatencyMs) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Latency of %u ms is more than %u ms",
          kFunction, static_cast<unsigned>(latencyMs), static_cast<unsigned>(kMaxLatencyMs));
    return ResultFailed;
  }
  if (endpointId == nullptr || endpointId[0] == 0) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - No endpoint id given", kFunction);
    return ResultFailed;
  }
  CZubThreadMutexLock lock(m_Lock);
  if (m_Running) {
    Trace(kTraceLevelError, kTraceAllContexts,
          "%s() - Couldn't add device %s while router is running", kFunction,
          Utf8(endpointId).c_str());
    return ResultRouter;
  }
  HRESULT hr = S_OK;
  if (m_Enumerator.Get() == nullptr) hr = CreateEnumerator();
  if (SUCCEEDED(hr) && !m_NotificationsRegistered) {
    // Tried once, whatever the outcome: a failed registration is reported once, not retried.
    m_NotificationsRegistered = true;
    hr = m_Worker.Start() ? m_Enumerator->RegisterEndpointNotificationCallback(this) : E_FAIL;
  }
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to create device enumerator: %x",
          kFunction, static_cast<unsigned>(hr));
    return ResultFailed;
  }

  int renderCount = 0;
  WAVEFORMATEXTENSIBLE captureFormat{};
  for (auto& [id, endpoint] : m_Devices) {
    if (auto* capture = dynamic_cast<CAudioCapturer*>(endpoint))
      std::memcpy(&captureFormat, capture->GetFormat(), sizeof(captureFormat));
    else
      ++renderCount;
  }
  if (renderCount > kMaxRenderDevicesBeforeAdd) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Max number of render devices exceeded: %d",
          kFunction, renderCount);
    return ResultTooManyDevices;
  }
  if (m_Devices.count(endpointId) != 0) return MapAudioError(kFunction, kAudiorouterError, hr);

  CAudioWASAPIBase* endpoint = nullptr;
  if (isCapture) {
    endpoint = new CAudioCapturer(m_Enumerator.Get());
    DeviceEndpointRecord record{};
    std::memcpy(record.interfaceName, kVirtualCardName, sizeof(kVirtualCardName));
    record.dataFlow = DataFlowCapture;
    record.isDefault = 0;
    record.visible = 1;
    hr = ConfigureEndpoint(&record);
    if (FAILED(hr)) {
      Trace(kTraceLevelError, kTraceAllContexts, "%s() - Couldn't activate Kovra capture device %x",
            kFunction, static_cast<unsigned>(hr));
      endpoint->Release();
      return ResultCaptureDevice;
    }
  } else {
    endpoint = new CAudioRenderer(m_Enumerator.Get());
  }
  hr = endpoint->SelectEndpoint(endpointId);
  if (SUCCEEDED(hr))
    hr = endpoint->Initialize(
        true, 1, latencyMs, captureFormat.Format.wFormatTag != 0 ? &captureFormat.Format : nullptr);
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Unable to add device: %d", kFunction,
          renderCount);
    endpoint->Shutdown();
    endpoint->Release();
    return MapAudioError(kFunction, kAudiorouterError, hr);
  }
  m_Devices.emplace(endpointId, endpoint);
  return MapAudioError(kFunction, kAudiorouterError, hr);
}

// A removed render endpoint is stopped, detached and freed at once, so it neither keeps playing
// nor leaks. The capture endpoint stays: it lives as long as the router, and the meters need it.
std::uint32_t CAudioRouter::RemoveDevice(const WCHAR* endpointId) {
  if (endpointId == nullptr) return ResultOk;
  CZubThreadMutexLock lock(m_Lock);
  const auto found = m_Devices.find(endpointId);
  if (found == m_Devices.end()) return ResultOk;
  auto* renderer = dynamic_cast<CAudioRenderer*>(found->second);
  if (renderer == nullptr) {
    Trace(kTraceLevelWarning, kTraceAllContexts, "%s() - The capture device stays: %s",
          "CAudioRouter::RemoveDevice", Utf8(endpointId).c_str());
    return ResultOk;
  }
  m_Devices.erase(found);
  DestroyRenderer(renderer, GetCaptureDevice());
  return ResultOk;
}

void CAudioRouter::DestroyRenderer(CAudioRenderer* renderer, CAudioCapturer* capture) {
  renderer->Shutdown();
  // Detached under the capture endpoint's own lock, so no packet is being pushed into it after.
  if (capture != nullptr) capture->RemoveRenderer(renderer);
  m_Attached.erase(renderer);
  renderer->Release();
}

HRESULT CAudioRouter::Start() {
  CTraceScope scope("CAudioRouter::Start");
  constexpr char kFunction[] = "CAudioRouter::Start";
  CZubThreadMutexLock lock(m_Lock);
  if (m_Running) {
    Trace(kTraceLevelWarning, kTraceAllContexts, "%s() - Router is already started", kFunction);
    return S_OK;
  }
  CAudioCapturer* capture = GetCaptureDevice();
  if (capture == nullptr) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - No capture device available", kFunction);
    m_Running = false;
    Stop(false);
    return E_FAIL;
  }
  HRESULT hr = S_OK;
  for (auto& [id, endpoint] : m_Devices) {
    if (auto* renderer = dynamic_cast<CAudioRenderer*>(endpoint)) {
      // Attached once: a render endpoint left attached by a failed Start would else get every
      // packet twice.
      if (m_Attached.insert(renderer).second) capture->AddRenderer(renderer);
    }
    hr = endpoint->Start();
    if (FAILED(hr)) {
      MapAudioError(kFunction, "Couldn't start WASAPI device", hr);
      endpoint->DumpEndpointInfo();
      break;
    }
  }
  if (SUCCEEDED(hr)) {
    m_Running = true;
    return hr;
  }
  m_Running = false;
  Stop(false);
  return hr;
}

HRESULT CAudioRouter::Stop(bool stopCapture) {
  CTraceScope scope("CAudioRouter::Stop");
  constexpr char kFunction[] = "CAudioRouter::Stop";
  CZubThreadMutexLock lock(m_Lock);
  HRESULT hr = S_OK;
  for (auto& [id, endpoint] : m_Devices) {
    const bool isCapture = dynamic_cast<CAudioCapturer*>(endpoint) != nullptr;
    if (isCapture) {
      Trace(kTraceLevelDetail, kTraceAllContexts,
            stopCapture ? "%s() - Stop capture device:"
                        : "%s() - Don't stop capture device (required for level metering):",
            kFunction);
      endpoint->DumpEndpointInfo();
      if (!stopCapture) continue;
    }
    hr = endpoint->Stop();
    if (FAILED(hr)) {
      MapAudioError(kFunction, "Couldn't stop WASAPI device:", hr);
      endpoint->DumpEndpointInfo();
    }
  }
  m_Running = false;
  return hr;
}

HRESULT CAudioRouter::Shutdown(bool stopCapture) {
  CTraceScope scope("CAudioRouter::Shutdown");
  CZubThreadMutexLock lock(m_Lock);
  const HRESULT hr = Stop(stopCapture);
  if (SUCCEEDED(hr)) {
    CAudioCapturer* capture = GetCaptureDevice();
    for (auto entry = m_Devices.begin(); entry != m_Devices.end();) {
      if (entry->second == capture) {
        ++entry;
        continue;
      }
      auto* renderer = static_cast<CAudioRenderer*>(entry->second);
      entry = m_Devices.erase(entry);
      DestroyRenderer(renderer, capture);
    }
  }
  m_Running = false;
  return hr;
}

CAudioWASAPIBase* CAudioRouter::GetWASAPIAudioDevice(const WCHAR* endpointId) {
  CZubThreadMutexLock lock(m_Lock);
  if (endpointId != nullptr) {
    const auto found = m_Devices.find(endpointId);
    if (found != m_Devices.end()) return found->second;
  }
  Trace(kTraceLevelError, kTraceAllContexts, "%s() - Device not in list: %s",
        "CAudioRouter::GetWASAPIAudioDevice", Utf8(endpointId).c_str());
  return nullptr;
}

void CAudioRouter::ForEachDevice(const DeviceEventHandler& visitor) {
  if (!visitor) throw std::bad_function_call();
  CZubThreadMutexLock lock(m_Lock);
  std::int32_t index = 0;
  for (auto& [id, endpoint] : m_Devices)
    visitor(id.c_str(), index++, dynamic_cast<CAudioCapturer*>(endpoint) != nullptr, 0);
}

CAudioCapturer* CAudioRouter::GetCaptureDevice() {
  CAudioCapturer* capture = nullptr;
  CZubThreadMutexLock lock(m_Lock);
  ForEachDevice([&](const WCHAR* id, std::int32_t, bool isCapture, std::int32_t) {
    if (isCapture) capture = static_cast<CAudioCapturer*>(m_Devices.find(id)->second);
  });
  return capture;
}

// ---------------------------------------------------------------------------------------------
// Configuration

HRESULT CAudioRouter::ConfigureEndpoint(const DeviceEndpointRecord* record) {
  CTraceScope scope("CAudioRouter::ConfigureEndpoint");
  if (record == nullptr) return E_POINTER;
  CZubThreadMutexLock lock(m_Lock);
  HRESULT hr = S_OK;
  if (m_Enumerator.Get() == nullptr) hr = CreateEnumerator();
  platform::WString id;
  const HRESULT chosen = ChooseConfiguredEndpoint(*record, &id);
  if (chosen != S_OK) hr = chosen;
  if (SUCCEEDED(hr) && record->role > eCommunications) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - Invalid role %u",
          "CAudioRouter::ConfigureEndpoint", static_cast<unsigned>(record->role));
    hr = E_INVALIDARG;
  }
  if (SUCCEEDED(hr)) {
    CDeviceManager manager(m_Enumerator.Get());
    hr = manager.SelectDevice(id.c_str());
    if (SUCCEEDED(hr)) hr = manager.SetVisible(record->visible != 0);
    if (SUCCEEDED(hr) && record->isDefault == 1)
      hr = MakeDefault(manager, id, record->dataFlow != 0 ? eCapture : eRender,
                       static_cast<ERole>(record->role));
  }
  return hr;
}

// S_OK with the id when the record names a usable one; the look-up's status for a name; a
// failure when neither field holds 1 to 127 characters.
HRESULT CAudioRouter::ChooseConfiguredEndpoint(const DeviceEndpointRecord& record,
                                               platform::WString* id) {
  constexpr std::size_t kChars = sizeof(record.id) / sizeof(record.id[0]);
  const auto* recordId = reinterpret_cast<const WCHAR*>(record.id);
  const std::size_t idLength = FieldLength(recordId, kChars);
  if (idLength >= 1 && idLength <= kMaxRecordNameChars) {
    id->assign(recordId, idLength);
    return S_OK;
  }
  const auto* name = reinterpret_cast<const WCHAR*>(record.interfaceName);
  const std::size_t nameLength = FieldLength(name, kChars);
  if (nameLength < 1 || nameLength > kMaxRecordNameChars) {
    Trace(kTraceLevelError, kTraceAllContexts, "%s() - No usable endpoint id or name in record",
          "CAudioRouter::ConfigureEndpoint");
    return E_INVALIDARG;
  }
  EndpointInfo info{};
  const platform::WString wanted(name, nameLength);
  const HRESULT hr = CDeviceManager::FindDeviceByName(record.dataFlow != 0, wanted.c_str(), &info);
  if (SUCCEEDED(hr)) id->assign(info.id, FieldLength(info.id, EndpointInfo::kChars));
  return hr;
}

// The policy object is asked only when the endpoint is not the default of that role already.
HRESULT CAudioRouter::MakeDefault(CDeviceManager& manager, const platform::WString& id,
                                  EDataFlow flow, ERole role) {
  platform::TComPtr<IMMDevice> current;
  if (SUCCEEDED(m_Enumerator->GetDefaultAudioEndpoint(flow, role, current.Put()))) {
    platform::CCoTaskMemString currentId;
    if (SUCCEEDED(current->GetId(currentId.Put())) && currentId.Get() != nullptr &&
        id == currentId.Get())
      return S_OK;
  }
  return manager.SetDefaultEndpoint(static_cast<UINT32>(role));
}

}  // namespace halvern
