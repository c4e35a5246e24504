#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "trace/trace_test_support.h"

namespace halvern::testing {
namespace {

using TraceProcesses = TraceTest;

// The registered processes, and whether `processId` has an entry.
std::pair<int, bool> Processes(DWORD processId) {
  CTraceBlockLock lock(false);
  const QKDEBUG_PROC_INFO* block = lock.Block();
  int count = 0;
  for (int i = 0; block != nullptr && i < kTraceMaxProcesses; ++i)
    count += block[i].processId != 0 && block[i].referenceCount > 0;
  return {count, QKDEBUG_GetProcInfoPtr(lock.Block(), processId, false, false) != nullptr};
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
