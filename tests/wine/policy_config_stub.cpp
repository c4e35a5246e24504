// A stand-in for the Windows policy configuration class, registered in the Wine prefix of the
// end-to-end run: Wine has no such class, and the library needs it to select an endpoint (device
// format, share mode) and to make the virtual card visible. It answers only the first interface
// variant. Its vtable is written out here on purpose, independently of the library's declaration,
// so a slot the library gets wrong shows up as a failing run, not as two matching mistakes.
// clang-format off: the SDK headers depend on this order
#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <initguid.h>
#include <mmdeviceapi.h>
// clang-format on

#include <atomic>
#include <cstring>
#include <new>

// COM objects are destroyed through Release, never through a base pointer.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace {

// {870AF99C-171D-4F9E-AF0D-E63DF40C2BC9}
const CLSID kPolicyConfigClass = {
    0x870AF99C, 0x171D, 0x4F9E, {0xAF, 0x0D, 0xE6, 0x3D, 0xF4, 0x0C, 0x2B, 0xC9}};
// {F8679F50-850A-41CF-9C72-430F290290C8}
const IID kPolicyConfig = {
    0xF8679F50, 0x850A, 0x41CF, {0x9C, 0x72, 0x43, 0x0F, 0x29, 0x02, 0x90, 0xC8}};
// PKEY_AudioEngine_DeviceFormat: {F19F064D-082C-4E27-BC73-6882A1BB8E4C}, 0
const PROPERTYKEY kDeviceFormatKey = {
    {0xF19F064D, 0x082C, 0x4E27, {0xBC, 0x73, 0x68, 0x82, 0xA1, 0xBB, 0x8E, 0x4C}}, 0};

std::atomic<long> g_objects{0};

// Slots 0-2 are IUnknown's; the library uses 4, 6, 9, 13 and 14.
struct PolicyVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(void*, REFIID, void**);
  ULONG(STDMETHODCALLTYPE* AddRef)(void*);
  ULONG(STDMETHODCALLTYPE* Release)(void*);
  HRESULT(STDMETHODCALLTYPE* Slot3)(void*);
  HRESULT(STDMETHODCALLTYPE* GetDeviceFormat)(void*, PCWSTR, BOOL, WAVEFORMATEX**);
  HRESULT(STDMETHODCALLTYPE* Slot5)(void*);
  HRESULT(STDMETHODCALLTYPE* SetDeviceFormat)(void*, PCWSTR, WAVEFORMATEX*, WAVEFORMATEX*);
  HRESULT(STDMETHODCALLTYPE* Slot7)(void*);
  HRESULT(STDMETHODCALLTYPE* Slot8)(void*);
  HRESULT(STDMETHODCALLTYPE* GetShareMode)(void*, PCWSTR, int*);
  HRESULT(STDMETHODCALLTYPE* Slot10)(void*);
  HRESULT(STDMETHODCALLTYPE* Slot11)(void*);
  HRESULT(STDMETHODCALLTYPE* Slot12)(void*);
  HRESULT(STDMETHODCALLTYPE* SetDefaultEndpoint)(void*, PCWSTR, int);
  HRESULT(STDMETHODCALLTYPE* SetEndpointVisibility)(void*, PCWSTR, BOOL);
};

struct Policy {
  const PolicyVtbl* vtbl;
  std::atomic<ULONG> refs;
};

HRESULT STDMETHODCALLTYPE NotImplemented(void*) { return E_NOTIMPL; }

ULONG STDMETHODCALLTYPE PolicyAddRef(void* self) { return ++static_cast<Policy*>(self)->refs; }

ULONG STDMETHODCALLTYPE PolicyRelease(void* self) {
  auto* p = static_cast<Policy*>(self);
  const ULONG left = --p->refs;
  if (left == 0) {
    delete p;
    --g_objects;
  }
  return left;
}

HRESULT STDMETHODCALLTYPE PolicyQueryInterface(void* self, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kPolicyConfig)) return E_NOINTERFACE;
  PolicyAddRef(self);
  *out = self;
  return S_OK;
}

// The device format is the endpoint's own property, copied into task memory as Windows does.
HRESULT STDMETHODCALLTYPE PolicyGetDeviceFormat(void*, PCWSTR id, BOOL, WAVEFORMATEX** out) {
  if (!id || !out) return E_POINTER;
  *out = nullptr;
  IMMDeviceEnumerator* enumerator = nullptr;
  HRESULT hr =
      CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                       __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator));
  if (FAILED(hr)) return hr;
  IMMDevice* device = nullptr;
  IPropertyStore* store = nullptr;
  PROPVARIANT value;
  PropVariantInit(&value);
  hr = enumerator->GetDevice(id, &device);
  if (SUCCEEDED(hr)) hr = device->OpenPropertyStore(STGM_READ, &store);
  if (SUCCEEDED(hr)) hr = store->GetValue(kDeviceFormatKey, &value);
  if (SUCCEEDED(hr) && (value.vt != VT_BLOB || value.blob.cbSize < sizeof(WAVEFORMATEX)))
    hr = E_FAIL;
  if (SUCCEEDED(hr)) {
    *out = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(value.blob.cbSize));
    if (*out)
      std::memcpy(*out, value.blob.pBlobData, value.blob.cbSize);
    else
      hr = E_OUTOFMEMORY;
  }
  PropVariantClear(&value);
  if (store) store->Release();
  if (device) device->Release();
  enumerator->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE PolicySetDeviceFormat(void*, PCWSTR, WAVEFORMATEX*, WAVEFORMATEX*) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE PolicyGetShareMode(void*, PCWSTR id, int* mode) {
  if (!id || !mode) return E_POINTER;
  *mode = 0;  // shared
  return S_OK;
}

// Wine keeps its own defaults and shows every endpoint: accepting is all a stand-in can do.
HRESULT STDMETHODCALLTYPE PolicySetDefaultEndpoint(void*, PCWSTR id, int role) {
  return id && role >= 0 && role <= 2 ? S_OK : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE PolicySetEndpointVisibility(void*, PCWSTR id, BOOL) {
  return id ? S_OK : E_POINTER;
}

const PolicyVtbl kPolicyVtbl = {PolicyQueryInterface,
                                PolicyAddRef,
                                PolicyRelease,
                                NotImplemented,
                                PolicyGetDeviceFormat,
                                NotImplemented,
                                PolicySetDeviceFormat,
                                NotImplemented,
                                NotImplemented,
                                PolicyGetShareMode,
                                NotImplemented,
                                NotImplemented,
                                NotImplemented,
                                PolicySetDefaultEndpoint,
                                PolicySetEndpointVisibility};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* p = new (std::nothrow) Policy{&kPolicyVtbl, {1}};
    if (!p) return E_OUTOFMEMORY;
    ++g_objects;
    const HRESULT hr = PolicyQueryInterface(p, iid, out);
    PolicyRelease(p);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDMETHODCALLTYPE
    DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, kPolicyConfigClass)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

extern "C" __declspec(dllexport) HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
  return g_objects == 0 ? S_OK : S_FALSE;
}
