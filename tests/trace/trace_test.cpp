#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "support/allocation_counter.h"
#include "trace/host_trace.h"
#include "trace/trace_scope.h"
#include "trace/trace_test_support.h"

namespace halvern::testing {
namespace {

using TraceLine = TraceTest;

// The working-set columns of the full prefix.
std::string Figures(std::int64_t kb, std::int64_t delta) {
  char text[64];
  std::snprintf(text, sizeof(text), " %7dK(%+9d) ", static_cast<int>(kb), static_cast<int>(delta));
  return text;
}

std::int64_t WorkingSetKB() {
  HANDLE self =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
  PROCESS_MEMORY_COUNTERS counters{};
  K32GetProcessMemoryInfo(self, &counters, sizeof(counters));
  CloseHandle(self);
  return static_cast<std::int64_t>(counters.WorkingSetSize / 1024);
}

TEST_F(TraceLine, NestedScopesDrawTheBarTree) {
  Start(kTraceToDebugger, kTraceLevelInOut, kTracePrefixNone);
  {
    CTraceScope outer("CAudioRouter::Start");
    {
      CTraceScope inner("CAudioRenderer::Initialize");
      EXPECT_EQ(platform::Utf16ToUtf8(SnapshotThread().indentation), "||");
    }
  }
  const auto lines = m_Debug.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "I_O \\ CAudioRouter::Start()\n");
  EXPECT_EQ(lines[1], "I_O |\\ CAudioRenderer::Initialize()\n");
  const std::regex innerExit(R"(I_O \|/ CAudioRenderer::Initialize\(\) \(\d+\.\d{3} sec\)\n)");
  const std::regex outerExit(R"(I_O / CAudioRouter::Start\(\) \(\d+\.\d{3} sec\)\n)");
  EXPECT_TRUE(std::regex_match(lines[2], innerExit)) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], outerExit)) << lines[3];
  EXPECT_EQ(platform::Utf16ToUtf8(SnapshotThread().indentation), "");
}

TEST_F(TraceLine, LevelsCarryTheirTagsMessagesFollowTheIndentationAndLongOnesAreCut) {
  Start(kTraceToDebugger, 9, kTracePrefixNone);
  const char* expected[] = {"MSG ", "ERR ", "WRN ", "USR ", "    ", "I_O ", "    ", "    "};
  for (int level = 1; level <= 8; ++level) Trace(level, kTraceAllContexts, "n=%d", level);
  TraceIn(kTraceLevelDetail, kTraceAllContexts, "enter %s", "x");
  Trace(kTraceLevelError, kTraceAllContexts, "inside");
  TraceOut(kTraceLevelDetail, kTraceAllContexts, "leave");
  Trace(kTraceLevelMessage, kTraceAllContexts, "%s", std::string(5000, 'x').c_str());
  Trace(kTraceLevelMessage, kTraceAllContexts, "ends with a line feed\n");
  Trace(kTraceLevelMessage, kTraceAllContexts, "%s", "");
  const auto lines = m_Debug.Lines();
  ASSERT_EQ(lines.size(), 14u);
  for (int level = 1; level <= 8; ++level)
    EXPECT_EQ(lines[level - 1],
              std::string(expected[level - 1]) + " n=" + std::to_string(level) + "\n");
  EXPECT_EQ(lines[8], "    \\ enter x\n");
  EXPECT_EQ(lines[9], "ERR | inside\n");
  EXPECT_EQ(lines[10], "    / leave\n");
  // "MSG " and the blank before the message, then x up to 4,096 characters, then the line feed.
  EXPECT_EQ(lines[11], "MSG  " + std::string(4096 - 5, 'x') + "\n");
  EXPECT_EQ(lines[12], "MSG  ends with a line feed\n");
  EXPECT_EQ(lines[13], "MSG  \n");
}

