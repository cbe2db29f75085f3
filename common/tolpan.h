// Protocol constants, endpoints and the start-up shared by tolpan-server and
// tolpan-client. The two programs meet only through the datagrams described
// here.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace tolpan {

inline constexpr std::uint16_t kRegistrationPort = 10000;
inline constexpr std::int32_t kFirstClient = 1;

// The server receives at most 99 bytes into 100, so a zero byte can always
// follow what it receives.
inline constexpr std::size_t kServerBufferSize = 100;
inline constexpr std::size_t kServerReceiveMax = kServerBufferSize - 1;

// The client's line buffer starts at 100 bytes; getline may grow it.
inline constexpr std::size_t kClientBufferSize = 100;

// Largest UDP payload over IPv4: 65535 less the IPv4 and UDP headers.
inline constexpr std::size_t kMaxDatagram = 65535 - 20 - 8;

// A server process that cannot bind a handler port ends with exit(-1).
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

// Returns the endpoint for address and port (both in host byte order).
Endpoint make_endpoint(in_addr_t address, std::uint16_t port);

inline sockaddr* as_sockaddr(Endpoint& e) { return reinterpret_cast<sockaddr*>(&e.addr); }

// Port 10000 + client, modulo 65536.
std::uint16_t handler_port(std::int32_t client);

// The SIGPIPE notice: prints the receiving process's id and returns.
void ObsSygnalu(int signal);

// Prints the banner and installs ObsSygnalu. Standard output is buffered from
// here on: a program flushes it before each wait and before fork.
void start_up(const char* banner);

// Writes out every line printed so far, so that none waits unseen while the
// process blocks, or is written twice after fork.
void flush_output();

// flush_output before a receive on sock, unless a datagram already waits
// there (the receive will not block) and the buffer has room for another
// step's lines. A burst of datagrams then costs one write, and every write
// holds whole lines, so the lines of different processes never mix.
void flush_before_receive(int sock);

}  // namespace tolpan
