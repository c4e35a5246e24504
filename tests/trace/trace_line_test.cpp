#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

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

}  // namespace
}  // namespace halvern::testing
