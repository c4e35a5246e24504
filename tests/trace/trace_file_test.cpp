#include <gtest/gtest.h>

#include <string>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "trace/host_trace.h"
#include "trace/trace_test_support.h"

namespace halvern::testing {
namespace {

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

}  // namespace
}  // namespace halvern::testing
