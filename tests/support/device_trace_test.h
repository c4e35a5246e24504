// Tests of the device layer trace into captured debugger output at detail level, so that every
// line the code under test writes can be counted. On the simulated machine they also get COM, an
// enumerator, and the check that nothing broke a rule of the notification callbacks.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/scoped_resources.h"
#include "platform/utf16.h"
#include "trace/trace_test_support.h"
#if !defined(_WIN32)
#include "platform/simaudio/sim_audio.h"
#endif

namespace halvern::testing {

inline std::string Text(const WCHAR* text) { return platform::Utf16ToUtf8(text); }

class DeviceTraceTest : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    Start(kTraceToDebugger, kTraceLevelDetail, kTracePrefixNone);
  }

  int Count(const std::string& fragment) const {
    const auto lines = m_Debug.Lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(fragment) != std::string::npos;
    }));
  }
  // Lines at error level.
  int Errors() const { return Count("ERR "); }
  bool WaitForLine(const std::string& fragment) {
    return WaitUntil([&] { return m_Debug.Contains(fragment); });
  }
};

#if !defined(_WIN32)
// Starts from an empty simulated machine.
class SimDeviceTest : public DeviceTraceTest {
 protected:
  void SetUp() override {
    DeviceTraceTest::SetUp();
    simaudio::Reset();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                               IID_IMMDeviceEnumerator, m_Enumerator.PutVoid()),
              S_OK);
  }
  void TearDown() override {
    EXPECT_EQ(simaudio::CallbackBreaches(), std::vector<std::string>());
    m_Enumerator.Reset();
    CoUninitialize();
    simaudio::Reset();
    DeviceTraceTest::TearDown();
  }

  platform::TComPtr<IMMDeviceEnumerator> m_Enumerator;
};
#endif

}  // namespace halvern::testing
