// The simulated standard machine with COM up, and one application object of the test's own (the
// library's is a static of the shared library).
#pragma once

#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "api/halvern_vad_api_app.h"
#include "platform/simaudio/sim_machine.h"

namespace halvern::testing {

inline bool WaitUntil(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simaudio::Reset();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(simaudio::AddStandardMachine(), S_OK);
    m_App = std::make_unique<CHalvernVADApiApp>();
  }
  void TearDown() override {
    m_App.reset();
    CoUninitialize();
    simaudio::Reset();
  }
  UINT32 Streams(const char16_t* id) {
    simaudio::EndpointCounters counters;
    simaudio::GetCounters(id, &counters);
    return counters.streams;
  }

  std::unique_ptr<CHalvernVADApiApp> m_App;
};

}  // namespace halvern::testing

#endif
