// The trace library's own diagnostics, sent straight to the debugger output. The shared-block code
// reports through these too, so it never needs the line writer above it.
#pragma once

#include <cstddef>

#include "platform/compiler.h"

namespace halvern {

// "HH:MM:SS.mmm" of the local time.
void FormatTraceTime(char (&out)[32]) noexcept;

void DebugPrint(const char* format, ...) noexcept HALVERN_PRINTF_LIKE(1, 2);

// "<26 blanks><pid>-<tid>:      <function>()", the head of the registration messages.
struct CTraceCallPrefix {
  char text[160];
};
CTraceCallPrefix TraceCallPrefix(const char* function) noexcept;
CTraceCallPrefix TraceCallPrefix(unsigned processId, unsigned threadId,
                                 const char* function) noexcept;

// Prints the "called before TraceInitInternal" error for the calling thread.
void TraceReportUninitialised() noexcept;

}  // namespace halvern
