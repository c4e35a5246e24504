#include "trace/trace_scope.h"

#include <cstring>

#include "trace/trace.h"

namespace halvern {

CTraceScope::CTraceScope(const char* name) noexcept
    : m_Level(kTraceLevelInOut), m_ContextMask(kTraceAllContexts) {
  m_Enabled = TraceWouldPass(m_Level);
  if (m_Enabled == 0) return;
  m_Start = timeGetTime();
  if (name != nullptr) std::strncpy(m_Name, name, sizeof(m_Name) - 1);
  TraceIn(m_Level, m_ContextMask, "%s(%s)\n", m_Name, "");
}

CTraceScope::~CTraceScope() {
  if (m_Enabled == 0) return;
  const double seconds = static_cast<double>(timeGetTime() - m_Start) / 1000.0;
  TraceOut(m_Level, m_ContextMask, "%s() (%.3f sec)\n", m_Name, seconds);
}

CQKTraceInit::CQKTraceInit(int registered, bool releaseEntry, bool quiet) noexcept
    : m_ReleaseEntry(releaseEntry), m_Quiet(quiet), m_Active(registered != 0) {}

CQKTraceInit::~CQKTraceInit() {
  if (m_Active != 0) TraceTerminateThread(GetCurrentThreadId(), m_ReleaseEntry != 0, m_Quiet != 0);
}

}  // namespace halvern
