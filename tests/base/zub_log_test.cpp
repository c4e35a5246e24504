#include "base/zub_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/zub_function_trace.h"
#include "base/zub_log_modules.h"
#include "base/zub_syslog.h"
#include "base/zub_thread_mutex.h"
#include "platform/udp_socket.h"
#include "platform/win32.h"
#include "support/debug_capture.h"

using halvern::testing::DebugCapture;

namespace halvern {
namespace {

// The line without its leading time column, after checking that column's shape.
std::string WithoutTime(const std::string& line) {
  EXPECT_TRUE(std::regex_match(line.substr(0, 14), std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d  )")))
      << line;
  return line.substr(14);
}

std::string Spaces(std::size_t n) { return std::string(n, ' '); }

class ZubLogLines : public ::testing::Test {
 protected:
  void TearDown() override { ConfigureZubLogFormat(CZubLogFormatOptions{}); }

  std::string Only() {
    const auto lines = capture.Lines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines.front();
  }

  DebugCapture capture;
};

// The function column and message of a line: what follows the time, the 30-character module
// column and the 4-character level column.
std::string Tail(const std::string& line) { return WithoutTime(line).substr(34); }

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

// A loopback receiver standing in for the syslog server.
class SyslogSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Receiver = platform::OpenUdpSocket();
    ASSERT_NE(m_Receiver, platform::kInvalidUdpSocket);
    m_Port = platform::BindUdpLoopback(m_Receiver);
    ASSERT_NE(m_Port, 0);
  }
  void TearDown() override {
    ResetZubSyslog();
    platform::CloseUdpSocket(m_Receiver);
  }

  void Configure(int mode, const char* serverName = "loghost", int enable = 1) {
    CZubSyslogSettings settings;
    settings.serverName = serverName;
    settings.destinationIp = "127.0.0.1";
    settings.destinationPort = m_Port;
    settings.hostName = "testhost";
    settings.applicationName = "testapp";
    settings.mode = mode;
    settings.enable = enable;
    ASSERT_TRUE(ConfigureZubSyslog(settings));
  }

  std::string Receive(int timeoutMs = 10000) {
    char buffer[8192];
    const int got = platform::ReceiveDatagram(m_Receiver, buffer, sizeof(buffer), timeoutMs);
    return got < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<std::size_t>(got));
  }

  platform::UdpSocket m_Receiver = platform::kInvalidUdpSocket;
  std::uint16_t m_Port = 0;
};

// What follows the time column of the line that LogMessage(level, "zub", "Mod", "Fn", "hello")
// builds, without its line feed.
std::string Body(const char* level) {
  return "zub Mod" + std::string(23, ' ') + level + " Fn(): " + std::string(42, ' ') + "hello";
}

TEST_F(SyslogSinkTest, EachModeHasItsHeaderAndThePriorityCarriesTheSeverity) {
  const std::string pid = std::to_string(GetCurrentProcessId());
  const std::string bsdTime =
      R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) (0[1-9]|[12]\d|3[01]) \d\d:\d\d:\d\d )";
  const struct {
    int mode;
    int level;
    const char* shown;
    std::string header;
  } cases[] = {
      {kZubSyslogPriorityOnly, 0, "ERR", "<11> "},
      {kZubSyslogPriorityOnly, 1, "wrn", "<12> "},
      {kZubSyslogPriorityOnly, 2, "inf", "<14> "},
      {kZubSyslogPriorityOnly, 5, "   ", "<15> "},
      {kZubSyslogBsd, 1, "wrn", "<12>" + bsdTime + R"(testhost testapp\[)" + pid + R"(\]: )"},
      {kZubSyslog5424, 0, "ERR", "<11>1 - testhost testapp " + pid + " zub - "},
      {7, 2, "inf", ""},  // an unknown mode sends the bare line
  };
  DebugCapture capture;
  for (const auto& c : cases) {
    Configure(c.mode);
    // The one trailing line feed is not sent.
    LogMessage(c.level, "zub", "Mod", "Fn", "hello\n");
    const std::string datagram = Receive();
    const std::string body = std::regex_replace(Body(c.shown), std::regex(R"([()])"), R"(\$&)");
    const std::string time = R"(\d\d:\d\d:\d\d\.\d\d\d  )";
    EXPECT_TRUE(std::regex_match(datagram, std::regex(c.header + time + body))) << datagram;
  }
  EXPECT_TRUE(capture.Lines().empty());  // nothing reached the debugger
}

