// The trace log file on disk: its default place, the rotation when a process starts tracing and
// the appends of the writer thread.
#pragma once

#include <cstddef>

#include "platform/utf16.h"
#include "platform/win32.h"

namespace halvern {

// <common data folder>/Halvern/<executable file name>.log. The Halvern folder is created when
// missing; empty when it cannot be had or cannot be trusted (see log_file.cpp).
platform::WString DefaultTraceLogPath(const platform::WString& commonDataFolder);

// player.exe.log -> player.exe01.log -> ... -> player.exe10.log, which is dropped.
void RotateTraceLogs(const WCHAR* path);

// Appends the text; a file that cannot be opened is skipped and the text dropped.
void AppendTraceLog(const WCHAR* path, const WCHAR* text, std::size_t length) noexcept;

}  // namespace halvern
