#include "base/zub_syslog.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/udp_socket.h"
#include "platform/win32.h"

namespace halvern {

namespace {

constexpr int kFacilityUser = 1;
constexpr int kSyslogVersion = 1;
constexpr std::size_t kHeaderCapacity = 128;     // 127 characters
constexpr std::size_t kDatagramCapacity = 4096;  // 4095 characters

struct SyslogState {
  char serverName[65] = {};
  int enable = 1;
  platform::Ipv4SocketAddress destination = {};
  std::atomic<platform::UdpSocket> socket{platform::kInvalidUdpSocket};
  char hostName[65] = {};
  char applicationName[49] = {};
  int mode = kZubSyslogPriorityOnly;
};

constinit SyslogState g_Syslog{};

int Severity(int level) {
  switch (level) {
    case 0:
      return 3;  // error
    case 1:
      return 4;  // warning
    case 2:
      return 6;  // informational
    default:
      return 7;  // debug
  }
}

void BuildHeader(char (&header)[kHeaderCapacity], int priority) {
  const int pid = static_cast<int>(GetCurrentProcessId());
  switch (g_Syslog.mode) {
    case kZubSyslogPriorityOnly:
      std::snprintf(header, sizeof(header), "<%d> ", priority);
      break;
    case kZubSyslogBsd: {
      SYSTEMTIME now;
      GetLocalTime(&now);
      std::tm tm{};
      tm.tm_year = now.wYear - 1900;
      tm.tm_mon = now.wMonth - 1;
      tm.tm_mday = now.wDay;
      tm.tm_wday = now.wDayOfWeek;
      tm.tm_hour = now.wHour;
      tm.tm_min = now.wMinute;
      tm.tm_sec = now.wSecond;
      char stamp[32];
      std::strftime(stamp, sizeof(stamp), "%b %d %H:%M:%S", &tm);
      if (std::snprintf(header, sizeof(header), "<%d>%s %s %s[%d]: ", priority, stamp,
                        g_Syslog.hostName, g_Syslog.applicationName, pid) < 0)
        header[0] = 0;
      break;
    }
    case kZubSyslog5424:
      if (std::snprintf(header, sizeof(header), "<%d>%d %s %s %s %d %s %s ", priority,
                        kSyslogVersion, "-", g_Syslog.hostName, g_Syslog.applicationName, pid,
                        "zub", "-") < 0)
        header[0] = 0;
      break;
    default:
      header[0] = 0;
      break;
  }
}

}  // namespace

bool ConfigureZubSyslog(const CZubSyslogSettings& settings) {
  platform::Ipv4SocketAddress destination{};
  if (!platform::MakeIpv4SocketAddress(settings.destinationIp, settings.destinationPort,
                                       &destination))
    return false;
  std::snprintf(g_Syslog.serverName, sizeof(g_Syslog.serverName), "%s",
                settings.serverName != nullptr ? settings.serverName : "");
  std::snprintf(g_Syslog.hostName, sizeof(g_Syslog.hostName), "%s",
                settings.hostName != nullptr ? settings.hostName : "");
  std::snprintf(g_Syslog.applicationName, sizeof(g_Syslog.applicationName), "%s",
                settings.applicationName != nullptr ? settings.applicationName : "");
  g_Syslog.destination = destination;
  g_Syslog.mode = settings.mode;
  g_Syslog.enable = settings.enable;
  if (g_Syslog.socket.load() == platform::kInvalidUdpSocket)
    g_Syslog.socket.store(platform::OpenUdpSocket());
  return g_Syslog.socket.load() != platform::kInvalidUdpSocket;
}

void ResetZubSyslog() {
  platform::CloseUdpSocket(g_Syslog.socket.exchange(platform::kInvalidUdpSocket));
  g_Syslog.serverName[0] = 0;
  g_Syslog.enable = 1;
  g_Syslog.destination = {};
  g_Syslog.hostName[0] = 0;
  g_Syslog.applicationName[0] = 0;
  g_Syslog.mode = kZubSyslogPriorityOnly;
}

bool ZubSyslogInUse() { return g_Syslog.serverName[0] != 0 && g_Syslog.enable != 0; }

bool ZubSyslogHasSocket() { return g_Syslog.socket.load() != platform::kInvalidUdpSocket; }

void SendZubSyslogLine(int level, const char* line) {
  const int priority = kFacilityUser * 8 + Severity(level);
  char header[kHeaderCapacity];
  BuildHeader(header, priority);
  char datagram[kDatagramCapacity];
  std::snprintf(datagram, sizeof(datagram), "%s%s", header, line);
  std::size_t length = std::strlen(datagram);
  if (length > 0 && datagram[length - 1] == '\n') datagram[--length] = 0;

  const platform::UdpSocket socket = g_Syslog.socket.load();
  if (platform::SendDatagram(socket, datagram, length, g_Syslog.destination.data(),
                             static_cast<int>(g_Syslog.destination.size())) >= 0)
    return;
  // Closed once, by whichever line failed first; later lines fail quietly on the invalid socket.
  platform::UdpSocket expected = socket;
  if (socket != platform::kInvalidUdpSocket &&
      g_Syslog.socket.compare_exchange_strong(expected, platform::kInvalidUdpSocket))
    platform::CloseUdpSocket(socket);
}

}  // namespace halvern
