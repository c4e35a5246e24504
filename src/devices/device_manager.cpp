#include "devices/device_manager.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "trace/trace.h"
#include "trace/trace_scope.h"

namespace halvern {

namespace {

using platform::CCoTaskMemString;
using platform::CPropVariant;
using platform::TComPtr;

constexpr std::uint32_t kAll = kTraceAllContexts;
constexpr char kSelectDevice[] = "CDeviceManager::SelectDevice";
constexpr char kGetEndpointInfo[] = "CDeviceManager::GetEndpointInfo";
constexpr char kEnumerateEndpoints[] = "CDeviceManager::EnumerateEndpoints";
constexpr char kCreatePolicyConfig[] = "CDeviceManager::CreatePolicyConfig";

// Log formats are UTF-8: wide arguments are converted first.
std::string Narrow(const WCHAR* text) {
  return text != nullptr ? platform::Utf16ToUtf8(text) : std::string("(null)");
}

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

// The one line for a failed call whose failure has no message of its own.
HRESULT LogCallFailure(const char* function, const char* call, HRESULT hr) {
  Trace(kTraceLevelError, kAll, "%s() - %s failed: %x", function, call, Hex(hr));
  return hr;
}

bool Contains(const WCHAR* text, const WCHAR* part) {
  const std::basic_string_view<WCHAR> haystack(text);
  return haystack.find(part) != haystack.npos;
}

// Reads one string property. A longer value comes back cut and terminated with
// STRSAFE_E_INSUFFICIENT_BUFFER, which is still a usable name:
// https://learn.microsoft.com/en-us/windows/win32/api/propvarutil/nf-propvarutil-propvarianttostring
HRESULT ReadString(IPropertyStore* store, const PROPERTYKEY& key, WCHAR* out) {
  CPropVariant value;
  HRESULT hr = store->GetValue(key, value.Put());
  if (FAILED(hr)) return LogCallFailure(kGetEndpointInfo, "IPropertyStore::GetValue", hr);
  const HRESULT converted =
      PropVariantToString(value.Get(), out, static_cast<UINT>(EndpointInfo::kChars));
  if (FAILED(converted) && converted != STRSAFE_E_INSUFFICIENT_BUFFER)
    return LogCallFailure(kGetEndpointInfo, "PropVariantToString", converted);
  return hr;
}

}  // namespace

CDeviceManager::CDeviceManager(IMMDeviceEnumerator* enumerator) : m_Enumerator(enumerator) {}

CDeviceManager::~CDeviceManager() {
  CZubThreadMutexLock lock(m_Mutex);
  ReleaseSelection();
  m_PolicyConfig.Reset();
}

void CDeviceManager::ReleaseSelection() {
  CZubThreadMutexLock lock(m_Mutex);
  m_Device.Reset();
  m_DeviceFormat.Reset();
  m_DeviceId.Reset();
}

HRESULT CDeviceManager::SelectDevice(const WCHAR* id) {
  CTraceScope scope(kSelectDevice);
  CZubThreadMutexLock lock(m_Mutex);
  if (m_Enumerator == nullptr) return E_POINTER;
  ReleaseSelection();

  HRESULT hr = m_Enumerator->GetDevice(id, m_Device.Put());
  if (SUCCEEDED(hr)) hr = m_Device->GetId(m_DeviceId.Put());
  if (SUCCEEDED(hr)) hr = CreatePolicyConfig();
  if (SUCCEEDED(hr))
    hr = m_PolicyConfig->GetDeviceFormat(m_DeviceId.Get(), FALSE, m_DeviceFormat.Put());
  if (SUCCEEDED(hr)) {
    // Asked as the system's own settings dialogs do; nothing here depends on the answer.
    DeviceShareMode mode = DeviceShared;
    hr = m_PolicyConfig->GetShareMode(m_DeviceId.Get(), &mode);
  }
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kAll, "%s() - Unable to collect device information: %s, (%x)",
          kSelectDevice, Narrow(id).c_str(), Hex(hr));
    DumpDeviceInfo();
  }
  return hr;
}