TEST_F(SyslogSinkTest, EmptyServerNameOrZeroEnableKeepsLinesOnTheDebugger) {
  Configure(kZubSyslogPriorityOnly, "");
  ASSERT_TRUE(ZubSyslogHasSocket());
  EXPECT_FALSE(ZubSyslogInUse());
  DebugCapture capture;
  LogMessage(2, "zub", "Mod", "Fn", "hello");
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].substr(14), Body("inf") + "\n");
  Configure(kZubSyslogPriorityOnly, "loghost", 0);
  EXPECT_FALSE(ZubSyslogInUse());
  LogMessage(2, "zub", "Mod", "Fn", "hello");
  EXPECT_EQ(capture.Lines().size(), 2u);
  EXPECT_EQ(Receive(200), "<nothing>");

  CZubSyslogSettings settings;
  settings.serverName = "loghost";
  settings.destinationIp = "localhost";  // no IPv4 address
  EXPECT_FALSE(ConfigureZubSyslog(settings));
  EXPECT_FALSE(ZubSyslogInUse());
}

// The mutex the function trace holds: the owner may take it again, other threads wait.
bool TryFromAnotherThread(CZubThreadMutex& mutex) {
  bool acquired = false;
  std::thread([&] {
    acquired = mutex.TryLock();
    if (acquired) mutex.Unlock();
  }).join();
  return acquired;
}

TEST(ZubThreadMutex, NestedScopedLocksProceedAndReleaseFully) {
  CZubThreadMutex mutex;
  {
    CZubThreadMutexLock outer(mutex);
    {
      CZubThreadMutexLock inner(mutex);
      EXPECT_FALSE(TryFromAnotherThread(mutex));
    }
    EXPECT_FALSE(TryFromAnotherThread(mutex));  // still held once
    EXPECT_TRUE(mutex.TryLock());               // the holder may always take it again
    mutex.Unlock();
  }
  EXPECT_TRUE(TryFromAnotherThread(mutex));
}

TEST(ZubThreadMutex, ExcludesConcurrentWriters) {
  CZubThreadMutex mutex;
  long long value = 0;
  auto count = [&] {
    for (int i = 0; i < 20000; ++i) {
      CZubThreadMutexLock outer(mutex);
      CZubThreadMutexLock inner(mutex);
      value = value + 1;
    }
  };
  std::thread a(count), b(count);
  a.join();
  b.join();
  EXPECT_EQ(value, 40000);
}

}  // namespace

TEST(ZubLogModules, RegisteringFindsEqualNamesAndRefusesWhenFull) {
  // A start-up module has errors, warnings and information on and detail off.
  for (int level = 0; level < 4; ++level)
    EXPECT_EQ(IsLevelEnabled(g_ZubRingBufferLog.index, level), level < 3) << level;
  EXPECT_EQ(RegisterModule("CZubRingBuffer"), g_ZubRingBufferLog.index);

  std::vector<std::string> added;
  int index = 0;
  int lastIndex = -1;
  for (int i = 0; i < 100 && index >= 0; ++i) {
    const std::string name = std::string("FillModule") + std::to_string(i);
    index = RegisterModule(name.c_str());
    if (index >= 0) {
      added.push_back(name);
      lastIndex = index;
    }
  }
  EXPECT_EQ(index, -1);
  EXPECT_EQ(RegisterModule(added.back().c_str()), lastIndex);  // found even in a full table

  const int freed = RegisterModule(added.front().c_str());
  for (const auto& name : added) UnregisterModule(name.c_str());
  EXPECT_EQ(ZubLogModuleTable().entries[freed].name, nullptr);
  for (const char* level : ZubLogModuleTable().entries[freed].levelNames) EXPECT_EQ(level, nullptr);
  UnregisterModule("NoSuchModule");  // nothing happens
  EXPECT_EQ(RegisterModule("CZubRingBuffer"), g_ZubRingBufferLog.index);
}

TEST(ZubLogModules, LevelsKeepTheirBitAndRunOutAtThirtyTwo) {
  const int module = RegisterModule("LevelTestModule");
  ASSERT_GE(module, 0);
  EXPECT_EQ(RegisterLevel(module, "ERR", false), 0);
  EXPECT_EQ(RegisterLevel(module, "ERR", true), 0);
  EXPECT_FALSE(IsLevelEnabled(module, 0));  // the existing level's bit is unchanged
  EXPECT_EQ(RegisterLevel(module, "WRN", true), 1);
  EXPECT_EQ(RegisterLevel(module, "WRN", false), 1);
  EXPECT_TRUE(IsLevelEnabled(module, 1));
  for (int i = 2; i < 32; ++i) {
    char name[16];
    std::snprintf(name, sizeof(name), "L%d", i);
    EXPECT_EQ(RegisterLevel(module, name, i % 2 == 0), i);
  }
  EXPECT_EQ(RegisterLevel(module, "Overflow", true), 0);
  EXPECT_EQ(ZubLogModuleTable().entries[module].enabledMask, 0x55555556u);
  EXPECT_FALSE(IsLevelEnabled(module, 32));
  EXPECT_FALSE(IsLevelEnabled(64, 1));
  EXPECT_FALSE(IsLevelEnabled(-1, 1));
  UnregisterModule("LevelTestModule");
}

