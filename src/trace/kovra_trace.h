// Bodies of the KovraApi_Trace_* exports (the API layer exports them). Texts are UTF-16.
#pragma once

#include <cstdint>

#include "platform/win32.h"

extern "C" {
void KovraApi_Trace_Init();
void KovraApi_Trace_Terminate();
// Host levels 0..4 become 0, 2, 3, 5, 7; anything else 0, which silences everything.
void KovraApi_Trace_SetVerboseLevel(std::uint32_t level);
void KovraApi_Trace_In(const WCHAR* text);
void KovraApi_Trace_Out(const WCHAR* text);
void KovraApi_Trace_Level(std::uint32_t level, const WCHAR* text);
void KovraApi_Trace_Raw(std::uint32_t level, const WCHAR* text);
}

namespace halvern {

// The log path the host gave at initialisation (null: the default path); KovraApi_Trace_Init uses
// it.
void SetKovraTraceLogPath(const WCHAR* path);

int MapKovraTraceLevel(std::uint32_t hostLevel);

}  // namespace halvern
