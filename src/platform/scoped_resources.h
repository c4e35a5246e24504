// Owners for the Windows resources the layers above hold: a COM interface, task memory, a
// PROPVARIANT, a kernel handle and an MMCSS registration. Each releases what it holds exactly once,
// on every path; none can be copied, all can be moved. They work the same over the SDK and over our
// own platform layer.
#pragma once

#include <utility>

#include "platform/win32.h"

namespace halvern::platform {

// Holds one reference to a COM interface.
template <class T>
class TComPtr {
 public:
  TComPtr() = default;
  // Takes over a reference the caller already owns (no AddRef).
  explicit TComPtr(T* owned) : m_Ptr(owned) {}
  TComPtr(const TComPtr&) = delete;
  TComPtr& operator=(const TComPtr&) = delete;
  TComPtr(TComPtr&& other) noexcept : m_Ptr(other.Detach()) {}
  TComPtr& operator=(TComPtr&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }
  ~TComPtr() { Reset(); }

  T* Get() const { return m_Ptr; }
  T* operator->() const { return m_Ptr; }
  explicit operator bool() const { return m_Ptr != nullptr; }

  // For out-parameters: drops what is held first.
  T** Put() {
    Reset();
    return &m_Ptr;
  }
  // For QueryInterface, CoCreateInstance and Activate, as the SDK's IID_PPV_ARGS does.
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  void Reset(T* owned = nullptr) {
    T* old = std::exchange(m_Ptr, owned);
    if (old != nullptr) old->Release();
  }
  T* Detach() { return std::exchange(m_Ptr, nullptr); }

 private:
  T* m_Ptr = nullptr;
};

// Memory the callee allocated with CoTaskMemAlloc: an id from IMMDevice::GetId, a format from
// IAudioClient::GetMixFormat.
template <class T>
class TCoTaskMem {
 public:
  TCoTaskMem() = default;
  explicit TCoTaskMem(T* owned) : m_Ptr(owned) {}
  TCoTaskMem(const TCoTaskMem&) = delete;
  TCoTaskMem& operator=(const TCoTaskMem&) = delete;
  TCoTaskMem(TCoTaskMem&& other) noexcept : m_Ptr(other.Detach()) {}
  TCoTaskMem& operator=(TCoTaskMem&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }
  ~TCoTaskMem() { Reset(); }

  T* Get() const { return m_Ptr; }
  T* operator->() const { return m_Ptr; }
  explicit operator bool() const { return m_Ptr != nullptr; }
  T** Put() {
    Reset();
    return &m_Ptr;
  }
  void Reset(T* owned = nullptr) {
    T* old = std::exchange(m_Ptr, owned);
    if (old != nullptr) CoTaskMemFree(old);
  }
  T* Detach() { return std::exchange(m_Ptr, nullptr); }

 private:
  T* m_Ptr = nullptr;
};

using CCoTaskMemString = TCoTaskMem<WCHAR>;

// A PROPVARIANT cleared with PropVariantClear when it goes.
class CPropVariant {
 public:
  CPropVariant() { PropVariantInit(&m_Value); }
  CPropVariant(const CPropVariant&) = delete;
  CPropVariant& operator=(const CPropVariant&) = delete;
  // The value is moved bit for bit, which hands over what it owns; the source is left VT_EMPTY.
  CPropVariant(CPropVariant&& other) noexcept : m_Value(other.m_Value) {
    PropVariantInit(&other.m_Value);
  }
  CPropVariant& operator=(CPropVariant&& other) noexcept {
    if (this != &other) {
      Clear();
      m_Value = other.m_Value;
      PropVariantInit(&other.m_Value);
    }
    return *this;
  }
  ~CPropVariant() { Clear(); }

  const PROPVARIANT& Get() const { return m_Value; }
  const PROPVARIANT* operator->() const { return &m_Value; }
  // For IPropertyStore::GetValue: clears what is held first.
  PROPVARIANT* Put() {
    Clear();
    return &m_Value;
  }
  void Clear() {
    PropVariantClear(&m_Value);
    PropVariantInit(&m_Value);  // also after a type PropVariantClear refuses
  }

 private:
  PROPVARIANT m_Value;
};

// A kernel handle closed with CloseHandle. Both failure values Windows uses count as empty: null
// (CreateEvent, CreateThread) and INVALID_HANDLE_VALUE (CreateFile).
// https://devblogs.microsoft.com/oldnewthing/20040302-00/?p=40443
class CScopedHandle {
 public:
  CScopedHandle() = default;
  explicit CScopedHandle(HANDLE owned) : m_Handle(owned) {}
  CScopedHandle(const CScopedHandle&) = delete;
  CScopedHandle& operator=(const CScopedHandle&) = delete;
  CScopedHandle(CScopedHandle&& other) noexcept : m_Handle(other.Detach()) {}
  CScopedHandle& operator=(CScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }
  ~CScopedHandle() { Reset(); }

  HANDLE Get() const { return m_Handle; }
  bool IsValid() const { return m_Handle != nullptr && m_Handle != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return IsValid(); }

  void Reset(HANDLE owned = nullptr) {
    HANDLE old = std::exchange(m_Handle, owned);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }
  HANDLE Detach() { return std::exchange(m_Handle, nullptr); }

 private:
  HANDLE m_Handle = nullptr;
};

// The calling thread's registration with the multimedia class scheduler. A registration belongs
// to the thread that made it: create, keep and drop this object on that thread.
class CMmcssRegistration {
 public:
  CMmcssRegistration() = default;
  CMmcssRegistration(const CMmcssRegistration&) = delete;
  CMmcssRegistration& operator=(const CMmcssRegistration&) = delete;
  CMmcssRegistration(CMmcssRegistration&& other) noexcept
      : m_Handle(std::exchange(other.m_Handle, nullptr)), m_TaskIndex(other.m_TaskIndex) {}
  CMmcssRegistration& operator=(CMmcssRegistration&& other) noexcept {
    if (this != &other) {
      Revert();
      m_Handle = std::exchange(other.m_Handle, nullptr);
      m_TaskIndex = other.m_TaskIndex;
    }
    return *this;
  }
  ~CMmcssRegistration() { Revert(); }

  // Registers the calling thread for `task` ("Audio", "Pro Audio"). On failure returns the
  // GetLastError code (ERROR_INVALID_TASK_NAME for an unknown task) and holds nothing.
  DWORD Register(LPCWSTR task) {
    Revert();
    m_TaskIndex = 0;
    m_Handle = AvSetMmThreadCharacteristicsW(task, &m_TaskIndex);
    return m_Handle != nullptr ? ERROR_SUCCESS : GetLastError();
  }
  void Revert() {
    if (HANDLE old = std::exchange(m_Handle, nullptr); old != nullptr)
      AvRevertMmThreadCharacteristics(old);
  }
  bool IsRegistered() const { return m_Handle != nullptr; }
  DWORD TaskIndex() const { return m_TaskIndex; }

 private:
  HANDLE m_Handle = nullptr;
  DWORD m_TaskIndex = 0;
};

}  // namespace halvern::platform
