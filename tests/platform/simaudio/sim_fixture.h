// Shared pieces of the simulated audio system's tests: a fixture that starts from an empty machine
// with COM initialised, a small owning pointer for COM interfaces, and endpoint descriptions.
#pragma once

#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/simaudio/sim_audio.h"
#include "platform/win32.h"

namespace halvern::simaudio::test {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : m_Ptr(other.m_Ptr) { other.m_Ptr = nullptr; }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      m_Ptr = other.m_Ptr;
      other.m_Ptr = nullptr;
    }
    return *this;
  }
  ~ComPtr() { Reset(); }
  T* Get() const { return m_Ptr; }
  T* operator->() const { return m_Ptr; }
  T** Put() {
    Reset();
    return &m_Ptr;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (m_Ptr != nullptr) m_Ptr->Release();
    m_Ptr = nullptr;
  }
  explicit operator bool() const { return m_Ptr != nullptr; }

 private:
  T* m_Ptr = nullptr;
};

inline EndpointDesc Endpoint(std::u16string id, EDataFlow flow, WAVEFORMATEXTENSIBLE format,
                             std::u16string friendlyName = u"Speakers (Test Card)") {
  EndpointDesc d;
  d.id = std::move(id);
  d.flow = flow;
  d.deviceFormat = format;
  d.interfaceName = u"Test Card";
  d.friendlyName = std::move(friendlyName);
  d.description = u"Speakers";
  d.formFactor = flow == eCapture ? Microphone : Speakers;
  return d;
}

// Polls a condition with a generous deadline; a slow machine makes the test slower, not red.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class SimAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    Reset();
  }

  ComPtr<IMMDeviceEnumerator> Enumerator() {
    ComPtr<IMMDeviceEnumerator> e;
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                               IID_IMMDeviceEnumerator, e.PutVoid()),
              S_OK);
    return e;
  }
  ComPtr<IMMDevice> Device(const std::u16string& id) {
    ComPtr<IMMDevice> d;
    EXPECT_EQ(Enumerator()->GetDevice(id.c_str(), d.Put()), S_OK);
    return d;
  }
  ComPtr<IAudioClient> Client(const std::u16string& id) {
    ComPtr<IAudioClient> c;
    EXPECT_EQ(Device(id)->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr, c.PutVoid()),
              S_OK);
    return c;
  }
};

}  // namespace halvern::simaudio::test

#endif
