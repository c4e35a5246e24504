// The policy configuration class of the simulated system. It implements the newest variant of the
// interface declared in platform/policy_config.h, and so answers the two earlier ids as the same
// C++ type the caller uses.
#include <cstring>
#include <mutex>
#include <type_traits>

#include "platform/policy_config.h"
#include "platform/simaudio/com_object.h"

namespace halvern::simaudio {

namespace {

class CSimPolicyConfig final : public TSimComObject<IPolicyConfigWindows10_1> {
 public:
  CSimPolicyConfig() : m_Identity(this) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr || riid != IID_IUnknown) return TSimComObject::QueryInterface(riid, ppv);
    *ppv = static_cast<IUnknown*>(&m_Identity);
    AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetMixFormat(LPCWSTR id, WAVEFORMATEX** format) override {
    return OnEndpoint(id, "IPolicyConfig::GetMixFormat", format, [&](CSimEndpoint& ep) {
      *format = CopyFormatToTaskMem(ep.m_MixFormat);
      return *format != nullptr ? S_OK : E_OUTOFMEMORY;
    });
  }
  HRESULT STDMETHODCALLTYPE GetDeviceFormat(LPCWSTR id, INT defaultFormat,
                                            WAVEFORMATEX** format) override {
    return OnEndpoint(id, "IPolicyConfig::GetDeviceFormat", format, [&](CSimEndpoint& ep) {
      *format = CopyFormatToTaskMem(defaultFormat ? ep.m_DefaultDeviceFormat : ep.m_DeviceFormat);
      return *format != nullptr ? S_OK : E_OUTOFMEMORY;
    });
  }
  HRESULT STDMETHODCALLTYPE ResetDeviceFormat(LPCWSTR id) override {
    return OnEndpoint(id, "IPolicyConfig::ResetDeviceFormat", this, [&](CSimEndpoint& ep) {
      ChangeFormatLocked(ep, ep.m_DefaultDeviceFormat, ep.m_MixFormat);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetDeviceFormat(LPCWSTR id, WAVEFORMATEX* endpointFormat,
                                            WAVEFORMATEX* mixFormat) override {
    return OnEndpoint(id, "IPolicyConfig::SetDeviceFormat", endpointFormat, [&](CSimEndpoint& ep) {
      if (mixFormat == nullptr) return E_POINTER;
      if (!IsValidFormat(*endpointFormat) || !IsValidFormat(*mixFormat)) return E_INVALIDARG;
      WAVEFORMATEXTENSIBLE device{}, mix{};
      std::memcpy(&device, endpointFormat, FormatBytes(*endpointFormat));
      std::memcpy(&mix, mixFormat, FormatBytes(*mixFormat));
      ChangeFormatLocked(ep, device, mix);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetProcessingPeriod(LPCWSTR id, INT, LONGLONG* defaultPeriod,
                                                LONGLONG* minimumPeriod) override {
    return OnEndpoint(id, "IPolicyConfig::GetProcessingPeriod", this, [&](CSimEndpoint& ep) {
      if (defaultPeriod == nullptr && minimumPeriod == nullptr) return E_POINTER;
      if (defaultPeriod != nullptr) *defaultPeriod = ep.m_DefaultPeriod;
      if (minimumPeriod != nullptr) *minimumPeriod = ep.m_MinimumPeriod;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetProcessingPeriod(LPCWSTR id, LONGLONG* period) override {
    return OnEndpoint(id, "IPolicyConfig::SetProcessingPeriod", period, [&](CSimEndpoint& ep) {
      if (*period < ep.m_MinimumPeriod) return E_INVALIDARG;
      ep.m_DefaultPeriod = *period;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetShareMode(LPCWSTR id, DeviceShareMode* mode) override {
    return OnEndpoint(id, "IPolicyConfig::GetShareMode", mode, [&](CSimEndpoint& ep) {
      *mode = static_cast<DeviceShareMode>(ep.m_ShareMode);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetShareMode(LPCWSTR id, DeviceShareMode* mode) override {
    return OnEndpoint(id, "IPolicyConfig::SetShareMode", mode, [&](CSimEndpoint& ep) {
      ep.m_ShareMode = *mode;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetPropertyValue(LPCWSTR id, const PROPERTYKEY& key,
                                             PROPVARIANT* value) override {
    return OnEndpoint(id, "IPolicyConfig::GetPropertyValue", value,
                      [&](CSimEndpoint& ep) { return ReadPropertyLocked(ep, key, value); });
  }
  HRESULT STDMETHODCALLTYPE SetPropertyValue(LPCWSTR id, const PROPERTYKEY& key,
                                             PROPVARIANT* value) override {
    return OnEndpoint(id, "IPolicyConfig::SetPropertyValue", value, [&](CSimEndpoint& ep) {
      std::u16string* text = nullptr;
      if (IsEqualPropertyKey(key, PKEY_DeviceInterface_FriendlyName)) text = &ep.m_InterfaceName;
      if (IsEqualPropertyKey(key, PKEY_Device_FriendlyName)) text = &ep.m_FriendlyName;
      if (IsEqualPropertyKey(key, PKEY_Device_DeviceDesc)) text = &ep.m_Description;
      if (text != nullptr && value->vt == VT_LPWSTR && value->pwszVal != nullptr) {
        *text = value->pwszVal;
      } else if (IsEqualPropertyKey(key, PKEY_AudioEndpoint_FormFactor) && value->vt == VT_UI4) {
        ep.m_FormFactor = value->ulVal;
      } else {
        return E_INVALIDARG;
      }
      Notification n{Notification::kProperty};
      n.id = ep.m_Id;
      n.key = key;
      CSimAudioSystem::Get().PostLocked(std::move(n));
      return S_OK;
    });
  }
  // Only an active endpoint can take a role; anything else is not found among the candidates.
  HRESULT STDMETHODCALLTYPE SetDefaultEndpoint(LPCWSTR id, ERole role) override {
    return OnEndpoint(id, "IPolicyConfig::SetDefaultEndpoint", this, [&](CSimEndpoint& ep) {
      if (role != eConsole && role != eMultimedia && role != eCommunications) return E_INVALIDARG;
      if (ep.State() != DEVICE_STATE_ACTIVE) return E_NOTFOUND;
      CSimAudioSystem::Get().SetDefaultLocked(ep.m_Flow, role, ep.m_Id);
      return S_OK;
    });
  }
  // Hiding an endpoint disables it, as the sound control panel does; showing it enables it again.
  HRESULT STDMETHODCALLTYPE SetEndpointVisibility(LPCWSTR id, BOOL visible) override {
    return OnEndpoint(id, "IPolicyConfig::SetEndpointVisibility", this, [&](CSimEndpoint& ep) {
      CSimAudioSystem& sys = CSimAudioSystem::Get();
      sys.ChangeStateLocked(sys.FindLocked(ep.m_Id), ep.m_PresentState, visible != 0);
      return S_OK;
    });
  }

 private:
  // The object's own IUnknown, apart from its policy interface: code that drives an object that
  // answers only IUnknown through policy slots gets E_NOTIMPL instead of working by accident.
  class CIdentity final : public IUnknown {
   public:
    explicit CIdentity(CSimPolicyConfig* outer) : m_Outer(outer) {}
    virtual ~CIdentity() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      return m_Outer->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_Outer->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_Outer->Release(); }
    virtual HRESULT STDMETHODCALLTYPE NoSlot3() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot4() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot5() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot6() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot7() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot8() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot9() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot10() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot11() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot12() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot13() { return E_NOTIMPL; }
    virtual HRESULT STDMETHODCALLTYPE NoSlot14() { return E_NOTIMPL; }

   private:
    CSimPolicyConfig* const m_Outer;
  };

  const char* Name() const override { return "IPolicyConfig"; }
  bool Answers(REFIID riid) const override {
    const unsigned mask = CSimAudioSystem::Get().m_PolicyInterfaces.load();
    return ((mask & kPolicyConfig) != 0 && riid == IID_IPolicyConfig) ||
           ((mask & kPolicyConfigWindows10) != 0 && riid == IID_IPolicyConfigWindows10) ||
           ((mask & kPolicyConfigWindows10_1) != 0 && riid == IID_IPolicyConfigWindows10_1);
  }

  template <class Out, class Body>
  HRESULT OnEndpoint(LPCWSTR id, const char* method, Out* out, Body body) {
    if (out == nullptr) return E_POINTER;
    if constexpr (std::is_pointer_v<Out>) *out = nullptr;
    if (id == nullptr) return E_POINTER;
    CSimAudioSystem& sys = CSimAudioSystem::Get();
    if (HRESULT hr = sys.Fault(id, method); hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(sys.Mutex());
    EndpointPtr ep = sys.FindLocked(id);
    if (!ep) return E_NOTFOUND;
    return body(*ep);
  }

  CIdentity m_Identity;
};

}  // namespace

IUnknown* NewPolicyConfig() { return new CSimPolicyConfig; }

}  // namespace halvern::simaudio