TEST_F(TraceLine, PrefixesShowTheTimeTheWorkingSetWithItsDeltaAndTheIds) {
  const std::string time = R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3})";
  Start(kTraceToDebugger, kTraceLevelWarning, kTracePrefixTimeOnly);
  Trace(kTraceLevelWarning, kTraceAllContexts, "low battery");
  ASSERT_EQ(m_Debug.Lines().size(), 1u);
  EXPECT_TRUE(
      std::regex_match(m_Debug.Lines()[0], std::regex(time + R"( 0x\?\?\?: WRN  low battery\n)")))
      << m_Debug.Lines()[0];

  char ids[32];
  std::snprintf(ids, sizeof(ids), "%04X-%04X: ", static_cast<unsigned>(GetCurrentProcessId()),
                static_cast<unsigned>(GetCurrentThreadId()));
  // A line of the full prefix after setting the stored working-set figure.
  auto lineAfterStoring = [&](std::int64_t figure) {
    m_Debug.Clear();
    EditThread([figure](QKDEBUG_THREAD_INFO& thread) {
      thread.workingSetKB = figure;
      thread.prefixMode = kTraceDefaultPrefixMode;
    });
    Trace(kTraceLevelError, kTraceAllContexts, "line");
    const auto lines = m_Debug.Lines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string(12, '?') : lines[0];
  };
  // From a stored figure of 0 the delta is the whole working set.
  std::string line = lineAfterStoring(0);
  const std::int64_t first = SnapshotThread().workingSetKB;
  ASSERT_GT(first, 0);
  EXPECT_TRUE(std::regex_match(line.substr(0, 12), std::regex(time))) << line;
  EXPECT_EQ(line.substr(12), Figures(first, first) + ids + "ERR  line\n");

  // An unchanged working set gives 21 blanks instead of the figures, a changed one the delta.
  // The stored figure is set to a fresh reading just before the line, so that most attempts see
  // no change; any attempt must match one of the two forms.
  bool sawUnchanged = false;
  for (int attempt = 0; attempt < 200 && !sawUnchanged; ++attempt) {
    const std::int64_t before = WorkingSetKB();
    line = lineAfterStoring(before);
    const std::int64_t after = SnapshotThread().workingSetKB;
    sawUnchanged = after == before;
    EXPECT_EQ(line.substr(12),
              (sawUnchanged ? std::string(21, ' ') : Figures(after, after - before)) + ids +
                  "ERR  line\n");
  }
  EXPECT_TRUE(sawUnchanged);
}

// The host's calls run on its threads and the streaming threads trace too: no line may allocate.
TEST_F(TraceLine, LinesAllocateNothing) {
  Start(kTraceToFile, kTraceLevelInOut, kTraceDefaultPrefixMode, m_Folder / "t.log");
  const platform::WString text = platform::Utf8ToUtf16("CHostWindow::OnDeviceListChanged entered");
  const std::uint64_t before = ThreadAllocations();
  {
    CTraceScope scope("CAudioRenderer::RenderThread");
    Trace(kTraceLevelError, kTraceAllContexts, "value %d", 1);
    Trace(kTraceLevelDetail + 2, kTraceAllContexts, "filtered");
    HostTraceIn(text.c_str());
    HostTraceLevel(1, text.c_str());
    HostTraceRaw(1, text.c_str());
    HostTraceOut(text.c_str());
  }
  EXPECT_EQ(ThreadAllocations(), before);
}

TEST_F(TraceLine, HostExportsMapTheirLevelsAndWriteTheTextLiterally) {
  Start(kTraceToDebugger, 7, kTracePrefixNone);
  const platform::WString text = platform::Utf8ToUtf16("100%s done");
  HostTraceLevel(1, text.c_str());  // host 1 is ERR
  HostTraceLevel(4, text.c_str());  // host 4 is level 7: blank tag
  HostTraceLevel(0, text.c_str());  // never passes
  HostTraceLevel(1, nullptr);
  HostTraceIn(nullptr);
  HostTraceOut(nullptr);
  HostTraceIn(platform::Utf8ToUtf16("Host::Call").c_str());
  HostTraceOut(platform::Utf8ToUtf16("Host::Call").c_str());
  // Raw text has no prefix, tag or line feed, whatever the prefix mode.
  EditThread([](QKDEBUG_THREAD_INFO& thread) { thread.prefixMode = kTraceDefaultPrefixMode; });
  HostTraceRaw(2, platform::Utf8ToUtf16("raw 100%s").c_str());
  HostTraceRaw(0, platform::Utf8ToUtf16("filtered").c_str());
  EXPECT_EQ(m_Debug.Lines(),
            std::vector<std::string>({"ERR  100%s done\n", "     100%s done\n",
                                      "I_O \\ Host::Call\n", "I_O / Host::Call\n", "raw 100%s"}));
}

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

