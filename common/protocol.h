// SPDX-License-Identifier: ISC
// What tolpan-server and tolpan-client agree on: the ports, the sizes, the
// greeting and how an endpoint is built. They meet only through datagrams.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace tolpan {

inline constexpr std::uint16_t kRegistrationPort = 10000;
inline constexpr std::int32_t kFirstClient = 1;
// Handler ports end at 65535. Past it the port would wrap round to 0, which
// the system fills in, and then to the ports of other services.
inline constexpr std::int32_t kLastClient = 65535 - kRegistrationPort;

// The server receives at most 99 bytes into 100, so a zero byte can always
// follow what it receives.
inline constexpr std::size_t kServerBufferSize = 100;
inline constexpr std::size_t kServerReceiveMax = kServerBufferSize - 1;

// The client's line buffer starts at 100 bytes; getline may grow it.
inline constexpr std::size_t kClientBufferSize = 100;

// Largest UDP payload over IPv4: 65535 less the IPv4 and UDP headers.
inline constexpr std::size_t kMaxDatagram = 65535 - 20 - 8;

// A server process that cannot bind a handler port ends with exit(-1),
// which the system reports as 255.
inline constexpr int kBindFailedStatus = 255;

// Sockets are bound to loopback only: the scheme is local by design, and an
// echo on every interface would let remote hosts register or use it as a
// reflector.
inline constexpr in_addr_t kBindAddress = INADDR_LOOPBACK;
// Destinations keep address 0, which Linux delivers to the local host.
inline constexpr in_addr_t kAnyAddress = INADDR_ANY;

// "Eloo\n", a zero byte, then two bytes that carry no meaning.
inline constexpr char kGreeting[8] = {'E', 'l', 'o', 'o', '\n', '\0', '\0', '\0'};

// An IPv4 socket address with its length, as the socket calls take them.
struct Endpoint {
    sockaddr_in addr;
    socklen_t len;
};

// The endpoint of address and port, both in host byte order.
Endpoint make_endpoint(in_addr_t address, std::uint16_t port);

inline sockaddr* as_sockaddr(Endpoint& e) { return reinterpret_cast<sockaddr*>(&e.addr); }
inline const sockaddr* as_sockaddr(const Endpoint& e) { return reinterpret_cast<const sockaddr*>(&e.addr); }

// The handler port of a client from the first to the last: 10000 + client.
std::uint16_t handler_port(std::int32_t client);

}  // namespace tolpan
