#include "trace/debug_print.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/utf16.h"
#include "platform/win32.h"

namespace halvern {

namespace {

// Fixed buffers only: this runs inside every export of the trace library.
void EmitUtf8(const char* text) noexcept {
  WCHAR wide[1024];
  const std::size_t length = platform::Utf8ToUtf16(text, wide, std::size(wide) - 1);
  wide[length] = 0;
  platform::EmitDebugStringW(reinterpret_cast<const char16_t*>(wide));
}

}  // namespace

void FormatTraceTime(char (&out)[32]) noexcept {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::snprintf(out, sizeof(out), "%02d:%02d:%02d.%03d", now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds);
}

void DebugPrint(const char* format, ...) noexcept {
  constexpr std::size_t kMaxChars = 512;
  char time[32];
  FormatTraceTime(time);
  char head[40];
  std::snprintf(head, sizeof(head), "%s ", time);
  char message[kMaxChars + 1];
  std::va_list args;
  va_start(args, format);
  if (std::vsnprintf(message, sizeof(message), format, args) < 0) message[0] = 0;
  va_end(args);
  const std::size_t length = std::strlen(message);
  char body[kMaxChars + 16];
  std::snprintf(body, sizeof(body), "%-6s %s%s", "VX: ", message,
                length > 0 && message[length - 1] == '\n' ? "" : "\n");
  EmitUtf8(head);
  EmitUtf8(body);
}

CTraceCallPrefix TraceCallPrefix(unsigned processId, unsigned threadId,
                                 const char* function) noexcept {
  CTraceCallPrefix prefix;
  std::snprintf(prefix.text, sizeof(prefix.text), "                          %04X-%04X:      %s()",
                processId, threadId, function);
  return prefix;
}

CTraceCallPrefix TraceCallPrefix(const char* function) noexcept {
  return TraceCallPrefix(static_cast<unsigned>(GetCurrentProcessId()),
                         static_cast<unsigned>(GetCurrentThreadId()), function);
}

void TraceReportUninitialised() noexcept {
  char time[32];
  FormatTraceTime(time);
  char prefix[96];
  std::snprintf(prefix, sizeof(prefix), "%s                     %04X-%04X: ", time,
                static_cast<unsigned>(GetCurrentProcessId()),
                static_cast<unsigned>(GetCurrentThreadId()));
  DebugPrint("%s %s() - ERROR function called before TraceInitInternal()", prefix,
             "QKDEBUG_GetProcInfoPtr");
}

}  // namespace halvern
