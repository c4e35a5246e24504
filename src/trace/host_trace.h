// What the host's trace calls do. The exported functions call these and nothing else; none of
// them throws or allocates. Texts are UTF-16 and always written as they stand.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace halvern {

// The log path the host gave at initialisation (null: the default path; empty: no log file);
// HostTraceInit uses it. A path beyond the trace block's limit is cut there.
void HostTraceSetLogPath(const WCHAR* path) noexcept;

// Host levels 0..4 become 0, 2, 3, 5, 7; anything else 0, which never passes.
int MapHostTraceLevel(std::uint32_t hostLevel) noexcept;

// The process's tracing: debugger and log file, level 2, every context.
void HostTraceInit() noexcept;
// Ends the calling thread's registration, if it holds one.
void HostTraceTerminate() noexcept;
void HostTraceSetVerboseLevel(std::uint32_t hostLevel) noexcept;
// Entry and exit lines; nothing for a null text.
void HostTraceIn(const WCHAR* text) noexcept;
void HostTraceOut(const WCHAR* text) noexcept;
void HostTraceLevel(std::uint32_t hostLevel, const WCHAR* text) noexcept;
void HostTraceRaw(std::uint32_t hostLevel, const WCHAR* text) noexcept;

}  // namespace halvern
