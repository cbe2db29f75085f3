// SPDX-License-Identifier: ISC
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

// A program given an argument that it does not take ends with this status.
inline constexpr int kUsageStatus = 2;
// What answer_options returns when the program was given no argument.
inline constexpr int kNoOptions = -1;

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
inline const sockaddr* as_sockaddr(const Endpoint& e) { return reinterpret_cast<const sockaddr*>(&e.addr); }

// The handler port of a client from the first to the last: 10000 + client.
std::uint16_t handler_port(std::int32_t client);

// Whether e is a socket of the server: 127.0.0.1 and a port from the
// registration port up to last. A datagram from one server socket to
// another would be echoed back and forth for ever.
bool is_server_socket(const Endpoint& e, std::uint16_t last);

// Linux links each forked process's memory to that of every living
// ancestor, so in a chain of forks both the time of a fork and the kernel
// memory of each new process grow with the generations before it. A
// registration service therefore starts its image afresh after this many
// registrations, which begins a new chain. Each link costs a handler about
// 160 bytes per generation since the last fresh image, while each fresh
// image shares no pages with a parent. Measured on 2 cores, machine memory
// per handler at 30,000 clients: 86 KiB every 8, 89 every 16, 95 every
// 32, 94 every 64, 105 every 128; the first 3,000 registered at the same
// speed every 16, 32 or 64, and about a tenth slower every 8.
inline constexpr std::int32_t kImageClients = 16;

// Starts the running program's image afresh in this process, which goes on
// registering from client `next` on reg_sock. Returns only if it cannot, or
// if the program that runs is not the file that the system started (an ELF
// interpreter runs it, say): the process then carries on as it is.
void restart_image(const char* argv0, int reg_sock, std::int32_t next);

// The registration socket, bound to 127.0.0.1 and port, that restart_image
// handed to this image, with the next client number; -1 otherwise. Only the
// words that this very process wrote count, with a descriptor that is such
// a socket: a program started by hand with them is refused them.
int resumed_socket(int argc, char** argv, std::uint16_t port, std::int32_t& client);

// Answers --help (-h), with a usage that says what the program does, and
// --version (-V), on standard output; refuses any other argument with one
// line on standard error. Returns kNoOptions when there is no argument, and
// otherwise the status to end with: 0 once answered (1 if the answer could
// not be written), kUsageStatus once refused.
int answer_options(int argc, char** argv, const char* program, const char* about);

// The SIGPIPE notice: prints the receiving process's id and returns.
void ObsSygnalu(int signal);

// Prints the banner, unless it is null, and installs ObsSygnalu. Standard
// output is then line-buffered on a terminal and fully buffered elsewhere:
// a program writes it out before each wait and before fork. SIGPIPE is held
// while the process works and let through while it waits, whatever mask the
// process was started with, so the notice never lands inside a line that
// is being written.
void start_up(const char* banner);

// Writes out every line printed so far, so that none waits unseen while the
// process blocks, or is written twice after fork.
void flush_output();

// Writes out the lines, then waits until fd is ready for events or a signal
// has come, with the notice let through. Returns whether fd is ready.
bool wait_for(int fd, short events);

// After a failed receive: waits until sock has a datagram or a signal comes,
// so that a failure that lasts costs a line for each, not a spinning core.
void pause_after_failure(int sock);

// A blocking call other than wait_for, such as reading standard input, goes
// between these two, so that the notice comes while it waits.
void begin_wait();
void end_wait();

// Makes sock non-blocking, so that receive and send_to can tell when they
// must wait.
void set_nonblocking(int sock);

// recvfrom on a non-blocking socket, into from: waits while nothing is
// queued. The lines printed so far go out before it waits, or before they
// would fill the output buffer: a burst of datagrams costs one write, and
// every write holds whole lines, so the lines of different processes never
// mix. Returns -1 on failure, with errno; also when the wait said that a
// datagram had come and none had.
ssize_t receive(int sock, char* buf, std::size_t len, Endpoint& from);

// sendto on a non-blocking socket: waits while the datagram cannot go yet.
// Returns -1 on failure, with errno; also when it cannot go once the wait
// said it could.
ssize_t send_to(int sock, const char* buf, std::size_t len, const Endpoint& to);

}  // namespace tolpan
