// The debugger engine's reading of a dump's stored event (Windows only).
#pragma once

#include "kovra_api.h"
#include "platform/win32.h"

namespace halvern {

#if defined(_WIN32)
// True when the engine took the call: result and *frameCount hold its outcome. False when the
// engine cannot be had or cannot open the dump (Wine answers E_NOTIMPL): our own walker runs.
bool DebugEngineCallStack(const WCHAR* dumpPath, CallStackFrameRecord* frames, int maxFrames,
                          int* frameCount, int& result);
#else
inline bool DebugEngineCallStack(const WCHAR*, CallStackFrameRecord*, int, int*, int&) {
  return false;
}
#endif

}  // namespace halvern
