#include "base/zub_function_trace.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "base/zub_log.h"
#include "platform/win32.h"
#include "support/debug_capture.h"

namespace halvern {
namespace {

using halvern::testing::DebugCapture;

// The function column and message of a captured line: what follows the 14-character time,
// the 30-character module column and the 4-character level column.
std::string Tail(const std::string& line) { return line.size() > 48 ? line.substr(48) : line; }

// Traces one scope on a new thread; its id and its depth inside the scope.
std::pair<DWORD, int> ScopeOnThread(const CZubLogModuleDescriptor& module) {
  std::pair<DWORD, int> run{0, -2};
  std::thread([&] {
    run.first = GetCurrentThreadId();
    CZubFunctionTrace trace(module, "Worker::Run");
    run.second = ZubNestingDepth(static_cast<std::int32_t>(run.first));
  }).join();
  return run;
}

TEST(ZubFunctionTrace, NestedScopesIndentEnterAndLeaveAlike) {
  static const CZubLogModuleDescriptor module("TraceNestingModule");
  DebugCapture capture;
  {
    CZubFunctionTrace outer(module, "Outer::Run");
    CZubFunctionTrace inner(module, "Inner::Step");
  }
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
  std::pair<DWORD, int> run;
  {
    CZubFunctionTrace open(module, "Main::Open");
    run = ScopeOnThread(module);
  }
  EXPECT_EQ(run.second, 1);
  EXPECT_EQ(ZubNestingDepth(static_cast<std::int32_t>(run.first)), 0);
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
  const auto run = ScopeOnThread(module);
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_EQ(run.second, -1);
  EXPECT_EQ(ZubNestingDepth(static_cast<std::int32_t>(run.first)), -1);
}

}  // namespace
}  // namespace halvern
