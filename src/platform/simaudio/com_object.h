// Reference counting and QueryInterface for the simulated COM objects, and their constructors.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "platform/simaudio/audio_system.h"

namespace halvern::simaudio {

template <class Interface>
class TSimComObject : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || Answers(riid)) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  virtual ~TSimComObject() = default;

  ULONG STDMETHODCALLTYPE AddRef() override {
    return m_Refs.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = m_Refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (refs == 0) {
      // Destroying a device object may wait for the service that runs the callback.
      if (InNotificationCallback())
        RecordCallbackBreach(std::string("the final Release of ") + Name());
      delete this;
    }
    return refs;
  }

 protected:
  virtual bool Answers(REFIID riid) const = 0;
  virtual const char* Name() const = 0;

 private:
  std::atomic<ULONG> m_Refs{1};
};

// Fault check for a method of an endpoint ("IAudioClient::Start").
inline HRESULT Fault(const CSimEndpoint& endpoint, std::string_view method) {
  return CSimAudioSystem::Get().Fault(endpoint.m_Id, method);
}

// A CoTaskMem copy of a UTF-16 string.
LPWSTR CopyStringToTaskMem(std::u16string_view text);
// The value of one of the endpoint properties the system knows (VT_EMPTY for others); under the
// system mutex.
HRESULT ReadPropertyLocked(const CSimEndpoint& endpoint, const PROPERTYKEY& key,
                           PROPVARIANT* value);

IMMDevice* NewDevice(EndpointPtr endpoint);
IMMDeviceEnumerator* NewDeviceEnumerator();
IUnknown* NewPolicyConfig();
IAudioClient* NewAudioClient(EndpointPtr endpoint);
IAudioEndpointVolume* NewEndpointVolume(EndpointPtr endpoint);
IAudioMeterInformation* NewMeter(EndpointPtr endpoint);

}  // namespace halvern::simaudio