HRESULT CDeviceManager::GetEndpointInfo(IMMDevice* device, EndpointInfo* out) {
  if (device == nullptr || out == nullptr) return E_POINTER;
  CCoTaskMemString id;
  HRESULT hr = device->GetId(id.Put());
  if (FAILED(hr)) return LogCallFailure(kGetEndpointInfo, "IMMDevice::GetId", hr);
  if (!id) return E_POINTER;
  if (id.Get()[0] == 0) return E_FAIL;

  std::memset(out, 0, sizeof(*out));
  hr = StringCchCopyW(out->id, EndpointInfo::kChars, id.Get());
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kAll, "%s() - StringCchCopy failed (%x)", kGetEndpointInfo, Hex(hr));
    return hr;
  }

  TComPtr<IPropertyStore> store;
  hr = device->OpenPropertyStore(STGM_READ, store.Put());
  if (FAILED(hr)) return LogCallFailure(kGetEndpointInfo, "IMMDevice::OpenPropertyStore", hr);
  // Each read that succeeds stays filled even when a later one fails.
  hr = ReadString(store.Get(), PKEY_DeviceInterface_FriendlyName, out->interfaceName);
  if (SUCCEEDED(hr)) hr = ReadString(store.Get(), PKEY_Device_FriendlyName, out->friendlyName);
  if (SUCCEEDED(hr)) hr = ReadString(store.Get(), PKEY_Device_DeviceDesc, out->description);
  if (FAILED(hr)) return hr;

  CPropVariant value;
  hr = store->GetValue(PKEY_AudioEndpoint_FormFactor, value.Put());
  if (FAILED(hr)) return LogCallFailure(kGetEndpointInfo, "IPropertyStore::GetValue", hr);
  if (value->vt == VT_UI4) out->formFactor = value->ulVal;

  hr = store->GetValue(PKEY_AudioEngine_DeviceFormat, value.Put());
  if (FAILED(hr)) return LogCallFailure(kGetEndpointInfo, "IPropertyStore::GetValue", hr);
  // A plain WAVEFORMATEX (18 bytes) fills only its own part; the extensible rest stays zero.
  if (hr == S_OK && value->vt == VT_BLOB && value->blob.cbSize != 0 &&
      value->blob.pBlobData != nullptr) {
    std::memcpy(&out->deviceFormat, value->blob.pBlobData,
                std::min<size_t>(value->blob.cbSize, sizeof(out->deviceFormat)));
  }
  return hr;
}

HRESULT CDeviceManager::EnumerateEndpoints(EndpointMap* map, bool capture, bool defaultsOnly,
                                           UINT32 stateFlags) {
  CTraceScope scope(kEnumerateEndpoints);
  if (map == nullptr) return E_POINTER;
  TComPtr<IMMDeviceEnumerator> enumerator;
  HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                IID_IMMDeviceEnumerator, enumerator.PutVoid());
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kAll, "%s() - Unable to instantiate device enumerator: %x",
          kEnumerateEndpoints, Hex(hr));
    return hr;
  }
  const EDataFlow flow = capture ? eCapture : eRender;
  DWORD stateMask = DEVICE_STATE_ACTIVE;
  if ((stateFlags & 1u) != 0) stateMask |= DEVICE_STATE_DISABLED;
  if ((stateFlags & 2u) != 0) stateMask |= DEVICE_STATE_UNPLUGGED;

  // Failures of single roles or items are logged and passed over; as everywhere here, the result
  // is the status of the last step taken.
  EndpointInfo info;
  if (defaultsOnly) {
    // Communications last, so an endpoint that is the default of both ends with that role.
    for (const ERole role : {eConsole, eCommunications}) {
      TComPtr<IMMDevice> device;
      hr = enumerator->GetDefaultAudioEndpoint(flow, role, device.Put());
      if (FAILED(hr)) {
        Trace(kTraceLevelError, kAll, "%s() - Unable to get default device for role %d: %x",
              kEnumerateEndpoints, static_cast<int>(role), Hex(hr));
        continue;
      }
      hr = GetEndpointInfo(device.Get(), &info);
      if (FAILED(hr)) continue;
      info.role = static_cast<UINT32>(role);
      info.isDefault = true;
      (*map)[info.id] = info;
    }
    return hr;
  }

  TComPtr<IMMDeviceCollection> collection;
  hr = enumerator->EnumAudioEndpoints(flow, stateMask, collection.Put());
  if (FAILED(hr))
    return LogCallFailure(kEnumerateEndpoints, "IMMDeviceEnumerator::EnumAudioEndpoints", hr);
  UINT count = 0;
  hr = collection->GetCount(&count);
  if (FAILED(hr)) return LogCallFailure(kEnumerateEndpoints, "IMMDeviceCollection::GetCount", hr);
  for (UINT index = 0; index < count; ++index) {
    TComPtr<IMMDevice> device;
    hr = collection->Item(index, device.Put());
    if (FAILED(hr)) {
      Trace(kTraceLevelError, kAll, "%s() - Unable to get device for index %d", kEnumerateEndpoints,
            static_cast<int>(index));
      continue;
    }
    hr = GetEndpointInfo(device.Get(), &info);
    if (SUCCEEDED(hr)) map->try_emplace(info.id, info);  // role 0, not default: as filled
  }
  return hr;
}

