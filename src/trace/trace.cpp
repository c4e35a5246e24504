#include "trace/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/scoped_resources.h"
#include "platform/utf16.h"
#include "trace/trace_block.h"

namespace halvern {

namespace {

bool Passes(std::int32_t debugLevel, std::uint32_t contextFlags, std::uint32_t outputFlags,
            std::int32_t prefixMode, int level, std::uint32_t contextMask) {
  return level != 0 && level <= debugLevel && (contextFlags & contextMask) != 0 &&
         outputFlags != 0 && prefixMode != 0;
}

bool Passes(const QKDEBUG_THREAD_INFO* thread, int level, std::uint32_t contextMask) {
  return thread != nullptr && Passes(thread->debugLevel, thread->contextFlags, thread->outputFlags,
                                     thread->prefixMode, level, contextMask);
}

// The calling thread's own copy of its filter settings and of where its entry was last found.
// Trivial, so a thread_local of it needs no guard on first use.
struct CThreadFilter {
  std::uint64_t version = 0;  // the settings version it was read at; 0 never was one
  bool registered = false;
  std::int32_t debugLevel = 0;
  std::uint32_t contextFlags = 0;
  std::uint32_t outputFlags = 0;
  std::int32_t prefixMode = 0;
  int processSlot = -1;
  int threadSlot = -1;

