#include "trace/trace_block.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/scoped_resources.h"
#include "platform/utf16.h"
#include "trace/debug_print.h"

namespace halvern {

// One process's handles on the block; destroyed when the last lock object lets go of it.
class CTraceSession {
 public:
  CTraceSession(platform::CScopedHandle mutex, platform::CScopedHandle mapping,
                QKDEBUG_PROC_INFO* view)
      : m_Mutex(std::move(mutex)), m_Mapping(std::move(mapping)), m_View(view) {}
  ~CTraceSession() {
    if (!UnmapViewOfFile(m_View) || !CloseHandle(m_Mapping.Detach()))
      DebugPrint("%s ERROR: Global memory could not be freed!",
                 TraceCallPrefix("TraceTerminateThread").text);
  }
  CTraceSession(const CTraceSession&) = delete;
  CTraceSession& operator=(const CTraceSession&) = delete;

  HANDLE Mutex() const { return m_Mutex.Get(); }
  QKDEBUG_PROC_INFO* View() const { return m_View; }

 private:
  platform::CScopedHandle m_Mutex;
  platform::CScopedHandle m_Mapping;
  QKDEBUG_PROC_INFO* m_View;
};

namespace {

// Guards the three below; never held while waiting for the block mutex.
std::mutex g_SessionLock;
std::shared_ptr<CTraceSession> g_Session;
std::string g_BlockName;

std::string DefaultBlockName() {
  char name[64];
  std::snprintf(name, sizeof(name), "QKDEBUG_PROCESS_CACHE_VERSION_X64_%02d", kTraceVersion);
  return name;
}

const std::string& BlockNameLocked() {
  if (g_BlockName.empty()) g_BlockName = DefaultBlockName();
  return g_BlockName;
}

std::shared_ptr<CTraceSession> OpenSession(const std::string& name) {
  const platform::WString mutexName = platform::Utf8ToUtf16(name + "_Mutex");
  const platform::WString mappingName = platform::Utf8ToUtf16(name);
  platform::CScopedHandle mutex(CreateMutexW(nullptr, FALSE, mutexName.c_str()));
  const DWORD wait = mutex ? WaitForSingleObject(mutex.Get(), INFINITE) : WAIT_FAILED;
  const bool locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  platform::CScopedHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                                     0, static_cast<DWORD>(kTraceBlockBytes),
                                                     mappingName.c_str()));
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  void* view = nullptr;
  if (!mapping) {
    DebugPrint("QKDEBUG_GM_GetProcessCachePtr(): ERROR: Could not create file mapping object.");
  } else {
    view = MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kTraceBlockBytes);
    if (view == nullptr)
      DebugPrint("QKDEBUG_GM_GetProcessCachePtr(): ERROR: Could not map view of file.");
    else if (!existed)
      std::memset(view, 0, kTraceBlockBytes);
  }
  if (locked) ReleaseMutex(mutex.Get());
  if (view == nullptr) return nullptr;
  auto* block = static_cast<QKDEBUG_PROC_INFO*>(view);
  try {
    return std::make_shared<CTraceSession>(std::move(mutex), std::move(mapping), block);
  } catch (...) {
    UnmapViewOfFile(view);
    throw;
  }
}

// The block mutex is never waited for under g_SessionLock: opening happens outside it, and of two
// threads that open at once the first to come back wins. Running out of memory here means no
// block: the caller goes on as for an unregistered thread.
std::shared_ptr<CTraceSession> CurrentSession(bool create) noexcept {
  try {
    std::string name;
    {
      std::lock_guard guard(g_SessionLock);
      if (g_Session != nullptr || !create) return g_Session;
      name = BlockNameLocked();
    }
    std::shared_ptr<CTraceSession> opened = OpenSession(name);
    std::lock_guard guard(g_SessionLock);
    if (g_Session == nullptr) {
      g_Session = opened;
      TraceNoteSettingsChanged();
    }
    return g_Session;
  } catch (...) {
    return nullptr;
  }
}

std::atomic<std::uint64_t> g_SettingsVersion{1};

}  // namespace

std::uint64_t TraceSettingsVersion() noexcept {
  return g_SettingsVersion.load(std::memory_order_acquire);
}

void TraceNoteSettingsChanged() noexcept {
  g_SettingsVersion.fetch_add(1, std::memory_order_acq_rel);
}

CTraceBlockLock::CTraceBlockLock(bool create) noexcept : m_Session(CurrentSession(create)) {
  Lock();
}

CTraceBlockLock::~CTraceBlockLock() { Unlock(); }

QKDEBUG_PROC_INFO* CTraceBlockLock::Block() const noexcept {
  return m_Session != nullptr ? m_Session->View() : nullptr;
}

