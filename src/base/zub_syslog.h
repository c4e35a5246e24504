// The optional syslog sink of the processing library's log: each line leaves as one UDP datagram
// with a syslog header instead of going to the debugger output.
#pragma once

#include <cstdint>

namespace halvern {

// Header modes: plain priority, BSD syslog (RFC 3164), RFC 5424.
inline constexpr int kZubSyslogPriorityOnly = 1;
inline constexpr int kZubSyslogBsd = 2;
inline constexpr int kZubSyslog5424 = 3;

struct CZubSyslogSettings {
  const char* serverName = "";     // the sink is used only when this is not empty
  const char* destinationIp = "";  // dotted-quad IPv4 address
  std::uint16_t destinationPort = 514;
  const char* hostName = "";
  const char* applicationName = "";
  int mode = kZubSyslogPriorityOnly;
  int enable = 1;
};

// Applies the settings and opens the sink's socket when it has none. False when the destination
// is no IPv4 address or no socket could be opened. Not to be called while other threads log.
bool ConfigureZubSyslog(const CZubSyslogSettings& settings);
// Back to the initial state: no server, zero address, socket closed, mode 1.
void ResetZubSyslog();

bool ZubSyslogInUse();
bool ZubSyslogHasSocket();

// Sends one formatted log line at `level`; failures close the socket silently.
void SendZubSyslogLine(int level, const char* line);

}  // namespace halvern