  bool Passes(int level, std::uint32_t contextMask) const {
    return registered &&
           halvern::Passes(debugLevel, contextFlags, outputFlags, prefixMode, level, contextMask);
  }
};

thread_local CThreadFilter t_Filter;

struct CCaller {
  QKDEBUG_PROC_INFO* process = nullptr;
  QKDEBUG_THREAD_INFO* thread = nullptr;
};

// The one lookup of a line, under the lock: the slots where the entry was found last time are
// tried first.
CCaller FindCaller(QKDEBUG_PROC_INFO* block) {
  CCaller caller;
  if (block == nullptr) return caller;
  const DWORD processId = GetCurrentProcessId();
  const DWORD threadId = GetCurrentThreadId();
  CThreadFilter& filter = t_Filter;
  if (filter.processSlot >= 0) {
    QKDEBUG_PROC_INFO* process = &block[filter.processSlot];
    QKDEBUG_THREAD_INFO* thread = &process->threads[filter.threadSlot];
    if (process->processId == processId && thread->threadId == threadId) return {process, thread};
  }
  caller.process = QKDEBUG_GetProcInfoPtr(block, processId, false, false);
  caller.thread = FindThreadEntry(caller.process, threadId);
  if (caller.thread != nullptr) {
    filter.processSlot = static_cast<int>(caller.process - block);
    filter.threadSlot = static_cast<int>(caller.thread - caller.process->threads);
  }
  return caller;
}

// Re-reads the settings under the lock only when something may have changed them.
const CThreadFilter& ThreadFilter() {
  CThreadFilter& filter = t_Filter;
  const std::uint64_t version = TraceSettingsVersion();
  if (filter.version == version) return filter;
  CTraceBlockLock lock(false);
  const CCaller caller = FindCaller(lock.Block());
  filter.registered = caller.thread != nullptr;
  if (caller.thread != nullptr) {
    filter.debugLevel = caller.thread->debugLevel;
    filter.contextFlags = caller.thread->contextFlags;
    filter.outputFlags = caller.thread->outputFlags;
    filter.prefixMode = caller.thread->prefixMode;
  }
  filter.version = version;
  return filter;
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

bool ReadWorkingSetKB(std::int64_t* kilobytes) {
  const platform::CScopedHandle process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
  PROCESS_MEMORY_COUNTERS counters{};
  if (!process || !K32GetProcessMemoryInfo(process.Get(), &counters, sizeof(counters)))
    return false;
  *kilobytes = static_cast<std::int64_t>(counters.WorkingSetSize / 1024);
  return true;
}

// What the line prefix needs from outside the block, gathered before the lock is taken.
struct CPrefixParts {
  char time[32];
  bool haveWorkingSet = false;
  std::int64_t workingSetKB = 0;

  explicit CPrefixParts(std::int32_t prefixMode) {
    time[0] = 0;
    if (prefixMode == kTracePrefixNone) return;
    FormatTraceTime(time);
    if (prefixMode != kTracePrefixTimeOnly) haveWorkingSet = ReadWorkingSetKB(&workingSetKB);
  }
};

// Under the lock: the working-set delta is against the figure stored in the thread's entry.
void FormatPrefix(QKDEBUG_THREAD_INFO* thread, CPrefixParts& parts, char* out,
                  std::size_t size) {
  if (parts.time[0] == 0) FormatTraceTime(parts.time);  // the mode changed since it was read
  if (thread->prefixMode == kTracePrefixTimeOnly) {
    std::snprintf(out, size, "%s 0x???: ", parts.time);
    return;
  }
  const unsigned processId = GetCurrentProcessId();
  const unsigned threadId = GetCurrentThreadId();
  std::int64_t delta = 0;
  if (parts.haveWorkingSet) {
    delta = parts.workingSetKB - thread->workingSetKB;
    thread->workingSetKB = parts.workingSetKB;
  }
  if (delta != 0)
    std::snprintf(out, size, "%s %7dK(%+9d) %04X-%04X: ", parts.time,
                  static_cast<int>(parts.workingSetKB), static_cast<int>(delta), processId,
                  threadId);
  else
    std::snprintf(out, size, "%s                     %04X-%04X: ", parts.time, processId, threadId);
}

void AppendPending(QKDEBUG_PROC_INFO* process, const WCHAR* line, std::size_t length) {
  const std::size_t used = TracePendingLength(process);
  const std::size_t room = kTracePendingChars - 1 - used;
  const std::size_t count = length < room ? length : room;
  std::memcpy(process->pendingOutput + used, line, count * sizeof(WCHAR));
  process->pendingOutput[used + count] = 0;
}

// Under the lock: queues file output and returns the flags of the outputs still to serve.
std::uint32_t QueueForFile(const CCaller& caller, const WCHAR* line, std::size_t length) {
  const std::uint32_t flags = caller.thread->outputFlags;
  if ((flags & kTraceToFile) != 0) {
    AppendPending(caller.process, line, length);
    caller.process->lastOutputThreadId = caller.thread->threadId;
  }
  return flags;
}

// After the lock: debugger and console.
void EmitDirect(std::uint32_t flags, const WCHAR* line, std::size_t length) {
  if ((flags & kTraceToDebugger) != 0)
    platform::EmitDebugStringW(reinterpret_cast<const char16_t*>(line));
  if ((flags & kTraceToConsole) != 0) {
    try {
      std::fputs(platform::Utf16ToUtf8(line, length).c_str(), stdout);
    } catch (...) {  // out of memory: the console misses this line
    }
  }
}

// vsnprintf cannot throw; what it could not fit is simply cut.
void FormatText(char (&out)[kTraceMaxLineChars + 1], const char* format, std::va_list args) {
  out[0] = 0;
  if (format != nullptr && std::vsnprintf(out, sizeof(out), format, args) < 0) out[0] = 0;
}

using CMessage = CWideText<kTraceMaxLineChars>;

void WriteMessage(const CThreadFilter& filter, int level, std::uint32_t contextMask,
                  TraceIndent indent, const WCHAR* message) {
  CPrefixParts parts(filter.prefixMode);
  // The line is cut at kTraceMaxLineChars; its line feed may come on top.
  CWideText<kTraceMaxLineChars + 1> line;
  std::uint32_t flags = 0;
  {
    CTraceBlockLock lock(false);
    const CCaller caller = FindCaller(lock.Block());
    if (!Passes(caller.thread, level, contextMask)) return;
    WCHAR* indentation = caller.thread->indentation;
    std::size_t depth = platform::Utf16Length(indentation);
    if (indent == TraceIndent::Out && depth > 0) indentation[--depth] = 0;
    CTraceText text;
    text.Append(indentation);
    text.Append(indent == TraceIndent::In ? "\\ " : indent == TraceIndent::Out ? "/ " : " ");
    text.Append(message);
    if (indent == TraceIndent::In && depth + 1 < kTraceIndentChars) {
      indentation[depth] = '|';
      indentation[depth + 1] = 0;
    }
    if (caller.thread->prefixMode != kTracePrefixNone) {
      char prefix[96];
      FormatPrefix(caller.thread, parts, prefix, sizeof(prefix));
      line.Append(prefix);
    }
    line.Append(LevelTag(level));
    line.Append(text.chars);
    if (line.length > kTraceMaxLineChars) line.length = kTraceMaxLineChars;
    if (line.length == 0 || line.chars[line.length - 1] != '\n') line.chars[line.length++] = '\n';
    line.chars[line.length] = 0;
    flags = QueueForFile(caller, line.chars, line.length);
  }
  EmitDirect(flags, line.chars, line.length);
}

void TraceV(int level, std::uint32_t contextMask, TraceIndent indent, const char* format,
            std::va_list args) {
  const CThreadFilter& filter = ThreadFilter();
  if (!filter.Passes(level, contextMask)) return;
  // Formatting needs no shared state: it is done before the lock.
  CMessage message;
  {
    char utf8[kTraceMaxLineChars + 1];
    FormatText(utf8, format, args);
    message.Append(utf8);
  }
  WriteMessage(filter, level, contextMask, indent, message.chars);
}

void EmitRaw(int level, const WCHAR* text, std::size_t length) {
  std::uint32_t flags = 0;
  {
    CTraceBlockLock lock(false);
    const CCaller caller = FindCaller(lock.Block());
    if (!Passes(caller.thread, level, kTraceAllContexts)) return;
    flags = QueueForFile(caller, text, length);
  }
  EmitDirect(flags, text, length);
}

}  // namespace

void Trace(int level, std::uint32_t contextMask, const char* format, ...) noexcept {
  std::va_list args;
  va_start(args, format);
  TraceV(level, contextMask, TraceIndent::Keep, format, args);
  va_end(args);
}

void TraceIn(int level, std::uint32_t contextMask, const char* format, ...) noexcept {
  std::va_list args;
  va_start(args, format);
  TraceV(level, contextMask, TraceIndent::In, format, args);
  va_end(args);
}

void TraceOut(int level, std::uint32_t contextMask, const char* format, ...) noexcept {
  std::va_list args;
  va_start(args, format);
  TraceV(level, contextMask, TraceIndent::Out, format, args);
  va_end(args);
}

void TraceText(int level, std::uint32_t contextMask, TraceIndent indent,
               const WCHAR* text) noexcept {
  if (text == nullptr) return;
  const CThreadFilter& filter = ThreadFilter();
  if (!filter.Passes(level, contextMask)) return;
  CMessage message;
  message.Append(text);
  WriteMessage(filter, level, contextMask, indent, message.chars);
}

void TraceRaw(int level, const char* text) noexcept {
  if (text == nullptr || !ThreadFilter().Passes(level, kTraceAllContexts)) return;
  // Raw text is bounded like a line, so the message path stays on fixed buffers.
  CTraceText raw;
  raw.Append(text);
  EmitRaw(level, raw.chars, raw.length);
}

void TraceRaw(int level, const WCHAR* text) noexcept {
  if (text == nullptr || !ThreadFilter().Passes(level, kTraceAllContexts)) return;
  CTraceText raw;
  raw.Append(text);
  EmitRaw(level, raw.chars, raw.length);
}

bool TraceWouldPass(int level) noexcept { return ThreadFilter().Passes(level, kTraceAllContexts); }

namespace {

template <typename Apply>
void ForEachThreadOfProcess(Apply apply) {
  CTraceBlockLock lock(false);
  QKDEBUG_PROC_INFO* process =
      QKDEBUG_GetProcInfoPtr(lock.Block(), GetCurrentProcessId(), true, false);
  if (process == nullptr) return;
  for (QKDEBUG_THREAD_INFO& thread : process->threads)
    if (thread.threadId != 0) apply(thread);
  TraceNoteSettingsChanged();
}

}  // namespace

void TraceSetContext(std::uint32_t mask) noexcept {
  DebugPrint("%s(0x%08X)", "TraceSetContext", mask);
  ForEachThreadOfProcess([mask](QKDEBUG_THREAD_INFO& thread) { thread.contextFlags = mask; });
}

void TraceSetVerboseLevel(int level) noexcept {
  DebugPrint("%s(%d)", "TraceSetVerboseLevel", level);
  ForEachThreadOfProcess([level](QKDEBUG_THREAD_INFO& thread) { thread.debugLevel = level; });
}

}  // namespace halvern
