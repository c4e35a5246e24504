// The trace library: levelled, indented, timed lines for every registered thread of every process,
// to the debugger output, the console and a log file written by a background thread.
//
// Formats are printf-style UTF-8; the text becomes UTF-16 in the shared block and the debugger
// output.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/compiler.h"
#include "platform/win32.h"
#include "trace/debug_print.h"

namespace halvern {

// Levels and their tags.
constexpr int kTraceLevelMessage = 1;  // "MSG "
constexpr int kTraceLevelError = 2;    // "ERR "
constexpr int kTraceLevelWarning = 3;  // "WRN "
constexpr int kTraceLevelUser = 4;     // "USR "
constexpr int kTraceLevelDetail = 5;
constexpr int kTraceLevelInOut = 6;  // "I_O ": function entry and exit
constexpr std::uint32_t kTraceAllContexts = 0xFFFFFFFFu;

// A formatted message and a whole line are each cut at this many characters.
constexpr std::size_t kTraceMaxLineChars = 4096;

// Registers the calling thread (the first parameter is not used). Returns 1, or 0 when no entry
// could be had. The first registration of a process fixes its settings and starts its writer.
// An empty log file path means no log file.
int TraceInitEx(void* reserved, std::uint32_t outputFlags, const WCHAR* logFile, int level,
                bool quiet) noexcept;
int TraceInitInternal(DWORD processId, DWORD threadId, std::uint32_t outputFlags,
                      const WCHAR* logFile, bool* alreadyInitialised, bool quiet) noexcept;
// Ends one registration of `threadId`; a thread without one changes nothing.
void TraceTerminateThread(DWORD threadId, bool releaseEntry, bool quiet) noexcept;

// Apply to every registered thread of the calling process.
void TraceSetContext(std::uint32_t mask) noexcept;
void TraceSetVerboseLevel(int level) noexcept;

// A line that the calling thread's settings drop costs neither the block lock nor a lookup.
void Trace(int level, std::uint32_t contextMask, const char* format, ...) noexcept
    HALVERN_PRINTF_LIKE(3, 4);
// Entry and exit lines; they move the thread's indentation only when they pass the filter.
void TraceIn(int level, std::uint32_t contextMask, const char* format, ...) noexcept
    HALVERN_PRINTF_LIKE(3, 4);
void TraceOut(int level, std::uint32_t contextMask, const char* format, ...) noexcept
    HALVERN_PRINTF_LIKE(3, 4);
// A line whose message is `text` as it stands, never read as a format; nothing for a null text.
enum class TraceIndent { Keep, In, Out };
void TraceText(int level, std::uint32_t contextMask, TraceIndent indent,
               const WCHAR* text) noexcept;
// The text as it stands: no prefix, tag or line feed.
void TraceRaw(int level, const char* text) noexcept;
void TraceRaw(int level, const WCHAR* text) noexcept;

// True when a line of `level` for every context would pass the calling thread's filter; costs no
// lock while the settings are unchanged.
bool TraceWouldPass(int level) noexcept;

// Where the default log folder ("Halvern" below it) lives instead of the machine's common data
// folder; empty restores the machine's folder. Tests use it so that they never write there.
void TraceSetCommonDataFolder(std::string_view utf8Folder);

}  // namespace halvern
