#include "base/zub_function_trace.h"

#include <cstdio>
#include <map>
#include <string>

#include "base/zub_log_modules.h"
#include "base/zub_thread_mutex.h"
#include "platform/win32.h"

namespace halvern {

// The nesting table is created with the start-up modules: whatever links the function trace
// must link them too, also when it names no start-up module itself.
extern const void* const g_ZubStartUpModulesAnchor;
const void* const g_ZubStartUpModulesAnchor = &g_ZubRingBufferLog;

namespace {

constexpr std::size_t kMaxIndentation = 256;

struct NestingEntry {
  std::int32_t threadId = 0;
  std::uint8_t depth = 0;
  std::string indentation;  // one space per open function, at most kMaxIndentation
};

constinit std::map<std::int32_t, NestingEntry>* g_NestingMap = nullptr;
constinit CZubThreadMutex* g_NestingMutex = nullptr;

}  // namespace

CZubNestingMapLifetime::CZubNestingMapLifetime() {
  g_NestingMap = new std::map<std::int32_t, NestingEntry>;
}
CZubNestingMapLifetime::~CZubNestingMapLifetime() {
  delete g_NestingMap;
  g_NestingMap = nullptr;
}
CZubNestingMutexLifetime::CZubNestingMutexLifetime() { g_NestingMutex = new CZubThreadMutex; }
CZubNestingMutexLifetime::~CZubNestingMutexLifetime() {
  delete g_NestingMutex;
  g_NestingMutex = nullptr;
}

int ZubNestingDepth(std::int32_t threadId) {
  if (g_NestingMap == nullptr || g_NestingMutex == nullptr) return -1;
  CZubThreadMutexLock lock(*g_NestingMutex);
  const auto found = g_NestingMap->find(threadId);
  return found == g_NestingMap->end() ? -1 : found->second.depth;
}

CZubFunctionTrace::CZubFunctionTrace(const CZubLogModuleDescriptor& module,
                                     const char* functionName)
    : m_Tag{},
      m_Function{},
      m_Level(kZubLevelInfo),
      m_StartMs(timeGetTime()),
      m_Enabled(IsLevelEnabled(module.index, kZubLevelInfo) && g_NestingMap != nullptr &&
                g_NestingMutex != nullptr),
      m_ThreadId(-1),
      m_Module(&module) {
  std::snprintf(m_Tag, sizeof(m_Tag), "%s", kZubTag);
  if (!m_Enabled) return;
  std::snprintf(m_Function, sizeof(m_Function), "%s", functionName != nullptr ? functionName : "");
  m_ThreadId = static_cast<std::int32_t>(GetCurrentThreadId());
  char enter[256];
  {
    CZubThreadMutexLock lock(*g_NestingMutex);
    NestingEntry& entry = (*g_NestingMap)[m_ThreadId];
    entry.threadId = m_ThreadId;
    // Cut at 255 characters: deep nesting eats into the name, never past the buffer.
    if (std::snprintf(enter, sizeof(enter), "%s\\ %s", entry.indentation.c_str(), m_Function) < 0)
      enter[0] = 0;
    ++entry.depth;
    if (entry.indentation.size() < kMaxIndentation) entry.indentation += ' ';
  }
  LogMessage(m_Level, m_Tag, m_Module->name, enter, "%s", "");
}

CZubFunctionTrace::~CZubFunctionTrace() {
  if (!m_Enabled) return;
  char leave[256];
  {
    CZubThreadMutexLock lock(*g_NestingMutex);
    NestingEntry& entry = (*g_NestingMap)[m_ThreadId];
    --entry.depth;
    if (!entry.indentation.empty()) entry.indentation.pop_back();
    if (std::snprintf(leave, sizeof(leave), "%s/ %s", entry.indentation.c_str(), m_Function) < 0)
      leave[0] = 0;
  }
  // Unsigned difference: correct across the 49-day wrap of the millisecond clock.
  const DWORD elapsed = timeGetTime() - m_StartMs;
  LogMessage(m_Level, m_Tag, m_Module->name, leave, "(%lld msec)", static_cast<long long>(elapsed));
}

}  // namespace halvern
