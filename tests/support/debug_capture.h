// Collects every line the library emits as debugger output while the object lives.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace halvern::testing {

class DebugCapture {
 public:
  DebugCapture() { m_Previous = platform::SetDebugOutputSink(&DebugCapture::Collect, this); }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;
  ~DebugCapture() { platform::SetDebugOutputSink(m_Previous, nullptr); }

  std::vector<std::string> Lines() const {
    std::lock_guard lock(m_Lock);
    return m_Lines;
  }
  void Clear() {
    std::lock_guard lock(m_Lock);
    m_Lines.clear();
  }

 private:
  static void Collect(void* context, const char* line) {
    auto* self = static_cast<DebugCapture*>(context);
    std::lock_guard lock(self->m_Lock);
    self->m_Lines.emplace_back(line);
  }

  platform::DebugOutputSink m_Previous = nullptr;
  mutable std::mutex m_Lock;
  std::vector<std::string> m_Lines;
};

}  // namespace halvern::testing
