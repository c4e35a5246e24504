// The simulated standard machine with COM up, and one application object of the test's own (the
// library's is a static of the shared library).
#pragma once

#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api/halvern_vad_api_app.h"
#include "platform/simaudio/sim_machine.h"
#include "support/wait_until.h"

namespace halvern::testing {

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
    // Nothing the router did from a notification callback may block or drop a device object.
    EXPECT_EQ(simaudio::CallbackBreaches(), std::vector<std::string>());
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
