// IMMDeviceEnumerator, IMMDevice, IMMDeviceCollection and IPropertyStore of the simulated system.
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/simaudio/com_object.h"

namespace halvern::simaudio {

LPWSTR CopyStringToTaskMem(std::u16string_view text) {
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
  copy[text.size()] = 0;
  return copy;
}

HRESULT ReadPropertyLocked(const CSimEndpoint& ep, const PROPERTYKEY& key, PROPVARIANT* value) {
  PropVariantInit(value);
  const std::u16string* text = nullptr;
  if (IsEqualPropertyKey(key, PKEY_DeviceInterface_FriendlyName)) text = &ep.m_InterfaceName;
  if (IsEqualPropertyKey(key, PKEY_Device_FriendlyName)) text = &ep.m_FriendlyName;
  if (IsEqualPropertyKey(key, PKEY_Device_DeviceDesc)) text = &ep.m_Description;
  if (text != nullptr) {
    value->pwszVal = CopyStringToTaskMem(*text);
    if (value->pwszVal == nullptr) return E_OUTOFMEMORY;
    value->vt = VT_LPWSTR;
  } else if (IsEqualPropertyKey(key, PKEY_AudioEndpoint_FormFactor)) {
    value->vt = VT_UI4;
    value->ulVal = ep.m_FormFactor;
  } else if (IsEqualPropertyKey(key, PKEY_AudioEngine_DeviceFormat)) {
    value->blob.pBlobData = reinterpret_cast<BYTE*>(CopyFormatToTaskMem(ep.m_DeviceFormat));
    if (value->blob.pBlobData == nullptr) return E_OUTOFMEMORY;
    value->blob.cbSize = static_cast<ULONG>(FormatBytes(ep.m_DeviceFormat.Format));
    value->vt = VT_BLOB;
  }
  // An absent key reads as VT_EMPTY with S_OK, as the property store documents.
  return S_OK;
}

namespace {

constexpr PROPERTYKEY kKnownKeys[] = {PKEY_DeviceInterface_FriendlyName, PKEY_Device_FriendlyName,
                                      PKEY_Device_DeviceDesc, PKEY_AudioEndpoint_FormFactor,
                                      PKEY_AudioEngine_DeviceFormat};

class CSimPropertyStore final : public TSimComObject<IPropertyStore> {
 public:
  explicit CSimPropertyStore(EndpointPtr endpoint) : m_Endpoint(std::move(endpoint)) {}

  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    if (HRESULT hr = Fault(*m_Endpoint, "IPropertyStore::GetCount"); hr != S_OK) return hr;
    *count = static_cast<DWORD>(std::size(kKnownKeys));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
    if (key == nullptr) return E_POINTER;
    if (HRESULT hr = Fault(*m_Endpoint, "IPropertyStore::GetAt"); hr != S_OK) return hr;
    if (index >= std::size(kKnownKeys)) return E_INVALIDARG;
    *key = kKnownKeys[index];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    if (HRESULT hr = Fault(*m_Endpoint, "IPropertyStore::GetValue"); hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(CSimAudioSystem::Get().Mutex());
    return ReadPropertyLocked(*m_Endpoint, key, value);
  }
  // Stores are opened for reading only (writing needs administrator rights on Windows).
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE Commit() override { return STG_E_ACCESSDENIED; }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IPropertyStore; }
  const char* Name() const override { return "IPropertyStore"; }
  const EndpointPtr m_Endpoint;
};

class CSimDevice final : public TSimComObject<IMMDevice> {
 public:
  explicit CSimDevice(EndpointPtr endpoint) : m_Endpoint(std::move(endpoint)) {}

  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (HRESULT hr = Fault(*m_Endpoint, "IMMDevice::Activate"); hr != S_OK) return hr;
    {
      std::lock_guard<std::mutex> lock(CSimAudioSystem::Get().Mutex());
      if (m_Endpoint->State() != DEVICE_STATE_ACTIVE) return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    if (iid == IID_IAudioClient) {
      *ppv = NewAudioClient(m_Endpoint);
    } else if (iid == IID_IAudioEndpointVolume) {
      *ppv = NewEndpointVolume(m_Endpoint);
    } else if (iid == IID_IAudioMeterInformation) {
      *ppv = NewMeter(m_Endpoint);
    } else {
      return E_NOINTERFACE;
    }
    return *ppv != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) override {
    if (store == nullptr) return E_POINTER;
    *store = nullptr;
    if (HRESULT hr = Fault(*m_Endpoint, "IMMDevice::OpenPropertyStore"); hr != S_OK) return hr;
    if (access != STGM_READ && access != STGM_WRITE && access != STGM_READWRITE)
      return E_INVALIDARG;
    if (access != STGM_READ) return E_ACCESSDENIED;
    *store = new CSimPropertyStore(m_Endpoint);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
    if (id == nullptr) return E_POINTER;
    *id = nullptr;
    if (HRESULT hr = Fault(*m_Endpoint, "IMMDevice::GetId"); hr != S_OK) return hr;
    *id = CopyStringToTaskMem(m_Endpoint->m_Id);
    return *id != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
    if (state == nullptr) return E_POINTER;
    if (HRESULT hr = Fault(*m_Endpoint, "IMMDevice::GetState"); hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(CSimAudioSystem::Get().Mutex());
    *state = m_Endpoint->State();
    return S_OK;
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IMMDevice; }
  const char* Name() const override { return "IMMDevice"; }
  const EndpointPtr m_Endpoint;
};

// A snapshot of the endpoints that matched when the collection was made.
class CSimDeviceCollection final : public TSimComObject<IMMDeviceCollection> {
 public:
  explicit CSimDeviceCollection(std::vector<EndpointPtr> endpoints)
      : m_Endpoints(std::move(endpoints)) {}

  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    if (HRESULT hr = CSimAudioSystem::Get().Fault(u"", "IMMDeviceCollection::GetCount"); hr != S_OK)
      return hr;
    *count = static_cast<UINT>(m_Endpoints.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    if (device == nullptr) return E_POINTER;
    *device = nullptr;
    if (index >= m_Endpoints.size()) return E_INVALIDARG;
    if (HRESULT hr = Fault(*m_Endpoints[index], "IMMDeviceCollection::Item"); hr != S_OK) return hr;
    *device = NewDevice(m_Endpoints[index]);
    return S_OK;
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IMMDeviceCollection; }
  const char* Name() const override { return "IMMDeviceCollection"; }
  const std::vector<EndpointPtr> m_Endpoints;
};

class CSimDeviceEnumerator final : public TSimComObject<IMMDeviceEnumerator> {
 public:
  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask,
                                               IMMDeviceCollection** devices) override {
    if (devices == nullptr) return E_POINTER;
    *devices = nullptr;
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    if (HRESULT hr = sys.Fault(u"", "IMMDeviceEnumerator::EnumAudioEndpoints"); hr != S_OK)
      return hr;
    if (flow != eRender && flow != eCapture && flow != eAll) return E_INVALIDARG;
    if (mask == 0 || (mask & ~DEVICE_STATEMASK_ALL) != 0) return E_INVALIDARG;
    std::vector<EndpointPtr> matching;
    {
      std::lock_guard<std::mutex> lock(sys.Mutex());
      for (const EndpointPtr& ep : sys.EndpointsLocked())
        if ((flow == eAll || ep->m_Flow == flow) && (ep->State() & mask) != 0)
          matching.push_back(ep);
    }
    *devices = new CSimDeviceCollection(std::move(matching));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                    IMMDevice** endpoint) override {
    if (endpoint == nullptr) return E_POINTER;
    *endpoint = nullptr;
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    if (HRESULT hr = sys.Fault(u"", "IMMDeviceEnumerator::GetDefaultAudioEndpoint"); hr != S_OK)
      return hr;
    if ((flow != eRender && flow != eCapture) ||
        (role != eConsole && role != eMultimedia && role != eCommunications))
      return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(sys.Mutex());
    EndpointPtr ep = sys.FindLocked(sys.DefaultLocked(flow, role));
    if (!ep) return E_NOTFOUND;
    *endpoint = NewDevice(ep);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
    if (device != nullptr) *device = nullptr;
    if (id == nullptr || device == nullptr) return E_POINTER;
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    if (HRESULT hr = sys.Fault(id, "IMMDeviceEnumerator::GetDevice"); hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(sys.Mutex());
    EndpointPtr ep = sys.FindLocked(id);
    if (!ep) return E_NOTFOUND;
    *device = NewDevice(ep);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    if (HRESULT hr = sys.Fault(u"", "IMMDeviceEnumerator::RegisterEndpointNotificationCallback");
        hr != S_OK)
      return hr;
    return sys.Register(client);
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    if (HRESULT hr = sys.Fault(u"", "IMMDeviceEnumerator::UnregisterEndpointNotificationCallback");
        hr != S_OK)
      return hr;
    return sys.Unregister(client);
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IMMDeviceEnumerator; }
  const char* Name() const override { return "IMMDeviceEnumerator"; }
};

}  // namespace

IMMDevice* NewDevice(EndpointPtr endpoint) { return new CSimDevice(std::move(endpoint)); }
IMMDeviceEnumerator* NewDeviceEnumerator() { return new CSimDeviceEnumerator; }

}  // namespace halvern::simaudio
