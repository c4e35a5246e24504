#include "trace/kovra_trace.h"

#include <mutex>
#include <string>

#include "platform/utf16.h"
#include "trace/trace.h"
#include "trace/trace_block.h"

namespace halvern {

namespace {

std::mutex g_LogPathLock;
platform::WString g_LogPath;
bool g_HasLogPath = false;

// The host's text is written as it stands: there are no arguments that directives could take.
std::string HostText(const WCHAR* text) {
  return text != nullptr ? platform::Utf16ToUtf8(text) : std::string();
}

}  // namespace

void SetKovraTraceLogPath(const WCHAR* path) {
  std::lock_guard guard(g_LogPathLock);
  g_HasLogPath = path != nullptr;
  g_LogPath = path != nullptr ? platform::WString(path) : platform::WString();
}

int MapKovraTraceLevel(std::uint32_t hostLevel) {
  constexpr int kLevels[] = {0, kTraceLevelError, kTraceLevelWarning, kTraceLevelDetail, 7};
  return hostLevel < std::size(kLevels) ? kLevels[hostLevel] : 0;
}

}  // namespace halvern

using namespace halvern;

extern "C" {

void KovraApi_Trace_Init() {
  platform::WString path;
  bool hasPath = false;
  {
    std::lock_guard guard(g_LogPathLock);
    path = g_LogPath;
    hasPath = g_HasLogPath;
  }
  TraceInitEx(nullptr, kTraceToDebugger | kTraceToFile, hasPath ? path.c_str() : nullptr,
              kTraceLevelError, true);
  TraceSetContext(kTraceAllContexts);
}

void KovraApi_Trace_Terminate() { TraceTerminateThread(GetCurrentThreadId(), true, false); }

void KovraApi_Trace_SetVerboseLevel(std::uint32_t level) {
  TraceSetVerboseLevel(MapKovraTraceLevel(level));
}

void KovraApi_Trace_In(const WCHAR* text) {
  TraceIn(kTraceLevelInOut, kTraceAllContexts, "%s", HostText(text).c_str());
}

void KovraApi_Trace_Out(const WCHAR* text) {
  TraceOut(kTraceLevelInOut, kTraceAllContexts, "%s", HostText(text).c_str());
}

void KovraApi_Trace_Level(std::uint32_t level, const WCHAR* text) {
  if (text == nullptr) return;
  Trace(MapKovraTraceLevel(level), kTraceAllContexts, "%s", HostText(text).c_str());
}

void KovraApi_Trace_Raw(std::uint32_t level, const WCHAR* text) {
  if (text == nullptr) return;
  TraceRaw(MapKovraTraceLevel(level), HostText(text).c_str());
}

}  // extern "C"
