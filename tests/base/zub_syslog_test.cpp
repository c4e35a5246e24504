#include "base/zub_syslog.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "base/zub_log.h"
#include "platform/udp_socket.h"
#include "platform/win32.h"
#include "support/debug_capture.h"

namespace halvern {
namespace {

using halvern::testing::DebugCapture;

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

}  // namespace
}  // namespace halvern
