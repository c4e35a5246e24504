// The function-scope trace object and the registration guard.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace halvern {

// Writes an entry line on construction and an exit line with the elapsed seconds on destruction,
// when the calling thread traces function entries (debug level 6 or more).
class CTraceScope {
 public:
  explicit CTraceScope(const char* name) noexcept;
  ~CTraceScope();
  CTraceScope(const CTraceScope&) = delete;
  CTraceScope& operator=(const CTraceScope&) = delete;

 private:
  std::int32_t m_Enabled = 0;
  std::int32_t m_Level;
  std::uint32_t m_ContextMask;
  char m_Name[512] = {};  // UTF-8: lines are formatted in UTF-8
  DWORD m_Start = 0;
};

// Ends a thread registration made with TraceInitEx when it goes out of scope:
//   CQKTraceInit guard(TraceInitEx(nullptr, 0, nullptr, 3, true));
class CQKTraceInit {
 public:
  explicit CQKTraceInit(int registered, bool releaseEntry = true, bool quiet = true) noexcept;
  virtual ~CQKTraceInit();
  CQKTraceInit(const CQKTraceInit&) = delete;
  CQKTraceInit& operator=(const CQKTraceInit&) = delete;

 private:
  std::int32_t m_ReleaseEntry;
  std::int32_t m_Quiet;
  std::uint8_t m_Active;
};

}  // namespace halvern