TEST_F(ZubLogLines, ColumnsForLevelsModulesFunctionsAndLineEnds) {
  const std::string sixty(60, 'f');
  const std::string longModule(40, 'm');
  const std::string m = "zub M" + Spaces(25);
  const struct {
    int level;
    const char* tag;
    const char* module;
    const char* function;
    const char* message;
    std::string expected;
  } cases[] = {
      {1, "zub", "CZubRingBuffer", "CZubRingBuffer::Write", "<Capture> BUFFER OVERWRITE",
       "zub CZubRingBuffer" + Spaces(12) + "wrn CZubRingBuffer::Write(): " + Spaces(23) +
           "<Capture> BUFFER OVERWRITE\n"},
      // Three letters for the standard levels, blanks for the rest.
      {0, "zub", "M", "F", "x", m + "ERR F(): " + Spaces(43) + "x\n"},
      {2, "zub", "M", "F", "x", m + "inf F(): " + Spaces(43) + "x\n"},
      {3, "zub", "M", "F", "x", m + "    F(): " + Spaces(43) + "x\n"},
      {-1, "zub", "M", "F", "x", m + "    F(): " + Spaces(43) + "x\n"},
      {31, "zub", "M", "F", "x", m + "    F(): " + Spaces(43) + "x\n"},
      // A line feed is added only when the message lacks one.
      {2, "zub", "M", nullptr, "ends in lf\n", m + "inf ends in lf\n"},
      {2, "zub", "M", nullptr, "ends in cr\r", m + "inf ends in cr\r"},
      {2, "zub", "M", "", "bare", m + "inf bare\n"},
      // Long function names are not padded; scope markers get a space.
      {2, "zub", "M", sixty.c_str(), "msg", m + "inf " + sixty + "(): msg\n"},
      {2, "zub", "M", "\\ Enter", "", m + "inf  \\ Enter(): " + Spaces(36) + "\n"},
      {2, "zub", "M", "/ Leave", "m", m + "inf  / Leave(): " + Spaces(36) + "m\n"},
      {2, "zub", "M", "  \\ Nested", "", m + "inf    \\ Nested(): " + Spaces(33) + "\n"},
      // Without a module name or a tag; the module column holds at most 31 characters.
      {3, "zub", "", "CDataSocket::AssertConsistency", "m",
       "zub" + Spaces(27) + "    CDataSocket::AssertConsistency(): " + Spaces(14) + "m\n"},
      {3, nullptr, "Mod", "F", "m", " Mod" + Spaces(26) + "    F(): " + Spaces(43) + "m\n"},
      {3, "zub", longModule.c_str(), nullptr, "m", "zub " + std::string(27, 'm') + "     m\n"},
  };
  for (const auto& c : cases) {
    capture.Clear();
    LogMessage(c.level, c.tag, c.module, c.function, "%s", c.message);
    EXPECT_EQ(WithoutTime(Only()), c.expected);
  }
}

TEST_F(ZubLogLines, OverlongMessagesAreCutAt4095Characters) {
  const std::string big(6000, 'x');
  LogMessage(2, "zub", "M", "F", "%s", big.c_str());
  const std::string line = Only();
  ASSERT_EQ(line.size(), 4095u);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line[4093], 'x');
}

