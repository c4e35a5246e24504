// A minimal IPv4 UDP datagram socket: Winsock on Windows (started on first use), BSD sockets
// elsewhere. Addresses are the 16-byte IPv4 socket address the sockets API takes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace halvern::platform {

using UdpSocket = std::uintptr_t;
inline constexpr UdpSocket kInvalidUdpSocket = ~static_cast<UdpSocket>(0);

// The layout of sockaddr_in: family, port and address in network order, eight bytes of zero.
using Ipv4SocketAddress = std::array<std::uint8_t, 16>;

// Builds the address of a dotted-quad IPv4 host and port; false when the text is no such address.
bool MakeIpv4SocketAddress(const char* dottedQuad, std::uint16_t port, Ipv4SocketAddress* out);

// A new unbound datagram socket, or kInvalidUdpSocket.
UdpSocket OpenUdpSocket();
void CloseUdpSocket(UdpSocket socket);

// sendto with no flags; the number of bytes sent, or -1.
int SendDatagram(UdpSocket socket, const void* data, std::size_t length,
                 const std::uint8_t* address, int addressLength);

// Binds to 127.0.0.1 on a port the system chooses and returns that port; 0 on failure.
std::uint16_t BindUdpLoopback(UdpSocket socket);

// Waits up to `timeoutMs` for one datagram; its length, or -1 on timeout or failure.
int ReceiveDatagram(UdpSocket socket, void* buffer, std::size_t capacity, int timeoutMs);

}  // namespace halvern::platform
