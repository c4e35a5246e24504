// COM initialisation, CoCreateInstance over a registry of classes, task memory and PROPVARIANT
// helpers for non-Windows builds.
#include "platform/posix/com.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

thread_local int t_ComInits = 0;
thread_local DWORD t_ComModel = 0;
// Threads in the multithreaded apartment; while there is one, every thread may use COM.
std::atomic<int> g_MtaThreads{0};

struct ComClass {
  CLSID clsid;
  halvern::platform::ComClassFactory factory;
};

// Never destroyed: objects may be created while static objects are torn down at process exit.
std::mutex& ClassesLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::vector<ComClass>& Classes() {
  static auto* classes = new std::vector<ComClass>;
  return *classes;
}

halvern::platform::ComClassFactory FindClass(REFCLSID clsid) {
  std::lock_guard lock(ClassesLock());
  for (const ComClass& c : Classes())
    if (c.clsid == clsid) return c.factory;
  return nullptr;
}

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
  const DWORD model = coInit & COINIT_APARTMENTTHREADED;
  if (t_ComInits > 0) {
    if (model != t_ComModel) return RPC_E_CHANGED_MODE;
    ++t_ComInits;
    return S_FALSE;
  }
  t_ComInits = 1;
  t_ComModel = model;
  if (model == COINIT_MULTITHREADED) g_MtaThreads.fetch_add(1);
  return S_OK;
}

HRESULT CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize() {
  if (t_ComInits == 0) return;
  if (--t_ComInits == 0 && t_ComModel == COINIT_MULTITHREADED) g_MtaThreads.fetch_sub(1);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                         LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (t_ComInits == 0 && g_MtaThreads.load() == 0) return CO_E_NOTINITIALIZED;
  if ((clsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  const halvern::platform::ComClassFactory factory = FindClass(rclsid);
  if (factory == nullptr) return REGDB_E_CLASSNOTREG;
  return factory(riid, ppv);
}

void halvern::platform::RegisterComClass(REFCLSID clsid, ComClassFactory factory) {
  std::lock_guard lock(ClassesLock());
  std::vector<ComClass>& classes = Classes();
  for (auto it = classes.begin(); it != classes.end(); ++it) {
    if (it->clsid == clsid) {
      if (factory != nullptr)
        it->factory = factory;
      else
        classes.erase(it);
      return;
    }
  }
  if (factory != nullptr) classes.push_back({clsid, factory});
}

LPVOID CoTaskMemAlloc(SIZE_T size) { return std::malloc(size == 0 ? 1 : size); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

HRESULT PropVariantClear(PROPVARIANT* pv) {
  if (pv == nullptr) return S_OK;
  switch (pv->vt) {
    case VT_EMPTY:
    case VT_I4:
    case VT_UI4:
    case VT_BOOL:
      break;
    case VT_LPWSTR:
      CoTaskMemFree(pv->pwszVal);
      break;
    case VT_BLOB:
      CoTaskMemFree(pv->blob.pBlobData);
      break;
    case VT_CLSID:
      CoTaskMemFree(pv->puuid);
      break;
    default:
      return DISP_E_BADVARTYPE;
  }
  PropVariantInit(pv);
  return S_OK;
}

HRESULT StringCchCopyW(LPWSTR dest, size_t cch, LPCWSTR src) {
  if (cch == 0 || cch > STRSAFE_MAX_CCH) return STRSAFE_E_INVALID_PARAMETER;
  size_t i = 0;
  for (; i + 1 < cch && src[i] != 0; ++i) dest[i] = src[i];
  dest[i] = 0;
  return src[i] == 0 ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

HRESULT PropVariantToString(REFPROPVARIANT propvar, PWSTR psz, UINT cch) {
  if (psz == nullptr || cch == 0) return E_INVALIDARG;
  std::u16string text;
  switch (propvar.vt) {
    case VT_EMPTY:
      break;
    case VT_LPWSTR:
      if (propvar.pwszVal != nullptr) text = propvar.pwszVal;
      break;
    case VT_UI4:
      for (char c : std::to_string(propvar.ulVal)) text.push_back(static_cast<char16_t>(c));
      break;
    case VT_I4:
      for (char c : std::to_string(propvar.lVal)) text.push_back(static_cast<char16_t>(c));
      break;
    default:
      psz[0] = 0;
      return TYPE_E_TYPEMISMATCH;
  }
  const size_t copied = text.size() < cch ? text.size() : cch - 1;
  std::memcpy(psz, text.data(), copied * sizeof(WCHAR));
  psz[copied] = 0;
  return copied < text.size() ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}
