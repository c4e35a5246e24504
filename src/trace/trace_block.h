// The shared trace block: one named mapping that every tracing process on the machine maps, with
// a fixed byte layout, and the named mutex that guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace halvern {

constexpr int kTraceVersion = 7;
constexpr int kTraceMaxProcesses = 32;
constexpr int kTraceMaxThreads = 96;
// Printed in the version line; a fixed figure, not derived from the layout.
constexpr int kTraceAdvertisedMemoryKB = 26232;

constexpr std::uint32_t kTraceThreadMarker = 0xDEADBEEFu;
constexpr std::size_t kTraceIndentChars = 4096;  // with the terminator
constexpr std::size_t kTracePathChars = 258;     // field size; at most 254 characters are used
constexpr std::size_t kTraceMaxPathLength = 254;
constexpr std::size_t kTracePendingChars = 51200;  // with the terminator

// Output flag bits.
constexpr std::uint32_t kTraceToDebugger = 1;
constexpr std::uint32_t kTraceToConsole = 2;
constexpr std::uint32_t kTraceToFile = 4;

// Prefix modes; any other value (the default 3) gives the full prefix.
constexpr std::int32_t kTracePrefixNone = 1;
constexpr std::int32_t kTracePrefixTimeOnly = 2;
constexpr std::int32_t kTraceDefaultPrefixMode = 3;
constexpr std::int32_t kTraceDefaultLevel = 3;

struct QKDEBUG_THREAD_INFO {
  std::uint32_t marker;
  std::uint32_t threadId;  // 0: free
  std::int64_t workingSetKB;
  WCHAR indentation[kTraceIndentChars];
  std::uint32_t outputFlags;
  std::int32_t prefixMode;
  std::uint32_t contextFlags;
  std::int32_t debugLevel;
  std::int32_t referenceCount;
  WCHAR logFile[kTracePathChars];
};

struct QKDEBUG_PROC_INFO {
  std::int16_t referenceCount;
  std::uint8_t reserved0[6];
  std::uint32_t processId;  // 0: free
  std::uint32_t reserved1;
  QKDEBUG_THREAD_INFO threads[kTraceMaxThreads];
  WCHAR pendingOutput[kTracePendingChars];
  std::uint32_t lastOutputThreadId;
  std::uint32_t reserved2;
  std::uint64_t writerThread;
  std::uint8_t writerRunning;
  std::uint8_t writerStop;
  std::uint8_t reserved3[6];
};

static_assert(sizeof(WCHAR) == 2);
static_assert(offsetof(QKDEBUG_THREAD_INFO, threadId) == 4);
static_assert(offsetof(QKDEBUG_THREAD_INFO, workingSetKB) == 8);
static_assert(offsetof(QKDEBUG_THREAD_INFO, indentation) == 16);
static_assert(offsetof(QKDEBUG_THREAD_INFO, outputFlags) == 8208);
static_assert(offsetof(QKDEBUG_THREAD_INFO, prefixMode) == 8212);
static_assert(offsetof(QKDEBUG_THREAD_INFO, contextFlags) == 8216);
static_assert(offsetof(QKDEBUG_THREAD_INFO, debugLevel) == 8220);
static_assert(offsetof(QKDEBUG_THREAD_INFO, referenceCount) == 8224);
static_assert(offsetof(QKDEBUG_THREAD_INFO, logFile) == 8228);
static_assert(sizeof(QKDEBUG_THREAD_INFO) == 8744);
static_assert(offsetof(QKDEBUG_PROC_INFO, processId) == 8);
static_assert(offsetof(QKDEBUG_PROC_INFO, threads) == 16);
static_assert(offsetof(QKDEBUG_PROC_INFO, pendingOutput) == 839440);
static_assert(offsetof(QKDEBUG_PROC_INFO, lastOutputThreadId) == 941840);
static_assert(offsetof(QKDEBUG_PROC_INFO, writerThread) == 941848);
static_assert(offsetof(QKDEBUG_PROC_INFO, writerRunning) == 941856);
static_assert(offsetof(QKDEBUG_PROC_INFO, writerStop) == 941857);
static_assert(sizeof(QKDEBUG_PROC_INFO) == 941864);

