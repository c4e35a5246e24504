#include "trace/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/utf16.h"
#include "trace/trace_block.h"

namespace halvern {

namespace {

struct CCaller {
  QKDEBUG_PROC_INFO* process = nullptr;
  QKDEBUG_THREAD_INFO* thread = nullptr;
};

CCaller FindCaller(QKDEBUG_PROC_INFO* block) {
  CCaller caller;
  caller.process = QKDEBUG_GetProcInfoPtr(block, GetCurrentProcessId(), false, false);
  if (caller.process != nullptr)
    caller.thread =
        QKDEBUG_GetThreadInfoPtr(block, GetCurrentProcessId(), GetCurrentThreadId(), false, false);
  return caller;
}

bool Passes(const QKDEBUG_THREAD_INFO* thread, int level, std::uint32_t contextMask) {
  return thread != nullptr && level != 0 && level <= thread->debugLevel &&
         (thread->contextFlags & contextMask) != 0 && thread->outputFlags != 0 &&
         thread->prefixMode != 0;
}

const char* LevelTag(int level) {
  switch (level) {
    case kTraceLevelMessage:
      return "MSG ";
    case kTraceLevelError:
      return "ERR ";
    case kTraceLevelWarning:
      return "WRN ";
    case kTraceLevelUser:
      return "USR ";
    case kTraceLevelInOut:
      return "I_O ";
    default:
      return "    ";
  }
}

// A bounded UTF-16 text on the stack: the message path allocates nothing.
template <std::size_t Capacity>
struct CWideText {
  WCHAR chars[Capacity + 1];
  std::size_t length = 0;

  CWideText() { chars[0] = 0; }
  void Append(std::string_view utf8) {
    length += platform::Utf8ToUtf16(utf8, chars + length, Capacity - length);
    chars[length] = 0;
  }
  void Append(const WCHAR* wide) {
    while (*wide != 0 && length < Capacity) chars[length++] = *wide++;
    chars[length] = 0;
  }
};

using CTraceText = CWideText<kTraceMaxLineChars>;

void FormatTime(char (&out)[32]) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::snprintf(out, sizeof(out), "%02d:%02d:%02d.%03d", now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds);
}

bool ReadWorkingSetKB(std::int64_t* kilobytes) {
  HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
  if (process == nullptr) return false;
  PROCESS_MEMORY_COUNTERS counters{};
  const BOOL ok = K32GetProcessMemoryInfo(process, &counters, sizeof(counters));
  CloseHandle(process);
  if (!ok) return false;
  *kilobytes = static_cast<std::int64_t>(counters.WorkingSetSize / 1024);
  return true;
}

void FormatPrefix(QKDEBUG_THREAD_INFO* thread, char* out, std::size_t size) {
  char time[32];
  FormatTime(time);
  if (thread->prefixMode == kTracePrefixTimeOnly) {
    std::snprintf(out, size, "%s 0x???: ", time);
    return;
  }
  const unsigned processId = GetCurrentProcessId();
  const unsigned threadId = GetCurrentThreadId();
  std::int64_t workingSet = 0;
  std::int64_t delta = 0;
  if (ReadWorkingSetKB(&workingSet)) {
    delta = workingSet - thread->workingSetKB;
    thread->workingSetKB = workingSet;
  }
  if (delta != 0)
    std::snprintf(out, size, "%s %7dK(%+9d) %04X-%04X: ", time, static_cast<int>(workingSet),
                  static_cast<int>(delta), processId, threadId);
  else
    std::snprintf(out, size, "%s                     %04X-%04X: ", time, processId, threadId);
}

void AppendPending(QKDEBUG_PROC_INFO* process, const WCHAR* line, std::size_t length) {
  const std::size_t used = TracePendingLength(process);
  const std::size_t room = kTracePendingChars - 1 - used;
  const std::size_t count = length < room ? length : room;
  std::memcpy(process->pendingOutput + used, line, count * sizeof(WCHAR));
  process->pendingOutput[used + count] = 0;
}

void Emit(const CCaller& caller, const WCHAR* line, std::size_t length) {
  const std::uint32_t flags = caller.thread->outputFlags;
  if ((flags & kTraceToDebugger) != 0)
    platform::EmitDebugStringW(reinterpret_cast<const char16_t*>(line));
  if ((flags & kTraceToConsole) != 0)
    std::fputs(platform::Utf16ToUtf8(line, length).c_str(), stdout);
  if ((flags & kTraceToFile) != 0) {
    AppendPending(caller.process, line, length);
    caller.process->lastOutputThreadId = caller.thread->threadId;
  }
}

void WriteLine(QKDEBUG_PROC_INFO* block, int level, std::uint32_t contextMask,
               const CTraceText& text) {
  const CCaller caller = FindCaller(block);
  if (!Passes(caller.thread, level, contextMask)) return;
  // The line is cut at kTraceMaxLineChars; its line feed may come on top.
  CWideText<kTraceMaxLineChars + 1> line;
  if (caller.thread->prefixMode != kTracePrefixNone) {
    char prefix[96];
    FormatPrefix(caller.thread, prefix, sizeof(prefix));
    line.Append(prefix);
  }
  line.Append(LevelTag(level));
  line.Append(text.chars);
  if (line.length > kTraceMaxLineChars) line.length = kTraceMaxLineChars;
  if (line.length == 0 || line.chars[line.length - 1] != '\n') line.chars[line.length++] = '\n';
  line.chars[line.length] = 0;
  Emit(caller, line.chars, line.length);
}

// vsnprintf cannot throw; what it could not fit is simply cut.
void FormatText(char (&out)[kTraceMaxLineChars + 1], const char* format, std::va_list args) {
  out[0] = 0;
  if (format != nullptr && std::vsnprintf(out, sizeof(out), format, args) < 0) out[0] = 0;
}

enum class IndentMove { Keep, In, Out };

void TraceV(int level, std::uint32_t contextMask, IndentMove indent, const char* format,
            std::va_list args) {
  CTraceBlockLock lock(false);
  QKDEBUG_PROC_INFO* block = lock.Block();
  const CCaller caller = FindCaller(block);
  if (!Passes(caller.thread, level, contextMask)) return;
  char message[kTraceMaxLineChars + 1];
  FormatText(message, format, args);
  WCHAR* indentation = caller.thread->indentation;
  std::size_t depth = platform::Utf16Length(indentation);
  if (indent == IndentMove::Out && depth > 0) indentation[--depth] = 0;
  CTraceText text;
  text.Append(indentation);
  text.Append(indent == IndentMove::In ? "\\ " : indent == IndentMove::Out ? "/ " : " ");
  text.Append(message);
  if (indent == IndentMove::In && depth + 1 < kTraceIndentChars) {
    indentation[depth] = '|';
    indentation[depth + 1] = 0;
  }
  WriteLine(block, level, contextMask, text);
}

}  // namespace