using TraceFile = TraceTest;

std::string Generation(int n) {
  if (n == 0) return "player.exe.log";
  return std::string("player.exe") + (n < 10 ? "0" : "") + std::to_string(n) + ".log";
}

TEST_F(TraceFile, LinesReachTheLogFileThroughTheWriter) {
  const auto log = m_Folder / "app.log";
  Start(kTraceToFile, kTraceLevelWarning, kTracePrefixNone, log);
  // A thread that never registered ends nothing, least of all the writer.
  std::thread([] { HostTraceTerminate(); }).join();
  EXPECT_TRUE(m_Debug.Contains(" WARNING: Thread "));
  Trace(kTraceLevelError, kTraceAllContexts, "written by the writer %d", 1);
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadText(log).find("written by the writer 1") != std::string::npos; }));
  Trace(kTraceLevelError, kTraceAllContexts, "flushed at the end");
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  const std::string text = ReadText(log);
  EXPECT_NE(text.find("--- QKDEBUG -----------------------------------------------\n"),
            std::string::npos);
  EXPECT_NE(text.find("Logfile       = " + (m_Folder / "app.log").string() + "\n"),
            std::string::npos);
  EXPECT_NE(text.find("ERR  written by the writer 1\nERR  flushed at the end\n"),
            std::string::npos);
  EXPECT_FALSE(m_Debug.Contains("ERR  written"));  // file only
}

TEST_F(TraceFile, RotationKeepsTenGenerations) {
  for (int n = 0; n <= 10; ++n)
    WriteText(m_Folder / Generation(n), "generation " + std::to_string(n));
  Start(kTraceToFile, kTraceLevelWarning, kTracePrefixNone, m_Folder / Generation(0));
  Trace(kTraceLevelError, kTraceAllContexts, "new run");
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  for (int n = 1; n <= 10; ++n)
    EXPECT_EQ(ReadText(m_Folder / Generation(n)), "generation " + std::to_string(n - 1)) << n;
  EXPECT_FALSE(std::filesystem::exists(m_Folder / "player.exe11.log"));
  const std::string current = ReadText(m_Folder / Generation(0));
  EXPECT_EQ(current.find("generation"), std::string::npos);
  EXPECT_NE(current.find("ERR  new run\n"), std::string::npos);
}

TEST_F(TraceFile, DefaultLogIsNamedAfterTheExecutableInTheHalvernFolder) {
#if defined(_WIN32)
  const std::string name = "halvern_tests.exe.log";
#else
  const std::string name = "halvern_tests.log";
#endif
  const auto expected = m_Folder / "Halvern" / name;
  Start(kTraceToFile, kTraceLevelWarning, kTracePrefixNone);
  EXPECT_EQ(platform::WString(SnapshotThread().logFile), Wide(expected));
  Trace(kTraceLevelError, kTraceAllContexts, "default place");
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  EXPECT_NE(ReadText(expected).find("ERR  default place\n"), std::string::npos);
}

