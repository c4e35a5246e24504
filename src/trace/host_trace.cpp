#include "trace/host_trace.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "trace/trace.h"
#include "trace/trace_block.h"

namespace halvern {

namespace {

std::mutex g_LogPathLock;
bool g_HasLogPath = false;
WCHAR g_LogPath[kTracePathChars] = {};

}  // namespace

void HostTraceSetLogPath(const WCHAR* path) noexcept {
  std::lock_guard guard(g_LogPathLock);
  g_HasLogPath = path != nullptr;
  std::size_t length = 0;
  for (; path != nullptr && path[length] != 0 && length < kTraceMaxPathLength; ++length)
    g_LogPath[length] = path[length];
  g_LogPath[length] = 0;
}

int MapHostTraceLevel(std::uint32_t hostLevel) noexcept {
  constexpr int kLevels[] = {0, kTraceLevelError, kTraceLevelWarning, kTraceLevelDetail, 7};
  return hostLevel < std::size(kLevels) ? kLevels[hostLevel] : 0;
}

void HostTraceInit() noexcept {
  WCHAR path[kTracePathChars];
  bool hasPath = false;
  {
    std::lock_guard guard(g_LogPathLock);
    hasPath = g_HasLogPath;
    std::copy(std::begin(g_LogPath), std::end(g_LogPath), path);
  }
  TraceInitEx(nullptr, kTraceToDebugger | kTraceToFile, hasPath ? path : nullptr, kTraceLevelError,
              true);
  TraceSetContext(kTraceAllContexts);
}

void HostTraceTerminate() noexcept { TraceTerminateThread(GetCurrentThreadId(), true, false); }

void HostTraceSetVerboseLevel(std::uint32_t hostLevel) noexcept {
  TraceSetVerboseLevel(MapHostTraceLevel(hostLevel));
}

void HostTraceIn(const WCHAR* text) noexcept {
  TraceText(kTraceLevelInOut, kTraceAllContexts, TraceIndent::In, text);
}

void HostTraceOut(const WCHAR* text) noexcept {
  TraceText(kTraceLevelInOut, kTraceAllContexts, TraceIndent::Out, text);
}

void HostTraceLevel(std::uint32_t hostLevel, const WCHAR* text) noexcept {
  TraceText(MapHostTraceLevel(hostLevel), kTraceAllContexts, TraceIndent::Keep, text);
}

void HostTraceRaw(std::uint32_t hostLevel, const WCHAR* text) noexcept {
  TraceRaw(MapHostTraceLevel(hostLevel), text);
}

}  // namespace halvern