constexpr std::size_t kTraceBlockBytes = sizeof(QKDEBUG_PROC_INFO) * kTraceMaxProcesses;
static_assert(kTraceBlockBytes == 30139648);

class CTraceSession;

// Holds the block mutex for its lifetime (when the mutex could be had; otherwise the caller goes
// on unlocked) and keeps this process's view of the block alive. With `create` false it never
// maps the block: lookups by unregistered threads must not keep a released block alive.
class CTraceBlockLock {
 public:
  explicit CTraceBlockLock(bool create) noexcept;
  ~CTraceBlockLock();
  CTraceBlockLock(const CTraceBlockLock&) = delete;
  CTraceBlockLock& operator=(const CTraceBlockLock&) = delete;

  // The 32 process entries, or null when the block is not mapped.
  QKDEBUG_PROC_INFO* Block() const noexcept;
  void Unlock() noexcept;
  void Lock() noexcept;
  // Drops this process's view of the block, mapping and mutex, once no lock object uses them.
  void ReleaseBlock() noexcept;

 private:
  std::shared_ptr<CTraceSession> m_Session;
  bool m_Locked = false;
};

// Maps the block (creating and zeroing it on first use) and returns its address.
QKDEBUG_PROC_INFO* QKDEBUG_GM_GetProcessCachePtr() noexcept;
QKDEBUG_PROC_INFO* QKDEBUG_GetProcInfoPtr(DWORD processId, bool reportIfUninitialised,
                                          bool create) noexcept;
QKDEBUG_THREAD_INFO* QKDEBUG_GetThreadInfoPtr(DWORD processId, DWORD threadId,
                                              bool reportIfUninitialised, bool create) noexcept;
// The same lookups in a block the caller has locked.
QKDEBUG_PROC_INFO* QKDEBUG_GetProcInfoPtr(QKDEBUG_PROC_INFO* block, DWORD processId,
                                          bool reportIfUninitialised, bool create) noexcept;
QKDEBUG_THREAD_INFO* QKDEBUG_GetThreadInfoPtr(QKDEBUG_PROC_INFO* block, DWORD processId,
                                              DWORD threadId, bool reportIfUninitialised,
                                              bool create) noexcept;
// The entry of `threadId` in a process entry the caller already has, or null.
QKDEBUG_THREAD_INFO* FindThreadEntry(QKDEBUG_PROC_INFO* process, DWORD threadId) noexcept;

// Counts changes of anything a filter decision depends on: a thread entry's level, context,
// output flags or prefix mode, an entry coming or going, the block itself. Whoever changes such a
// field under the lock calls TraceNoteSettingsChanged, so that threads can keep a copy of their
// own settings and drop lines without the lock while the count stands.
std::uint64_t TraceSettingsVersion() noexcept;
void TraceNoteSettingsChanged() noexcept;

// The queued file output is kept zero beyond its text: it is cleared with zeros, never only
// terminated, so its end is found by bisection rather than by a scan on every line.
std::size_t TracePendingLength(const QKDEBUG_PROC_INFO* process) noexcept;
void TraceClearPending(QKDEBUG_PROC_INFO* process) noexcept;

// The entry state of a new or released thread.
void ClearThreadEntry(QKDEBUG_THREAD_INFO* entry) noexcept;
int CountActiveThreads(const QKDEBUG_PROC_INFO* process) noexcept;

// The mapping name (the mutex adds "_Mutex"). Switching it drops this process's view of the
// previous block; tests use it so that every test has a block of its own.
std::string TraceSharedBlockName();
void TraceUseSharedBlockName(std::string_view utf8Name);

}  // namespace halvern