TEST_F(TraceFile, PendingOutputIsCutAt51200CharactersWithTheTerminator) {
  const auto log = m_Folder / "big.log";
  Start(kTraceToFile, kTraceLevelWarning, kTracePrefixNone, log);
  ASSERT_TRUE(WaitUntil([&] { return ReadText(log).find("-----\n") != std::string::npos; }));
  const std::string before = ReadText(log);
  // Each line is "MSG  " + 94 characters + "\n": 100 characters.
  std::string expected;
  {
    CTraceBlockLock lock(false);  // the writer waits meanwhile
    QKDEBUG_PROC_INFO* process =
        QKDEBUG_GetProcInfoPtr(lock.Block(), GetCurrentProcessId(), false, false);
    ASSERT_NE(process, nullptr);
    TraceClearPending(process);
    for (int i = 0; i < 600; ++i) {
      char body[95];
      std::snprintf(body, sizeof(body), "%04d%s", i, std::string(90, 'q').c_str());
      Trace(kTraceLevelMessage, kTraceAllContexts, "%s", body);
      expected += std::string("MSG  ") + body + "\n";
    }
    expected.resize(51199);
    EXPECT_EQ(platform::Utf16ToUtf8(process->pendingOutput), expected);
    EXPECT_EQ(process->lastOutputThreadId, GetCurrentThreadId());
  }
  ASSERT_TRUE(WaitUntil([&] { return ReadText(log).size() >= before.size() + expected.size(); }));
  EXPECT_EQ(ReadText(log).substr(before.size()), expected);
}

TEST_F(TraceFile, AnEmptyPathMeansNoLogFileAndAnUnwritableOneIsSkipped) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(m_Folder);
  for (const char* name : {"01", "10", ".log"}) WriteText(m_Folder / name, name);
  const WCHAR empty[] = {0};
  ASSERT_EQ(TraceInitEx(nullptr, kTraceToFile | kTraceToDebugger, empty, kTraceLevelWarning, true),
            1);
  Trace(kTraceLevelError, kTraceAllContexts, "debugger only");
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  std::filesystem::current_path(previous);
  for (const char* name : {"01", "10", ".log"}) EXPECT_EQ(ReadText(m_Folder / name), name);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_Folder), {}), 3);
  EXPECT_TRUE(m_Debug.Contains("ERR  debugger only\n"));

  // A log that cannot be written is skipped.
  const auto log = m_Folder / "missing folder" / "app.log";
  Start(kTraceToFile | kTraceToDebugger, kTraceLevelWarning, kTracePrefixNone, log);
  Trace(kTraceLevelError, kTraceAllContexts, "still on the debugger");
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  EXPECT_FALSE(std::filesystem::exists(log));
  EXPECT_TRUE(m_Debug.Contains("ERR  still on the debugger\n"));
}

#if !defined(_WIN32)
// The default folder is shared by every user: nothing planted there by someone else is followed.
TEST_F(TraceFile, TheDefaultFolderIsOwnAndFollowsNoPlantedLink) {
  const auto folder = m_Folder / "Halvern";
  const auto log = folder / "halvern_tests.log";
  const auto victim = m_Folder / "victim";
  WriteText(victim, "precious");
  const mode_t umaskBefore = ::umask(0);
  Start(kTraceToFile, kTraceLevelWarning, kTracePrefixNone);
  ::umask(umaskBefore);
  EXPECT_EQ(std::filesystem::status(folder).permissions() &
                (std::filesystem::perms::group_write | std::filesystem::perms::others_write),
            std::filesystem::perms::none);
  {
    CTraceBlockLock lock(false);  // the writer waits while the link goes in
    std::filesystem::remove(log);
    std::filesystem::create_symlink(victim, log);
    Trace(kTraceLevelError, kTraceAllContexts, "not for the victim");
  }
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  EXPECT_EQ(ReadText(victim), "precious");

  // A folder that is a link is not used at all.
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory(m_Folder / "elsewhere");
  std::filesystem::create_directory_symlink(m_Folder / "elsewhere", folder);
  Start(kTraceToFile, kTraceLevelWarning, kTracePrefixNone);
  EXPECT_EQ(SnapshotThread().logFile[0], 0);
  Trace(kTraceLevelError, kTraceAllContexts, "nowhere");
  TraceTerminateThread(GetCurrentThreadId(), true, true);
  EXPECT_TRUE(std::filesystem::is_empty(m_Folder / "elsewhere"));
}
#endif

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
