// Registration, termination, the writer thread and the log file of the trace library.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/utf16.h"
#include "trace/trace.h"
#include "trace/trace_block.h"

namespace halvern {

namespace {

using platform::WString;

constexpr DWORD kWriterStopTimeoutMs = 1000;
constexpr int kLogGenerations = 10;
constexpr std::size_t kMaxExtensionChars = 63;
constexpr WCHAR kAppendCommitMode[] = {'a', 'c', 0};
#if defined(_WIN32)
constexpr WCHAR kPathSeparator = '\\';
#else
constexpr WCHAR kPathSeparator = '/';
#endif

std::mutex g_ProcessLock;  // the process-local pieces below
HANDLE g_WriterThread = nullptr;
std::string g_CommonDataFolder;

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

std::size_t FileNameStart(const WString& path) {
  const std::size_t slash = path.find_last_of(platform::Utf8ToUtf16("\\/"));
  return slash == WString::npos ? 0 : slash + 1;
}

// The extension as the Windows path helpers see it: from the last dot of the file name on.
std::size_t ExtensionStart(const WString& path) {
  const std::size_t dot = path.rfind('.');
  return dot == WString::npos || dot < FileNameStart(path) ? path.size() : dot;
}

WString CommonDataFolder() {
  {
    std::lock_guard guard(g_ProcessLock);
    if (!g_CommonDataFolder.empty()) return platform::Utf8ToUtf16(g_CommonDataFolder);
  }
  WCHAR folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
    return WString();
  return folder;
}

// <common data folder>/Halvern/<executable file name>.log
WString DefaultLogPath() {
  WString folder = CommonDataFolder();
  if (!folder.empty() && !IsSeparator(folder.back())) folder += kPathSeparator;
  folder += platform::Utf8ToUtf16("Halvern");
  CreateDirectoryW(folder.c_str(), nullptr);
  WCHAR module[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  const WString executable(module, length < MAX_PATH ? length : 0);
  return folder + kPathSeparator + executable.substr(FileNameStart(executable)) +
         platform::Utf8ToUtf16(".log");
}

WString GenerationName(const WString& base, const WString& extension, int generation) {
  if (generation == 0) return base + extension;
  char number[8];
  std::snprintf(number, sizeof(number), "%02d", generation);
  return base + platform::Utf8ToUtf16(number) + extension;
}

// player.exe.log -> player.exe01.log -> ... -> player.exe10.log, which is dropped.
void RotateLogs(const WString& path) {
  const std::size_t dot = ExtensionStart(path);
  const WString base = path.substr(0, dot);
  const WString extension = path.substr(dot, kMaxExtensionChars);
  for (int generation = kLogGenerations; generation >= 0; --generation) {
    const WString name = GenerationName(base, extension, generation);
    if (generation == kLogGenerations)
      _wremove(name.c_str());
    else
      _wrename(name.c_str(), GenerationName(base, extension, generation + 1).c_str());
  }
}

// A file that cannot be opened is skipped; its text is dropped.
void AppendToLog(const WCHAR* path, const WString& text) {
  if (path[0] == 0 || text.empty()) return;
  FILE* file = nullptr;
  if (_wfopen_s(&file, path, kAppendCommitMode) != 0 || file == nullptr) return;
  fputws(text.c_str(), file);
  std::fclose(file);
}

struct CPendingOutput {
  WString text;
  std::uint32_t flags = 0;
  WCHAR path[kTracePathChars] = {};
};

// Takes the process's queued file output together with the settings of the thread that queued
// last. Called under the block lock.
void TakePending(QKDEBUG_PROC_INFO* process, CPendingOutput* out) {
  out->text.clear();
  if (process->pendingOutput[0] == 0) return;
  out->text.assign(process->pendingOutput, TracePendingLength(process));
  TraceClearPending(process);
  out->flags = 0;
  out->path[0] = 0;
  for (const QKDEBUG_THREAD_INFO& thread : process->threads) {
    if (thread.threadId != 0 && thread.threadId == process->lastOutputThreadId) {
      out->flags = thread.outputFlags;
      std::memcpy(out->path, thread.logFile, sizeof(out->path));
      break;
    }
  }
}

void WritePending(const CPendingOutput& pending) {
  if ((pending.flags & kTraceToFile) != 0) AppendToLog(pending.path, pending.text);
}

DWORD WINAPI WriterThread(LPVOID) {
  const DWORD processId = GetCurrentProcessId();
  CPendingOutput pending;
  pending.text.reserve(kTracePendingChars);
  for (;;) {
    bool stop = false;
    {
      CTraceBlockLock lock(false);
      QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(lock.Block(), processId, true, false);
      if (process == nullptr || process->referenceCount < 1) {
        if (process != nullptr) TraceReportUninitialised();
        break;
      }
      process->writerRunning = 1;
      stop = process->writerStop != 0;
      TakePending(process, &pending);
    }
    WritePending(pending);  // never under the lock: tracing threads do not wait on the disk
    if (stop) break;
    Sleep(1);
  }
  CTraceBlockLock lock(false);
  QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(lock.Block(), processId, false, false);
  if (process != nullptr) process->writerRunning = 0;
  return 0;
}

void CopyPath(WCHAR* out, const WString& path) {
  const std::size_t count = path.size() < kTraceMaxPathLength ? path.size() : kTraceMaxPathLength;
  std::memcpy(out, path.data(), count * sizeof(WCHAR));
  out[count] = 0;
}

void StartWriter(QKDEBUG_PROC_INFO* process) {
  process->writerStop = 0;
  HANDLE thread = CreateThread(nullptr, 0, WriterThread, nullptr, 0, nullptr);
  process->writerThread = reinterpret_cast<std::uintptr_t>(thread);
  std::lock_guard guard(g_ProcessLock);
  if (g_WriterThread != nullptr) CloseHandle(g_WriterThread);
  g_WriterThread = thread;
}

HANDLE TakeWriterHandle() {
  std::lock_guard guard(g_ProcessLock);
  HANDLE thread = g_WriterThread;
  g_WriterThread = nullptr;
  return thread;
}

void WriteHeader(const QKDEBUG_THREAD_INFO& thread, int level) {
  char runTime[64] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  std::strftime(runTime, sizeof(runTime), "%b %d %Y, %X", &local);
  const std::string logFile = platform::Utf16ToUtf8(thread.logFile);
  Trace(kTraceLevelMessage, kTraceAllContexts,
        "--- QKDEBUG -----------------------------------------------");
  Trace(kTraceLevelMessage, kTraceAllContexts, "Build time    = %s, %s (last rebuild of QKDEBUG)",
        __DATE__, __TIME__);
  Trace(kTraceLevelMessage, kTraceAllContexts, "Run time      = %s", runTime);
  Trace(kTraceLevelMessage, kTraceAllContexts, "Logfile       = %s", logFile.c_str());
  Trace(kTraceLevelMessage, kTraceAllContexts, "Debug level   = %d", level);
  Trace(kTraceLevelMessage, kTraceAllContexts, "Context flags = 0x%08X", kTraceAllContexts);
  Trace(kTraceLevelMessage, kTraceAllContexts,
        "-----------------------------------------------------------");
}

bool AnyProcessLeft(const QKDEBUG_PROC_INFO* block) {
  for (int i = 0; i < kTraceMaxProcesses; ++i)
    if (block[i].referenceCount > 0) return true;
  return false;
}

void ClearProcess(QKDEBUG_PROC_INFO* process) {
  for (QKDEBUG_THREAD_INFO& thread : process->threads) ClearThreadEntry(&thread);
  process->referenceCount = 0;
  process->processId = 0;
  process->lastOutputThreadId = 0;
  process->writerRunning = 0;
  process->writerStop = 1;
  process->writerThread = 0;
  std::memset(process->pendingOutput, 0, sizeof(process->pendingOutput));
}

// Writes out the process's queued output at once, outside the lock.
void FlushPending(DWORD processId) {
  CPendingOutput pending;
  {
    CTraceBlockLock lock(false);
    QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(lock.Block(), processId, false, false);
    if (process == nullptr || process->referenceCount <= 0) return;
    TakePending(process, &pending);
  }
  WritePending(pending);
}

// Asks the writer to stop when this is the process's last registration and waits for it. A
// writer that has not yet set its running flag is waited for too: it must not outlive the block.
void StopWriterIfLast(DWORD processId) {
  bool stopping = false;
  {
    CTraceBlockLock lock(false);
    QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(lock.Block(), processId, false, false);
    if (process != nullptr && process->referenceCount == 1) {
      process->writerStop = 1;
      stopping = true;
    }
  }
  if (!stopping) return;
  std::lock_guard guard(g_ProcessLock);
  if (g_WriterThread != nullptr) WaitForSingleObject(g_WriterThread, kWriterStopTimeoutMs);
}

void ReportThreadNotFound(const char* prefix, const QKDEBUG_PROC_INFO* process, DWORD threadId,
                          bool terminating) {
  const int active = process != nullptr ? CountActiveThreads(process) : 0;
  const unsigned id = threadId;
  if (active < kTraceMaxThreads)
    DebugPrint(terminating ? "%s WARNING: Thread %04X not found: Currently %d threads are active!!!"
                           : "%s Thread %04X not found: Currently %d threads are active!!!",
               prefix, id, active);
  else
    DebugPrint(terminating
                   ? "%s ERROR: Thread %04X not found: Max. number of threads (%d) reached!!!"
                   : "%s Thread %04X not found: Max. number of threads (%d) reached!!!",
               prefix, id, kTraceMaxThreads);
}

}  // namespace

void TraceSetCommonDataFolder(std::string_view utf8Folder) {
  std::lock_guard guard(g_ProcessLock);
  g_CommonDataFolder = utf8Folder;
}

int TraceInitInternal(DWORD processId, DWORD threadId, std::uint32_t outputFlags,
                      const WCHAR* logFile, bool* alreadyInitialised, bool quiet) {
  CTraceBlockLock lock(true);
  QKDEBUG_PROC_INFO* block = lock.Block();
  QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(block, processId, false, true);
  QKDEBUG_THREAD_INFO* thread = QKDEBUG_GetThreadInfoPtr(block, processId, threadId, false, true);
  if (thread == nullptr) {
    char prefix[160];
    std::snprintf(prefix, sizeof(prefix), "                          %04X-%04X:      %s()",
                  static_cast<unsigned>(processId), static_cast<unsigned>(threadId),
                  "TraceInitInternal");
    if (!quiet) DebugPrint("%s", prefix);
    ReportThreadNotFound(prefix, process, threadId, false);
    return 0;
  }
  if (process->referenceCount <= 0 && thread->referenceCount <= 0) {
    thread->outputFlags = outputFlags;
    if ((outputFlags & kTraceToFile) != 0) {
      const WString path = logFile != nullptr ? WString(logFile) : DefaultLogPath();
      CopyPath(thread->logFile, path);
      RotateLogs(thread->logFile);
    }
  }
  if (alreadyInitialised != nullptr) *alreadyInitialised = process->referenceCount >= 1;
  ++thread->referenceCount;
  ++process->referenceCount;
  return 1;
}

int TraceInitEx(void*, std::uint32_t outputFlags, const WCHAR* logFile, int level, bool quiet) {
  const DWORD processId = GetCurrentProcessId();
  const DWORD threadId = GetCurrentThreadId();
  CTraceBlockLock lock(true);
  bool initialisedBefore = false;
  if (TraceInitInternal(processId, threadId, outputFlags, logFile, &initialisedBefore, quiet) == 0)
    return 0;
  QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(lock.Block(), processId, false, false);
  QKDEBUG_THREAD_INFO* thread =
      QKDEBUG_GetThreadInfoPtr(lock.Block(), processId, threadId, false, false);
  const std::string prefix = TraceCallPrefix("TraceInitEx");
  if (!initialisedBefore)
    DebugPrint("%s QKDEBUG Version %d: #Processes=%d #Threads=%d Memory=%d KB", prefix.c_str(),
               kTraceVersion, kTraceMaxProcesses, kTraceMaxThreads, kTraceAdvertisedMemoryKB);
  if (!quiet)
    DebugPrint("%s Reference count - Process %d -> %d / Thread  %d -> %d", prefix.c_str(),
               process->referenceCount - 1, process->referenceCount, thread->referenceCount - 1,
               thread->referenceCount);
  if (initialisedBefore) {
    if (!quiet)
      Trace(7, kTraceAllContexts, "--- QKDEBUG: already initialized %s\n",
            " -> Keep old debug parameters");
    return 1;
  }
  TraceSetVerboseLevel(level);
  TraceSetContext(kTraceAllContexts);
  StartWriter(process);
  WriteHeader(*thread, level);
  return 1;
}

void TraceTerminateThread(DWORD threadId, bool releaseEntry, bool quiet) {
  const DWORD processId = GetCurrentProcessId();
  const std::string prefix = TraceCallPrefix("TraceTerminateThread");
  DebugPrint("%s", prefix.c_str());
  FlushPending(processId);
  StopWriterIfLast(processId);

  CTraceBlockLock lock(false);
  QKDEBUG_PROC_INFO* block = lock.Block();
  QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(block, processId, true, false);
  if (process == nullptr) return;
  QKDEBUG_THREAD_INFO* thread = QKDEBUG_GetThreadInfoPtr(block, processId, threadId, false, false);
  if (thread == nullptr) {
    ReportThreadNotFound(prefix.c_str(), process, threadId, true);
    return;
  }
  const int processBefore = process->referenceCount;
  const int threadBefore = thread->referenceCount;
  --process->referenceCount;
  if (thread->referenceCount > 0) --thread->referenceCount;
  const int threadAfter = thread->referenceCount;
  if (threadBefore == 1 && releaseEntry) ClearThreadEntry(thread);
  if (!quiet)
    DebugPrint("%s Reference count - Process %d -> %d / Thread  %d -> %d %s", prefix.c_str(),
               processBefore, processBefore - 1, threadBefore, threadAfter,
               threadAfter == 0 ? "/ LAST THREAD REF released" : "");
  if (process->referenceCount > 0) return;

  ClearProcess(process);
  if (HANDLE writer = TakeWriterHandle()) CloseHandle(writer);
  DebugPrint("%s Last reference for this process was removed!", prefix.c_str());
  if (AnyProcessLeft(block)) return;
  DebugPrint("%s Last process was removed!", prefix.c_str());
  // The view, mapping and mutex close when the last lock object of this process lets go.
  lock.ReleaseBlock();
}

}  // namespace halvern