TEST_F(ZubLogLines, StartTimeDeltaProcessAndThreadColumns) {
  CZubLogFormatOptions options;
  options.hasStartTime = true;
  // 3 s, 4 ms and 5 us before now: the local clock counts whole milliseconds, so the
  // microseconds of the elapsed time stay 5 whatever the test's own duration.
  options.startTimeUs = ZubLogNowMicroseconds() - 3004005;
  ConfigureZubLogFormat(options);
  LogMessage(2, "zub", "M", nullptr, "first");
  const std::string rest = WithoutTime(Only());
  long long seconds = -1, ms = -1, us = -1;
  ASSERT_EQ(std::sscanf(rest.c_str(), " %lld.%lld.%lld ", &seconds, &ms, &us), 3) << rest;
  EXPECT_TRUE(std::regex_search(rest, std::regex(R"(^ [ \d]\d\.[ \d]{2}\d\.[ \d]{2}\d zub M )")))
      << rest;
  EXPECT_EQ(seconds, 3);
  EXPECT_GE(ms, 4);
  EXPECT_EQ(us, 5);

  options.hasStartTime = false;
  options.delta = true;
  ConfigureZubLogFormat(options);
  capture.Clear();
  LogMessage(2, "zub", "M", nullptr, "no previous line yet");
  LogMessage(2, "zub", "M", nullptr, "second");
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(WithoutTime(lines[0]), "zub M" + Spaces(25) + "inf no previous line yet\n");
  EXPECT_TRUE(std::regex_match(WithoutTime(lines[1]),
                               std::regex(R"( [ \d]\d\.[ \d]{2}\d\.  0 zub M {25}inf second\n)")))
      << lines[1];

  options.delta = false;
  options.processAndThread = true;
  ConfigureZubLogFormat(options);
  capture.Clear();
  LogMessage(0, "zub", "M", nullptr, "m");
  char ids[64];
  std::snprintf(ids, sizeof(ids), "%04X-%04X: ", static_cast<unsigned>(GetCurrentProcessId()),
                static_cast<unsigned>(GetCurrentThreadId()));
  EXPECT_EQ(WithoutTime(Only()), Spaces(19) + ids + "zub M" + Spaces(25) + "ERR m\n");
}

// The include filter is per level and ignores case; the exclude filter drops the function column
// only, and minds case.
TEST_F(ZubLogLines, IncludeAndExcludeFilters) {
  CZubLogFormatOptions options;
  options.includeFilters[1] = "needle";
  options.excludeFilter = "Secret";
  ConfigureZubLogFormat(options);
  LogMessage(1, "zub", "M", "F", "hay");             // dropped
  LogMessage(1, "zub", "M", "F", "hay NeEdLe hay");  // message matches
  LogMessage(1, "zub", "M", "Find::NEEDLE", "hay");  // function name matches
  LogMessage(2, "zub", "M", "F", "a Secret");        // other level: no include filter
  LogMessage(2, "zub", "M", "F", "a secret");
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("NeEdLe"), std::string::npos);
  EXPECT_NE(lines[1].find("Find::NEEDLE(): "), std::string::npos);
  EXPECT_EQ(WithoutTime(lines[2]), "zub M" + Spaces(25) + "inf a Secret\n");
  EXPECT_EQ(WithoutTime(lines[3]), "zub M" + Spaces(25) + "inf F(): " + Spaces(43) + "a secret\n");
}

TEST_F(ZubLogLines, FunctionScopesIndentEnterAndLeaveAlike) {
  static const CZubLogModuleDescriptor module("TraceNestingModule");
  {
    CZubFunctionTrace outer(module, "Outer::Run");
    CZubFunctionTrace inner(module, "Inner::Step");
  }
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(14, 34), "zub TraceNestingModule        inf ");
  EXPECT_EQ(Tail(lines[0]), " \\ Outer::Run(): " + Spaces(31) + "\n");
  EXPECT_EQ(Tail(lines[1]), "  \\ Inner::Step(): " + Spaces(29) + "\n");
  EXPECT_TRUE(
      std::regex_match(Tail(lines[2]), std::regex(R"(  / Inner::Step\(\): {30}\(\d+ msec\)\n)")))
      << lines[2];
  EXPECT_TRUE(
      std::regex_match(Tail(lines[3]), std::regex(R"( / Outer::Run\(\): {32}\(\d+ msec\)\n)")))
      << lines[3];
  EXPECT_EQ(ZubNestingDepth(static_cast<std::int32_t>(GetCurrentThreadId())), 0);
}

TEST_F(ZubLogLines, EachThreadNestsItsFunctionScopesOnItsOwn) {
  static const CZubLogModuleDescriptor module("TraceThreadsModule");
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

TEST_F(ZubLogLines, ADisabledInfoLevelTracesNoFunctionScopeAndLeavesNoEntry) {
  const int index = RegisterModule("TraceOffModule");
  RegisterLevel(index, "ERR", true);
  RegisterLevel(index, "WRN", true);
  RegisterLevel(index, "INF", false);
  static const CZubLogModuleDescriptor module("TraceOffModule");
  ASSERT_FALSE(IsLevelEnabled(module.index, module.levelInf));
  const auto run = ScopeOnThread(module);
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_EQ(run.second, -1);
  EXPECT_EQ(ZubNestingDepth(static_cast<std::int32_t>(run.first)), -1);
}

}  // namespace halvern
