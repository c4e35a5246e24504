// Registration, termination, the writer thread and the log file of the trace library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>

#include "platform/scoped_resources.h"
#include "platform/utf16.h"
#include "trace/log_file.h"
#include "trace/trace.h"
#include "trace/trace_block.h"

namespace halvern {

namespace {

using platform::WString;

constexpr DWORD kWriterStopTimeoutMs = 1000;

std::mutex g_ProcessLock;  // the process-local pieces below
// Not a scoped handle: a writer still running at process exit must not have its thread object
// destroyed under it.
HANDLE g_WriterThread = nullptr;
std::string g_CommonDataFolder;

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
  if ((pending.flags & kTraceToFile) != 0)
    AppendTraceLog(pending.path, pending.text.c_str(), pending.text.size());
}

DWORD WINAPI WriterThread(LPVOID) {
  const DWORD processId = GetCurrentProcessId();
  CPendingOutput pending;
  try {
    pending.text.reserve(kTracePendingChars);  // TakePending then never allocates
  } catch (...) {
    return 1;  // out of memory: no file output for this process
  }
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

// A process that ends, or unloads us, while still registered leaves its writer running: stop it
// before the statics it reads go away. (Windows ends the other threads before that at process
// exit, where the wait returns at once; elsewhere and on unload nothing does.)
void StopWriterAtExit() {
  HANDLE thread = nullptr;
  {
    std::lock_guard guard(g_ProcessLock);
    thread = g_WriterThread;
  }
  if (thread == nullptr) return;
  {
    CTraceBlockLock lock(false);
    QKDEBUG_PROC_INFO* process =
        QKDEBUG_GetProcInfoPtr(lock.Block(), GetCurrentProcessId(), false, false);
    if (process != nullptr) process->writerStop = 1;
  }
  if (WaitForSingleObject(thread, kWriterStopTimeoutMs) != WAIT_OBJECT_0) return;
  // Ended: its thread object can go now.
  std::lock_guard guard(g_ProcessLock);
  if (g_WriterThread == thread) CloseHandle(std::exchange(g_WriterThread, nullptr));
}

struct CWriterStopper {
  ~CWriterStopper() { StopWriterAtExit(); }
};

void StartWriter(QKDEBUG_PROC_INFO* process) {
  process->writerStop = 0;
  HANDLE thread = CreateThread(nullptr, 0, WriterThread, nullptr, 0, nullptr);
  process->writerThread = reinterpret_cast<std::uintptr_t>(thread);
  std::lock_guard guard(g_ProcessLock);
  platform::CScopedHandle previous(std::exchange(g_WriterThread, thread));
  // Built after every static this file and the block code use, so destroyed before them. A static
  // object rather than atexit: its destructor belongs to this module and runs when the module is
  // unloaded, where glibc runs an atexit handler only at process exit, after the code is gone.
  static const CWriterStopper stopper;
  (void)stopper;
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
  char logFile[3 * kTracePathChars] = {};
  try {
    std::snprintf(logFile, sizeof(logFile), "%s", platform::Utf16ToUtf8(thread.logFile).c_str());
  } catch (...) {  // out of memory: the header shows no path
  }
  Trace(kTraceLevelMessage, kTraceAllContexts,
        "--- QKDEBUG -----------------------------------------------");
  Trace(kTraceLevelMessage, kTraceAllContexts, "Build time    = %s, %s (last rebuild of QKDEBUG)",
        __DATE__, __TIME__);
  Trace(kTraceLevelMessage, kTraceAllContexts, "Run time      = %s", runTime);
  Trace(kTraceLevelMessage, kTraceAllContexts, "Logfile       = %s", logFile);
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

// Writes out the process's queued output at once, outside the lock. Out of memory, the queue
// stays for the writer.
void FlushPending(DWORD processId) noexcept {
  try {
    CPendingOutput pending;
    pending.text.reserve(kTracePendingChars);
    {
      CTraceBlockLock lock(false);
      QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(lock.Block(), processId, false, false);
      if (process == nullptr || process->referenceCount <= 0) return;
      TakePending(process, &pending);
    }
    WritePending(pending);
  } catch (...) {
  }
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
                          bool terminating) noexcept {
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

namespace {

// Fixes the log file of the process's first registration; without one (an empty path, or a
// default folder that cannot be trusted) the thread keeps no file output, and files in the
// current folder are never touched.
void SetUpLogFile(QKDEBUG_THREAD_INFO* thread, const WCHAR* logFile) noexcept {
  thread->logFile[0] = 0;
  try {
    const WString path =
        logFile != nullptr ? WString(logFile) : DefaultTraceLogPath(CommonDataFolder());
    if (!path.empty()) {
      CopyPath(thread->logFile, path);
      RotateTraceLogs(thread->logFile);
      return;
    }
  } catch (...) {  // out of memory: no log file
  }
  thread->logFile[0] = 0;
  thread->outputFlags &= ~kTraceToFile;
}

// True when `threadId` holds a registration in this process; otherwise prints why not.
bool HoldsRegistration(DWORD processId, DWORD threadId, const char* prefix) noexcept {
  CTraceBlockLock lock(false);
  QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(lock.Block(), processId, true, false);
  if (process == nullptr) return false;
  const QKDEBUG_THREAD_INFO* thread = FindThreadEntry(process, threadId);
  if (thread != nullptr && thread->referenceCount > 0) return true;
  ReportThreadNotFound(prefix, process, threadId, true);
  return false;
}

}  // namespace

int TraceInitInternal(DWORD processId, DWORD threadId, std::uint32_t outputFlags,
                      const WCHAR* logFile, bool* alreadyInitialised, bool quiet) noexcept {
  CTraceBlockLock lock(true);
  QKDEBUG_PROC_INFO* block = lock.Block();
  QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(block, processId, false, true);
  QKDEBUG_THREAD_INFO* thread = QKDEBUG_GetThreadInfoPtr(block, processId, threadId, false, true);
  if (thread == nullptr) {
    const CTraceCallPrefix prefix = TraceCallPrefix(
        static_cast<unsigned>(processId), static_cast<unsigned>(threadId), "TraceInitInternal");
    if (!quiet) DebugPrint("%s", prefix.text);
    ReportThreadNotFound(prefix.text, process, threadId, false);
    return 0;
  }
  if (process->referenceCount <= 0 && thread->referenceCount <= 0) {
    thread->outputFlags = outputFlags;
    if ((outputFlags & kTraceToFile) != 0) SetUpLogFile(thread, logFile);
    TraceNoteSettingsChanged();
  }
  if (alreadyInitialised != nullptr) *alreadyInitialised = process->referenceCount >= 1;
  ++thread->referenceCount;
  ++process->referenceCount;
  return 1;
}

int TraceInitEx(void*, std::uint32_t outputFlags, const WCHAR* logFile, int level,
                bool quiet) noexcept {
  const DWORD processId = GetCurrentProcessId();
  const DWORD threadId = GetCurrentThreadId();
  CTraceBlockLock lock(true);
  bool initialisedBefore = false;
  if (TraceInitInternal(processId, threadId, outputFlags, logFile, &initialisedBefore, quiet) == 0)
    return 0;
  QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(lock.Block(), processId, false, false);
  QKDEBUG_THREAD_INFO* thread = FindThreadEntry(process, threadId);
  const CTraceCallPrefix prefix = TraceCallPrefix("TraceInitEx");
  if (!initialisedBefore)
    DebugPrint("%s QKDEBUG Version %d: #Processes=%d #Threads=%d Memory=%d KB", prefix.text,
               kTraceVersion, kTraceMaxProcesses, kTraceMaxThreads, kTraceAdvertisedMemoryKB);
  if (!quiet)
    DebugPrint("%s Reference count - Process %d -> %d / Thread  %d -> %d", prefix.text,
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

void TraceTerminateThread(DWORD threadId, bool releaseEntry, bool quiet) noexcept {
  const DWORD processId = GetCurrentProcessId();
  const CTraceCallPrefix prefix = TraceCallPrefix("TraceTerminateThread");
  DebugPrint("%s", prefix.text);
  // A thread without a registration has nothing to end, least of all the process's writer.
  if (!HoldsRegistration(processId, threadId, prefix.text)) return;
  FlushPending(processId);
  StopWriterIfLast(processId);

  CTraceBlockLock lock(false);
  QKDEBUG_PROC_INFO* block = lock.Block();
  QKDEBUG_PROC_INFO* process = QKDEBUG_GetProcInfoPtr(block, processId, true, false);
  QKDEBUG_THREAD_INFO* thread = FindThreadEntry(process, threadId);
  if (thread == nullptr || thread->referenceCount <= 0) {
    ReportThreadNotFound(prefix.text, process, threadId, true);
    return;
  }
  const int processBefore = process->referenceCount;
  const int threadBefore = thread->referenceCount;
  --process->referenceCount;
  --thread->referenceCount;
  const int threadAfter = thread->referenceCount;
  if (threadBefore == 1 && releaseEntry) ClearThreadEntry(thread);
  if (!quiet)
    DebugPrint("%s Reference count - Process %d -> %d / Thread  %d -> %d %s", prefix.text,
               processBefore, processBefore - 1, threadBefore, threadAfter,
               threadAfter == 0 ? "/ LAST THREAD REF released" : "");
  if (process->referenceCount > 0) return;

  ClearProcess(process);
  // The writer ends on its own now; its handle stays until it has been seen to end (the next
  // start or the unload handler), so that unloading never leaves it running code that is gone.
  DebugPrint("%s Last reference for this process was removed!", prefix.text);
  if (AnyProcessLeft(block)) return;
  DebugPrint("%s Last process was removed!", prefix.text);
  // The view, mapping and mutex close when the last lock object of this process lets go.
  lock.ReleaseBlock();
}

}  // namespace halvern