void Trace(int level, std::uint32_t contextMask, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  TraceV(level, contextMask, IndentMove::Keep, format, args);
  va_end(args);
}

void TraceIn(int level, std::uint32_t contextMask, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  TraceV(level, contextMask, IndentMove::In, format, args);
  va_end(args);
}

void TraceOut(int level, std::uint32_t contextMask, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  TraceV(level, contextMask, IndentMove::Out, format, args);
  va_end(args);
}

void TraceRaw(int level, const char* text) {
  if (text == nullptr) return;
  CTraceBlockLock lock(false);
  const CCaller caller = FindCaller(lock.Block());
  if (!Passes(caller.thread, level, kTraceAllContexts)) return;
  // Raw text is bounded like a line, so the message path stays on fixed buffers.
  CTraceText raw;
  raw.Append(text);
  Emit(caller, raw.chars, raw.length);
}

void DebugPrint(const char* format, ...) {
  constexpr std::size_t kMaxChars = 512;
  char time[32];
  FormatTime(time);
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
  platform::EmitDebugStringW(
      reinterpret_cast<const char16_t*>(platform::Utf8ToUtf16(head).c_str()));
  platform::EmitDebugStringW(
      reinterpret_cast<const char16_t*>(platform::Utf8ToUtf16(body).c_str()));
}

std::string TraceCallPrefix(const char* function) {
  char prefix[160];
  std::snprintf(prefix, sizeof(prefix), "                          %04X-%04X:      %s()",
                static_cast<unsigned>(GetCurrentProcessId()),
                static_cast<unsigned>(GetCurrentThreadId()), function);
  return prefix;
}

void TraceReportUninitialised() {
  char time[32];
  FormatTime(time);
  char prefix[96];
  std::snprintf(prefix, sizeof(prefix), "%s                     %04X-%04X: ", time,
                static_cast<unsigned>(GetCurrentProcessId()),
                static_cast<unsigned>(GetCurrentThreadId()));
  DebugPrint("%s %s() - ERROR function called before TraceInitInternal()", prefix,
             "QKDEBUG_GetProcInfoPtr");
}

namespace {

template <typename Apply>
void ForEachThreadOfProcess(Apply apply) {
  CTraceBlockLock lock(false);
  QKDEBUG_PROC_INFO* process =
      QKDEBUG_GetProcInfoPtr(lock.Block(), GetCurrentProcessId(), true, false);
  if (process == nullptr) return;
  for (QKDEBUG_THREAD_INFO& thread : process->threads)
    if (thread.threadId != 0) apply(thread);
}

}  // namespace

void TraceSetContext(std::uint32_t mask) {
  DebugPrint("%s(0x%08X)", "TraceSetContext", mask);
  ForEachThreadOfProcess([mask](QKDEBUG_THREAD_INFO& thread) { thread.contextFlags = mask; });
}

void TraceSetVerboseLevel(int level) {
  DebugPrint("%s(%d)", "TraceSetVerboseLevel", level);
  ForEachThreadOfProcess([level](QKDEBUG_THREAD_INFO& thread) { thread.debugLevel = level; });
}

}  // namespace halvern
