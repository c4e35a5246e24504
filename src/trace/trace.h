// The trace library: levelled, indented, timed lines for every registered thread of every process,
// to the debugger output, the console and a log file written by a background thread.
//
// Formats are printf-style UTF-8; the text becomes UTF-16 in the shared block and the debugger
// output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32.h"

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
int TraceInitEx(void* reserved, std::uint32_t outputFlags, const WCHAR* logFile, int level,
                bool quiet);
int TraceInitInternal(DWORD processId, DWORD threadId, std::uint32_t outputFlags,
                      const WCHAR* logFile, bool* alreadyInitialised, bool quiet);
void TraceTerminateThread(DWORD threadId, bool releaseEntry, bool quiet);

// Apply to every registered thread of the calling process.
void TraceSetContext(std::uint32_t mask);
void TraceSetVerboseLevel(int level);

void Trace(int level, std::uint32_t contextMask, const char* format, ...);
// Entry and exit lines; they move the thread's indentation only when they pass the filter.
void TraceIn(int level, std::uint32_t contextMask, const char* format, ...);
void TraceOut(int level, std::uint32_t contextMask, const char* format, ...);
// The text as it stands: no prefix, tag or line feed.
void TraceRaw(int level, const char* text);

// The library's own diagnostics, straight to the debugger output.
void DebugPrint(const char* format, ...);

// Where the default log folder ("Halvern" below it) lives instead of the machine's common data
// folder; empty restores the machine's folder. Tests use it so that they never write there.
void TraceSetCommonDataFolder(std::string_view utf8Folder);

// "<26 blanks><pid>-<tid>:      <function>()", the head of the registration messages.
std::string TraceCallPrefix(const char* function);
// Prints the "called before TraceInitInternal" error for the calling thread.
void TraceReportUninitialised();

}  // namespace halvern
