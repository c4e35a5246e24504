#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "trace/host_trace.h"
#include "trace/trace_scope.h"
#include "trace/trace_test_support.h"

namespace halvern::testing {
namespace {

using TraceFilter = TraceTest;

// Every kind of message, including entry and exit lines that would move the indentation.
void TraceEverything(int level, std::uint32_t mask) {
  Trace(level, mask, "message");
  TraceIn(level, mask, "enter");
  TraceIn(level, mask, "enter deeper");
  TraceOut(level, mask, "leave");
}

class FilteredOut : public TraceTest {
 protected:
  void ExpectNoEffect(int level, std::uint32_t mask, bool raw = true) {
    m_Debug.Clear();
    EditThread([](QKDEBUG_THREAD_INFO& thread) {
      const WCHAR indentation[] = {'|', 0};
      std::memcpy(thread.indentation, indentation, sizeof(indentation));
    });
    {
      CTraceBlockLock lock(false);  // keeps the writer from draining the queue meanwhile
      QKDEBUG_PROC_INFO* process =
          QKDEBUG_GetProcInfoPtr(lock.Block(), GetCurrentProcessId(), false, false);
      TraceClearPending(process);
      TraceEverything(level, mask);
      if (raw) TraceRaw(level, "raw");  // raw text is filtered by level only
      EXPECT_EQ(process->pendingOutput[0], 0);
    }
    EXPECT_TRUE(m_Debug.Lines().empty());
    EXPECT_EQ(platform::Utf16ToUtf8(SnapshotThread().indentation), "|");
  }
};

TEST_F(FilteredOut, ByLevelContextOutputFlagsAndPrefixMode) {
  Start(kTraceToDebugger | kTraceToFile, kTraceLevelWarning, kTracePrefixNone, m_Folder / "t.log");
  // What passes: up to the level, on any context bit shared with the thread's.
  TraceSetContext(0x0000000Cu);
  m_Debug.Clear();
  Trace(kTraceLevelWarning, 0x00000004u, "at the level");
  Trace(kTraceLevelMessage, 0xFFFFFF08u, "below the level");
  EXPECT_EQ(m_Debug.Lines(),
            std::vector<std::string>({"WRN  at the level\n", "MSG  below the level\n"}));
  ExpectNoEffect(kTraceLevelUser, kTraceAllContexts);
  ExpectNoEffect(0, kTraceAllContexts);  // level 0 never passes
  ExpectNoEffect(kTraceLevelError, 0x00000003u, false);
  TraceSetContext(kTraceAllContexts);
  EditThread([](QKDEBUG_THREAD_INFO& thread) { thread.prefixMode = 0; });
  ExpectNoEffect(kTraceLevelError, kTraceAllContexts);
  EditThread([](QKDEBUG_THREAD_INFO& thread) {
    thread.prefixMode = kTracePrefixNone;
    thread.outputFlags = 0;
  });
  ExpectNoEffect(kTraceLevelError, kTraceAllContexts);
  EditThread([](QKDEBUG_THREAD_INFO& thread) { thread.outputFlags = kTraceToDebugger; });
  HostTraceSetVerboseLevel(5);  // host level 5 silences everything
  ExpectNoEffect(kTraceLevelMessage, kTraceAllContexts);
}

// The capture thread traces at a level that is off on every packet: such a call must not wait for
// the block mutex, which another process may hold. (The first call after a change of settings
// reads them under the lock.)
TEST_F(FilteredOut, WithoutWaitingForTheBlockLock) {
  Start(kTraceToDebugger, kTraceLevelWarning, kTracePrefixNone);
  Trace(kTraceLevelUser, kTraceAllContexts, "reads the settings");
  std::atomic<bool> held{false}, traced{false}, released{false};
  std::thread holder([&] {
    CTraceBlockLock lock(false);
    held = true;
    WaitUntil([&] { return traced.load(); }, std::chrono::seconds(5));
    released = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  TraceEverything(kTraceLevelUser, kTraceAllContexts);
  TraceRaw(kTraceLevelUser, "raw");
  { CTraceScope scope("Filtered::Scope"); }
  const bool waitedForTheLock = released;
  traced = true;
  holder.join();
  EXPECT_FALSE(waitedForTheLock);
  EXPECT_TRUE(m_Debug.Lines().empty());
}

TEST_F(TraceFilter, UnregisteredThreadsTraceNothing) {
  Trace(kTraceLevelError, kTraceAllContexts, "nobody listens");
  EXPECT_EQ(QKDEBUG_GetProcInfoPtr(GetCurrentProcessId(), false, false), nullptr);
  TraceSetVerboseLevel(5);
  EXPECT_TRUE(m_Debug.Contains(
      " QKDEBUG_GetProcInfoPtr() - ERROR function called before TraceInitInternal()"));
}

}  // namespace
}  // namespace halvern::testing