void CTraceBlockLock::Lock() noexcept {
  if (m_Session == nullptr || m_Locked) return;
  // An abandoned mutex is ours all the same; without a mutex we go on unlocked.
  const DWORD wait = WaitForSingleObject(m_Session->Mutex(), INFINITE);
  m_Locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

void CTraceBlockLock::Unlock() noexcept {
  if (!m_Locked) return;
  ReleaseMutex(m_Session->Mutex());
  m_Locked = false;
}

void CTraceBlockLock::ReleaseBlock() noexcept {
  std::lock_guard guard(g_SessionLock);
  if (g_Session == m_Session) g_Session.reset();
  TraceNoteSettingsChanged();
}

QKDEBUG_PROC_INFO* QKDEBUG_GM_GetProcessCachePtr() noexcept {
  const std::shared_ptr<CTraceSession> session = CurrentSession(true);
  return session != nullptr ? session->View() : nullptr;
}

std::size_t TracePendingLength(const QKDEBUG_PROC_INFO* process) noexcept {
  std::size_t low = 0;
  std::size_t high = kTracePendingChars - 1;  // the last character is always the terminator
  while (low < high) {
    const std::size_t middle = (low + high) / 2;
    if (process->pendingOutput[middle] != 0)
      low = middle + 1;
    else
      high = middle;
  }
  return low;
}

void TraceClearPending(QKDEBUG_PROC_INFO* process) noexcept {
  std::memset(process->pendingOutput, 0, TracePendingLength(process) * sizeof(WCHAR));
}

void ClearThreadEntry(QKDEBUG_THREAD_INFO* entry) noexcept {
  std::memset(entry, 0, sizeof(*entry));
  entry->marker = kTraceThreadMarker;
  entry->prefixMode = kTraceDefaultPrefixMode;
  entry->debugLevel = kTraceDefaultLevel;
  TraceNoteSettingsChanged();
}

int CountActiveThreads(const QKDEBUG_PROC_INFO* process) noexcept {
  int active = 0;
  for (const QKDEBUG_THREAD_INFO& thread : process->threads)
    if (thread.threadId != 0) ++active;
  return active;
}

QKDEBUG_PROC_INFO* QKDEBUG_GetProcInfoPtr(DWORD processId, bool reportIfUninitialised,
                                          bool create) noexcept {
  CTraceBlockLock lock(create);
  return QKDEBUG_GetProcInfoPtr(lock.Block(), processId, reportIfUninitialised, create);
}

QKDEBUG_THREAD_INFO* QKDEBUG_GetThreadInfoPtr(DWORD processId, DWORD threadId,
                                              bool reportIfUninitialised, bool create) noexcept {
  CTraceBlockLock lock(create);
  return QKDEBUG_GetThreadInfoPtr(lock.Block(), processId, threadId, reportIfUninitialised, create);
}

QKDEBUG_PROC_INFO* QKDEBUG_GetProcInfoPtr(QKDEBUG_PROC_INFO* block, DWORD processId,
                                          bool reportIfUninitialised, bool create) noexcept {
  if (block == nullptr) {
    if (reportIfUninitialised) TraceReportUninitialised();
    return nullptr;
  }
  for (int i = 0; i < kTraceMaxProcesses; ++i) {
    QKDEBUG_PROC_INFO* process = &block[i];
    if (process->processId != processId) continue;
    if (process->referenceCount == 0 && reportIfUninitialised) {
      TraceReportUninitialised();
      return nullptr;
    }
    return process;
  }
  if (!create) {
    if (reportIfUninitialised) TraceReportUninitialised();
    return nullptr;
  }
  for (int i = 0; i < kTraceMaxProcesses; ++i) {
    QKDEBUG_PROC_INFO* process = &block[i];
    if (process->processId != 0) continue;
    process->processId = processId;
    process->referenceCount = 0;
    for (QKDEBUG_THREAD_INFO& thread : process->threads) ClearThreadEntry(&thread);
    return process;
  }
  return nullptr;
}

QKDEBUG_THREAD_INFO* FindThreadEntry(QKDEBUG_PROC_INFO* process, DWORD threadId) noexcept {
  if (process == nullptr || threadId == 0) return nullptr;
  for (QKDEBUG_THREAD_INFO& thread : process->threads)
    if (thread.threadId == threadId) return &thread;
  return nullptr;
}

QKDEBUG_THREAD_INFO* QKDEBUG_GetThreadInfoPtr(QKDEBUG_PROC_INFO* block, DWORD processId,
                                              DWORD threadId, bool reportIfUninitialised,
                                              bool create) noexcept {
  QKDEBUG_PROC_INFO* process =
      QKDEBUG_GetProcInfoPtr(block, processId, reportIfUninitialised, create);
  if (process == nullptr || threadId == 0) return nullptr;
  if (QKDEBUG_THREAD_INFO* found = FindThreadEntry(process, threadId)) return found;
  if (!create) return nullptr;
  for (QKDEBUG_THREAD_INFO& thread : process->threads) {
    if (thread.threadId != 0) continue;
    ClearThreadEntry(&thread);
    thread.threadId = threadId;
    const QKDEBUG_THREAD_INFO& first = process->threads[0];
    if (&thread != &first && first.threadId != 0) {
      // Later threads take the process's settings.
      thread.outputFlags = first.outputFlags;
      thread.prefixMode = first.prefixMode;
      thread.contextFlags = first.contextFlags;
      thread.debugLevel = first.debugLevel;
      thread.workingSetKB = first.workingSetKB;
      std::memcpy(thread.logFile, first.logFile, sizeof(thread.logFile));
    }
    TraceNoteSettingsChanged();
    return &thread;
  }
  return nullptr;
}

std::string TraceSharedBlockName() {
  std::lock_guard guard(g_SessionLock);
  return BlockNameLocked();
}

void TraceUseSharedBlockName(std::string_view utf8Name) {
  std::shared_ptr<CTraceSession> previous;
  std::lock_guard guard(g_SessionLock);
  g_BlockName = utf8Name.empty() ? DefaultBlockName() : std::string(utf8Name);
  previous.swap(g_Session);
  TraceNoteSettingsChanged();
}

}  // namespace halvern
