#include "platform/udp_socket.h"

#include <cstring>

#include "platform/win32.h"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace halvern::platform {

namespace {

#if defined(_WIN32)
using NativeSocket = SOCKET;
using SocketLength = int;

// Winsock needs one successful WSAStartup per process before any socket call.
bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
#else
using NativeSocket = int;
using SocketLength = socklen_t;

bool StartSockets() { return true; }
#endif

NativeSocket Native(UdpSocket socket) { return static_cast<NativeSocket>(socket); }

}  // namespace

bool MakeIpv4SocketAddress(const char* dottedQuad, std::uint16_t port, Ipv4SocketAddress* out) {
  if (dottedQuad == nullptr || out == nullptr || !StartSockets()) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, dottedQuad, &address.sin_addr) != 1) return false;
  static_assert(sizeof(address) == 16);
  std::memcpy(out->data(), &address, sizeof(address));
  return true;
}

UdpSocket OpenUdpSocket() {
  if (!StartSockets()) return kInvalidUdpSocket;
  const NativeSocket s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
#if defined(_WIN32)
  if (s == INVALID_SOCKET) return kInvalidUdpSocket;
#else
  if (s < 0) return kInvalidUdpSocket;
#endif
  return static_cast<UdpSocket>(s);
}

void CloseUdpSocket(UdpSocket socket) {
  if (socket == kInvalidUdpSocket) return;
#if defined(_WIN32)
  ::closesocket(Native(socket));
#else
  ::close(Native(socket));
#endif
}

int SendDatagram(UdpSocket socket, const void* data, std::size_t length,
                 const std::uint8_t* address, int addressLength) {
  if (socket == kInvalidUdpSocket) return -1;
  const auto sent = ::sendto(
      Native(socket), static_cast<const char*>(data), static_cast<int>(length), 0,
      reinterpret_cast<const sockaddr*>(address), static_cast<SocketLength>(addressLength));
  return sent < 0 ? -1 : static_cast<int>(sent);
}

std::uint16_t BindUdpLoopback(UdpSocket socket) {
  if (socket == kInvalidUdpSocket) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(Native(socket), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    return 0;
  SocketLength length = sizeof(address);
  if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

int ReceiveDatagram(UdpSocket socket, void* buffer, std::size_t capacity, int timeoutMs) {
  if (socket == kInvalidUdpSocket) return -1;
#if defined(_WIN32)
  WSAPOLLFD poller{};
  poller.fd = Native(socket);
  poller.events = POLLRDNORM;
  if (WSAPoll(&poller, 1, timeoutMs) <= 0) return -1;
#else
  pollfd poller{};
  poller.fd = Native(socket);
  poller.events = POLLIN;
  if (::poll(&poller, 1, timeoutMs) <= 0) return -1;
#endif
  const auto got =
      ::recv(Native(socket), static_cast<char*>(buffer), static_cast<int>(capacity), 0);
  return got < 0 ? -1 : static_cast<int>(got);
}

}  // namespace halvern::platform
