// Device tests trace into captured debugger output at detail level, so that every line the device
// manager writes can be counted.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "trace/trace_block.h"
#include "trace/trace_test_support.h"

namespace halvern::testing {

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
};

}  // namespace halvern::testing
