#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "trace/trace_scope.h"
#include "trace/trace_test_support.h"

namespace halvern::testing {
namespace {

using TraceRegistration = TraceTest;
using TraceProcesses = TraceTest;

std::string CallPrefix(DWORD processId, DWORD threadId, const char* function) {
  char text[128];
  std::snprintf(text, sizeof(text), "%26s%04X-%04X:      %s()", "",
                static_cast<unsigned>(processId), static_cast<unsigned>(threadId), function);
  return text;
}

// The registered processes, and whether `processId` has an entry.
std::pair<int, bool> Processes(DWORD processId) {
  CTraceBlockLock lock(false);
  const QKDEBUG_PROC_INFO* block = lock.Block();
  int count = 0;
  for (int i = 0; block != nullptr && i < kTraceMaxProcesses; ++i)
    count += block[i].processId != 0 && block[i].referenceCount > 0;
  return {count, QKDEBUG_GetProcInfoPtr(lock.Block(), processId, false, false) != nullptr};
}

TEST_F(TraceRegistration, FirstRegistrationPrintsTheVersionAndLaterOnesOnlyCount) {
  ASSERT_EQ(TraceInitEx(nullptr, kTraceToDebugger, nullptr, kTraceLevelError, false), 1);
  const std::string prefix = CallPrefix(GetCurrentProcessId(), GetCurrentThreadId(), "TraceInitEx");
  EXPECT_TRUE(
      m_Debug.Contains(prefix + " QKDEBUG Version 7: #Processes=32 #Threads=96 Memory=26232 KB"));
  EXPECT_TRUE(m_Debug.Contains(prefix + " Reference count - Process 0 -> 1 / Thread  0 -> 1"));
  EXPECT_TRUE(
      m_Debug.Contains("MSG  --- QKDEBUG -----------------------------------------------\n"));
  EXPECT_TRUE(m_Debug.Contains("MSG  Debug level   = 2\n"));
  EXPECT_TRUE(m_Debug.Contains("MSG  Context flags = 0xFFFFFFFF\n"));
  m_Debug.Clear();

  // A second registration keeps the process's settings, whatever it asks for.
  ASSERT_EQ(TraceInitEx(nullptr, kTraceToFile, nullptr, 7, false), 1);
  EXPECT_TRUE(m_Debug.Contains(prefix + " Reference count - Process 1 -> 2 / Thread  1 -> 2"));
  EXPECT_FALSE(m_Debug.Contains("QKDEBUG Version"));
  const QKDEBUG_THREAD_INFO thread = SnapshotThread();
  EXPECT_EQ(thread.outputFlags, kTraceToDebugger);
  EXPECT_EQ(thread.debugLevel, kTraceLevelError);
  EXPECT_EQ(thread.referenceCount, 2);

  m_Debug.Clear();
  TraceTerminateThread(GetCurrentThreadId(), true, false);
  const std::string terminate =
      CallPrefix(GetCurrentProcessId(), GetCurrentThreadId(), "TraceTerminateThread");
  EXPECT_TRUE(m_Debug.Contains(terminate + " Reference count - Process 2 -> 1 / Thread  2 -> 1 "));
  EXPECT_EQ(SnapshotThread().referenceCount, 1);
}

TEST_F(TraceRegistration, The97thThreadOfAProcessIsRefused) {
  ASSERT_EQ(TraceInitEx(nullptr, kTraceToDebugger, nullptr, kTraceLevelError, true), 1);
  const DWORD processId = GetCurrentProcessId();
  DWORD fake = 0x7000;
  for (int i = 1; i < kTraceMaxThreads; ++i, ++fake) {
    if (fake == GetCurrentThreadId()) ++fake;
    ASSERT_EQ(TraceInitInternal(processId, fake, 0, nullptr, nullptr, true), 1) << i;
  }
  m_Debug.Clear();
  bool already = false;
  EXPECT_EQ(TraceInitInternal(processId, 0x6FFF, 0, nullptr, &already, true), 0);
  char expected[200];
  std::snprintf(expected, sizeof(expected),
                "%s Thread 6FFF not found: Max. number of threads (96) reached!!!",
                CallPrefix(processId, 0x6FFF, "TraceInitInternal").c_str());
  EXPECT_TRUE(m_Debug.Contains(expected));

  // A free slot takes the next one.
  TraceTerminateThread(0x7000 == GetCurrentThreadId() ? 0x7001 : 0x7000, true, true);
  EXPECT_EQ(TraceInitInternal(processId, 0x6FFF, 0, nullptr, &already, true), 1);
  EXPECT_TRUE(already);
}

TEST_F(TraceRegistration, LaterThreadsInheritTheProcessSettings) {
  Start(kTraceToDebugger | kTraceToFile, kTraceLevelDetail, kTracePrefixTimeOnly,
        m_Folder / "app.log");
  TraceSetContext(0x00F0u);
  EditThread([](QKDEBUG_THREAD_INFO& thread) { thread.workingSetKB = 4321; });
  DWORD laterId = 0;
  std::thread later([&] {
    CQKTraceInit guard(TraceInitEx(nullptr, 0, nullptr, 3, true), false, true);
    laterId = GetCurrentThreadId();
    const QKDEBUG_THREAD_INFO entry = SnapshotThread(laterId);
    EXPECT_EQ(entry.outputFlags, kTraceToDebugger | kTraceToFile);
    EXPECT_EQ(entry.prefixMode, kTracePrefixTimeOnly);
    EXPECT_EQ(entry.contextFlags, 0x00F0u);
    EXPECT_EQ(entry.debugLevel, kTraceLevelDetail);
    EXPECT_EQ(entry.workingSetKB, 4321);
    EXPECT_EQ(platform::WString(entry.logFile), Wide(m_Folder / "app.log"));
    EXPECT_EQ(entry.referenceCount, 1);
  });
  later.join();
  // The guard ended the registration but kept the entry (no release).
  EXPECT_EQ(SnapshotThread(laterId).threadId, laterId);
  EXPECT_EQ(SnapshotThread(laterId).referenceCount, 0);
}

TEST_F(TraceRegistration, TheBlockGoesWithTheLastRegistration) {
  ASSERT_EQ(TraceInitEx(nullptr, kTraceToDebugger, nullptr, kTraceLevelError, true), 1);
  std::thread other([] {
    ASSERT_EQ(TraceInitEx(nullptr, kTraceToDebugger, nullptr, kTraceLevelError, true), 1);
    TraceTerminateThread(GetCurrentThreadId(), true, true);
  });
  other.join();
  EXPECT_TRUE(BlockExists(m_BlockName));
  m_Debug.Clear();
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  EXPECT_TRUE(m_Debug.Contains(" Last reference for this process was removed!"));
  EXPECT_TRUE(m_Debug.Contains(" Last process was removed!"));
  EXPECT_FALSE(BlockExists(m_BlockName));
  Trace(kTraceLevelError, kTraceAllContexts, "after the end");
  EXPECT_FALSE(BlockExists(m_BlockName));  // a stray trace call does not bring it back
}

TEST_F(TraceProcesses, TwoProcessesShareTheBlockAndOneLogFile) {
  const auto log = m_Folder / "shared.log";
  const auto go = m_Folder / "go";
  Start(kTraceToFile, kTraceLevelWarning, kTraceDefaultPrefixMode, log);
  CChildProcess child("trace_helper", {"share", m_BlockName, log.string(), "5", go.string()});
  ASSERT_NE(child.id, 0u);
  // The child's registration rotates the log; both write to the new one from here on.
  ASSERT_TRUE(WaitUntil([&] { return Processes(child.id) == std::pair(2, true); }));
  Trace(kTraceLevelError, kTraceAllContexts, "parent line");
  WriteText(go, "go");
  ASSERT_EQ(child.Wait(60000), 0);
  EXPECT_FALSE(Processes(child.id).second);
  EXPECT_TRUE(BlockExists(m_BlockName));

  TraceTerminateThread(GetCurrentThreadId(), true, true);
  EXPECT_FALSE(BlockExists(m_BlockName));
  const std::string text = ReadText(log);
  char childIds[16];
  std::snprintf(childIds, sizeof(childIds), " %04X-", static_cast<unsigned>(child.id));
  for (int i = 0; i < 5; ++i) {
    const std::size_t at = text.find("ERR  child line " + std::to_string(i) + "\n");
    ASSERT_NE(at, std::string::npos) << i;
    const std::size_t lineStart = text.rfind('\n', at) + 1;
    EXPECT_NE(text.substr(lineStart, at - lineStart).find(childIds), std::string::npos);
  }
  EXPECT_NE(text.find("ERR  parent line\n"), std::string::npos);
}

TEST_F(TraceProcesses, AProcessKilledHoldingTheMutexDoesNotLockOthersOut) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not follow a robust mutex handed over by a dead owner";
#endif
  const auto ready = m_Folder / "ready";
  CChildProcess child("trace_helper", {"hold", m_BlockName, ready.string()});
  ASSERT_NE(child.id, 0u);
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(ready); }));
  // Nothing of this process waits on the mutex before this test does (no writer thread yet).
  HANDLE mutex =
      CreateMutexW(nullptr, FALSE, platform::Utf8ToUtf16(m_BlockName + "_Mutex").c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  child.Kill();
  EXPECT_EQ(WaitForSingleObject(mutex, 10000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));

  Start(kTraceToDebugger, kTraceLevelWarning, kTracePrefixNone);
  Trace(kTraceLevelError, kTraceAllContexts, "still tracing");
  EXPECT_TRUE(m_Debug.Contains("ERR  still tracing\n"));
  CloseHandle(mutex);
}

}  // namespace
}  // namespace halvern::testing
