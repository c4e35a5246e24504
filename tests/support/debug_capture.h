// Collects every line the library emits as debugger output while the object lives, then puts the
// previous sink back with its own context (captures may nest).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace halvern::testing {

class DebugCapture {
 public:
  DebugCapture() {
    m_Previous = platform::SetDebugOutputSink(&DebugCapture::Collect, this, &m_PreviousContext);
  }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;
  ~DebugCapture() { platform::SetDebugOutputSink(m_Previous, m_PreviousContext); }

  std::vector<std::string> Lines() const {
    std::lock_guard lock(m_Lock);
    return m_Lines;
  }
  bool Contains(const std::string& fragment) const {
    std::lock_guard lock(m_Lock);
    for (const std::string& line : m_Lines)
      if (line.find(fragment) != std::string::npos) return true;
    return false;
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
  void* m_PreviousContext = nullptr;
  mutable std::mutex m_Lock;
  std::vector<std::string> m_Lines;
};

}  // namespace halvern::testing
