#include "base/zub_function_trace.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "base/zub_log.h"
#include "platform/win32.h"
#include "support/debug_capture.h"

using halvern::testing::DebugCapture;

namespace halvern {
namespace {

constexpr DWORD kDeadlineMs = 10000;

// The function column and message of a captured line: what follows the 14-character time,
// the 30-character module column and the 4-character level column.
std::string Tail(const std::string& line) { return line.size() > 48 ? line.substr(48) : line; }

void Nested(const CZubLogModuleDescriptor& module) {
  CZubFunctionTrace outer(module, "Outer::Run");
  CZubFunctionTrace inner(module, "Inner::Step");
}

struct ThreadRun {
  const CZubLogModuleDescriptor* module;
  DWORD threadId = 0;
  int depthInside = -2;
};

DWORD WINAPI TraceOnThread(LPVOID parameter) {
  auto* run = static_cast<ThreadRun*>(parameter);
  run->threadId = GetCurrentThreadId();
  {
    CZubFunctionTrace trace(*run->module, "Worker::Run");
    run->depthInside = ZubNestingDepth(static_cast<std::int32_t>(run->threadId));
  }
  return 0;
}

}  // namespace

TEST(ZubFunctionTrace, NestedScopesIndentEnterAndLeaveAlike) {
  static const CZubLogModuleDescriptor module("TraceNestingModule");
  DebugCapture capture;
  Nested(module);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(14, 34), "zub TraceNestingModule        inf ");
  EXPECT_EQ(Tail(lines[0]), " \\ Outer::Run(): " + std::string(31, ' ') + "\n");
  EXPECT_EQ(Tail(lines[1]), "  \\ Inner::Step(): " + std::string(29, ' ') + "\n");
  EXPECT_TRUE(
      std::regex_match(Tail(lines[2]), std::regex(R"(  / Inner::Step\(\): {30}\(\d+ msec\)\n)")))
      << lines[2];
  EXPECT_TRUE(
      std::regex_match(Tail(lines[3]), std::regex(R"( / Outer::Run\(\): {32}\(\d+ msec\)\n)")))
      << lines[3];
  EXPECT_EQ(ZubNestingDepth(static_cast<std::int32_t>(GetCurrentThreadId())), 0);
}

TEST(ZubFunctionTrace, EachThreadNestsOnItsOwn) {
  static const CZubLogModuleDescriptor module("TraceThreadsModule");
  DebugCapture capture;
  ThreadRun run{&module};
  {
    CZubFunctionTrace open(module, "Main::Open");
    HANDLE thread = CreateThread(nullptr, 0, TraceOnThread, &run, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, kDeadlineMs), WAIT_OBJECT_0);
    CloseHandle(thread);
  }
  EXPECT_EQ(run.depthInside, 1);
  EXPECT_EQ(ZubNestingDepth(static_cast<std::int32_t>(run.threadId)), 0);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  // The worker's lines stand at depth 0 although the main thread has a scope open.
  EXPECT_EQ(Tail(lines[1]).substr(0, 18), " \\ Worker::Run(): ");
  EXPECT_EQ(Tail(lines[2]).substr(0, 18), " / Worker::Run(): ");
}

TEST(ZubFunctionTrace, DisabledInfoLevelWritesNothingAndLeavesNoEntry) {
  const int index = RegisterModule("TraceOffModule");
  RegisterLevel(index, "ERR", true);
  RegisterLevel(index, "WRN", true);
  RegisterLevel(index, "INF", false);
  static const CZubLogModuleDescriptor module("TraceOffModule");
  ASSERT_FALSE(IsLevelEnabled(module.index, module.levelInf));

  DebugCapture capture;
  ThreadRun run{&module};
  HANDLE thread = CreateThread(nullptr, 0, TraceOnThread, &run, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, kDeadlineMs), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_EQ(run.depthInside, -1);
  EXPECT_EQ(ZubNestingDepth(static_cast<std::int32_t>(run.threadId)), -1);
}

}  // namespace halvern