HRESULT CDeviceManager::FindDeviceByName(bool capture, const WCHAR* name, EndpointInfo* out) {
  CTraceScope scope("CDeviceManager::FindDeviceByName");
  EndpointMap map;
  // Disabled too: the virtual card's endpoints must be found while hidden to be shown again.
  const HRESULT hr = EnumerateEndpoints(&map, capture, false, 3);
  if (FAILED(hr)) return hr;
  if (name == nullptr) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  for (const auto& entry : map) {
    const EndpointInfo& info = entry.second;
    if (!Contains(info.interfaceName, name)) continue;
    if (out != nullptr) *out = info;
    Trace(kTraceLevelDetail, kAll, "Found requested device: %s",
          Narrow(info.interfaceName).c_str());
    return S_OK;
  }
  return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

void CDeviceManager::DumpDeviceInfo() {
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_Device) return;
  EndpointInfo info;
  if (FAILED(GetEndpointInfo(m_Device.Get(), &info))) return;
  Trace(kTraceLevelDetail, kAll, "DeviceID   : %s", Narrow(info.id).c_str());
  Trace(kTraceLevelDetail, kAll, "DeviceName : %s", Narrow(info.interfaceName).c_str());
  Trace(kTraceLevelDetail, kAll, "Description: %s", Narrow(info.description).c_str());
}

HRESULT CDeviceManager::GetMeterPeaks(float peaks[2]) {
  constexpr char kFunction[] = "CDeviceManager::GetMeterPeaks";
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_Device) return S_OK;
  if (peaks == nullptr) return E_POINTER;
  TComPtr<IAudioMeterInformation> meter;
  HRESULT hr = m_Device->Activate(IID_IAudioMeterInformation, CLSCTX_ALL, nullptr, meter.PutVoid());
  if (FAILED(hr)) return LogCallFailure(kFunction, "IMMDevice::Activate", hr);
  hr = meter->GetChannelsPeakValues(2, peaks);
  if (FAILED(hr))
    return LogCallFailure(kFunction, "IAudioMeterInformation::GetChannelsPeakValues", hr);
  return hr;
}

HRESULT CDeviceManager::ActivateVolume(TComPtr<IAudioEndpointVolume>* volume) {
  const HRESULT hr =
      m_Device->Activate(IID_IAudioEndpointVolume, CLSCTX_ALL, nullptr, volume->PutVoid());
  return FAILED(hr) ? LogCallFailure("CDeviceManager::ActivateVolume", "IMMDevice::Activate", hr)
                    : hr;
}

HRESULT CDeviceManager::GetChannelVolumeDb(UINT32 channel, float* levelDb) {
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_Device) return S_OK;
  TComPtr<IAudioEndpointVolume> volume;
  HRESULT hr = ActivateVolume(&volume);
  if (FAILED(hr)) return hr;
  hr = volume->GetChannelVolumeLevel(channel, levelDb);
  if (FAILED(hr))
    return LogCallFailure("CDeviceManager::GetChannelVolumeDb",
                          "IAudioEndpointVolume::GetChannelVolumeLevel", hr);
  return hr;
}

HRESULT CDeviceManager::SetChannelVolumeDb(UINT32 channel, float levelDb) {
  constexpr char kFunction[] = "CDeviceManager::SetChannelVolumeDb";
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_Device) return S_OK;
  TComPtr<IAudioEndpointVolume> volume;
  HRESULT hr = ActivateVolume(&volume);
  if (FAILED(hr)) return hr;
  float minimumDb = 0.0f, maximumDb = 0.0f, stepDb = 0.0f;
  hr = volume->GetVolumeRange(&minimumDb, &maximumDb, &stepDb);
  if (FAILED(hr)) return LogCallFailure(kFunction, "IAudioEndpointVolume::GetVolumeRange", hr);
  levelDb = std::max(levelDb, minimumDb);
  levelDb = std::min(levelDb, maximumDb);
  hr = volume->SetChannelVolumeLevel(channel, levelDb, nullptr);
  if (FAILED(hr))
    return LogCallFailure(kFunction, "IAudioEndpointVolume::SetChannelVolumeLevel", hr);
  return hr;
}

