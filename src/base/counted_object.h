// The reference-counted base of every socket, tag and filter, and the holder that owns one.
#pragma once

#include <atomic>
#include <cstdint>

namespace halvern {

class CCountedObject {
 public:
  CCountedObject();
  CCountedObject(const CCountedObject&) = delete;
  CCountedObject& operator=(const CCountedObject&) = delete;
  virtual ~CCountedObject() = default;

  // Defined out of line: where the compiler sees an object on the stack it must not also see
  // the `delete this` behind Release (the count keeps that path from ever running for it).
  virtual void OnFirstReference();
  virtual void OnLastReference();
  virtual void DeleteThis();
  virtual void AddRef();
  virtual void Release();

  std::int32_t RefCount() const { return m_RefCount.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int32_t> m_RefCount;
};

// True when `address` lies on the calling thread's stack (see counted_object.cpp).
bool IsOnCurrentThreadStack(const void* address);

template <class T>
class TCountedRef {
 public:
  TCountedRef() = default;
  TCountedRef(T* object) : m_Object(object) {  // NOLINT(google-explicit-constructor)
    if (m_Object) m_Object->AddRef();
  }
  TCountedRef(const TCountedRef& other) : TCountedRef(other.m_Object) {}
  TCountedRef(TCountedRef&& other) noexcept : m_Object(other.m_Object) { other.m_Object = nullptr; }
  template <class U>
  TCountedRef(const TCountedRef<U>& other) : TCountedRef(other.Get()) {}  // NOLINT
  ~TCountedRef() { Drop(); }

  // The new object is taken before the old one is dropped: the old one may be all that keeps
  // the new one alive.
  TCountedRef& operator=(T* object) {
    if (object != m_Object) {
      if (object) object->AddRef();
      T* old = m_Object;
      m_Object = object;
      if (old) old->Release();
    }
    return *this;
  }
  TCountedRef& operator=(const TCountedRef& other) {
    if (this != &other) *this = other.m_Object;
    return *this;
  }
  TCountedRef& operator=(TCountedRef&& other) noexcept {
    if (this != &other) {
      T* old = m_Object;
      m_Object = other.m_Object;
      other.m_Object = nullptr;
      if (old) old->Release();
    }
    return *this;
  }

  void Drop() {
    if (T* object = m_Object) {
      m_Object = nullptr;
      object->Release();
    }
  }

  T* Get() const { return m_Object; }
  T* operator->() const { return m_Object; }
  T& operator*() const { return *m_Object; }
  explicit operator bool() const { return m_Object != nullptr; }
  bool operator==(const TCountedRef& other) const { return m_Object == other.m_Object; }
  bool operator==(const T* other) const { return m_Object == other; }

 private:
  T* m_Object = nullptr;
};

}  // namespace halvern