HRESULT CDeviceManager::CreatePolicyConfig() {
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_DeviceId) return E_POINTER;
  if (m_PolicyConfig) return S_OK;

  // Each Windows release answers one of these; the oldest is asked first.
  struct Attempt {
    const IID* iid;
    int level;
    const char* line;
    IPolicyConfig* (*adopt)(void*);  // null: not usable
  };
  static constexpr Attempt kAttempts[] = {
      {&IID_IPolicyConfig, kTraceLevelDetail, "%s() - Using IPolicyConfig interface: %s",
       [](void* p) -> IPolicyConfig* { return static_cast<IPolicyConfig*>(p); }},
      {&IID_IPolicyConfigWindows10, kTraceLevelDetail,
       "%s() - Using IPolicyConfigWindows10 interface: %s",
       [](void* p) -> IPolicyConfig* { return static_cast<IPolicyConfigWindows10*>(p); }},
      {&IID_IPolicyConfigWindows10_1, kTraceLevelDetail,
       "%s() - Using IPolicyConfigWindows10_1 interface: %s",
       [](void* p) -> IPolicyConfig* { return static_cast<IPolicyConfigWindows10_1*>(p); }},
      // An object that answers none of the known ids has an unknown slot order: calling through
      // guessed slots could do anything to the machine's audio settings, so it is only logged.
      {&IID_IUnknown, kTraceLevelWarning,
       "%s() - Using IUnknown instead of IPolicyConfig interface: %s", nullptr}};
  const std::string id = Narrow(m_DeviceId.Get());
  HRESULT hr = E_NOINTERFACE;
  HRESULT interfaceFailure = E_NOINTERFACE;
  for (const Attempt& attempt : kAttempts) {
    void* object = nullptr;
    hr = CoCreateInstance(CLSID_CPolicyConfigClient, nullptr, CLSCTX_ALL, *attempt.iid, &object);
    if (FAILED(hr)) {
      interfaceFailure = hr;
      continue;
    }
    Trace(attempt.level, kAll, attempt.line, kCreatePolicyConfig, id.c_str());
    if (attempt.adopt != nullptr) {
      m_PolicyConfig.Reset(attempt.adopt(object));
      return hr;
    }
    static_cast<IUnknown*>(object)->Release();
    hr = interfaceFailure;
    break;
  }
  Trace(kTraceLevelError, kAll, "%s() - Unable to get IPolicyConfig interface: %s, (%x)",
        kCreatePolicyConfig, id.c_str(), Hex(hr));
  DumpDeviceInfo();
  return hr;
}

HRESULT CDeviceManager::SetDefaultEndpoint(UINT32 role) {
  constexpr char kFunction[] = "CDeviceManager::SetDefaultEndpoint";
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_DeviceId) return E_POINTER;
  HRESULT hr = CreatePolicyConfig();
  if (m_PolicyConfig)
    hr = m_PolicyConfig->SetDefaultEndpoint(m_DeviceId.Get(), static_cast<ERole>(role));
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kAll, "%s() - Couldn't set default device: %s, (%x)", kFunction,
          Narrow(m_DeviceId.Get()).c_str(), Hex(hr));
    DumpDeviceInfo();
  }
  return hr;
}

HRESULT CDeviceManager::SetVisible(bool visible) {
  constexpr char kFunction[] = "CDeviceManager::SetVisible";
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_DeviceId) return E_POINTER;
  HRESULT hr = CreatePolicyConfig();
  if (m_PolicyConfig) hr = m_PolicyConfig->SetEndpointVisibility(m_DeviceId.Get(), visible ? 1 : 0);
  if (FAILED(hr)) {
    Trace(kTraceLevelError, kAll, "%s() - Couldn't set device visible: %s, (%x)", kFunction,
          Narrow(m_DeviceId.Get()).c_str(), Hex(hr));
    DumpDeviceInfo();
  }
  return hr;
}

HRESULT CDeviceManager::SetDeviceFormat(WAVEFORMATEX* format) {
  CZubThreadMutexLock lock(m_Mutex);
  if (!m_DeviceId) return E_POINTER;
  const HRESULT hr = CreatePolicyConfig();
  if (!m_PolicyConfig) return hr;
  return m_PolicyConfig->SetDeviceFormat(m_DeviceId.Get(), format, format);
}

}  // namespace halvern
