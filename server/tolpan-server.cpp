// SPDX-License-Identifier: ISC
// tolpan-server: registers clients on UDP port 10000 and echoes their
// datagrams. Each registration binds the client's handler port and forks:
// the parent serves that port for ever, the child goes on registering.

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tolpan.h"

using namespace tolpan;

namespace {

constexpr char kAbout[] =
    "Rejestruje klientów na porcie UDP 10000 adresu 127.0.0.1: każdemu daje kolejny\n"
    "numer N i port 10000 + N, na którym odsyła nadawcy każdy datagram.";

// Linux links each forked process's memory to that of every living
// ancestor, so in a chain of forks both the time of a fork and the kernel
// memory of each new process grow with the generations before it. The
// registration service therefore starts its image afresh after this many
// registrations, which begins a new chain. Each link costs a handler about
// 160 bytes per generation since the last fresh image, while each fresh
// image shares no pages with a parent. Measured on 2 cores, machine memory
// per handler at 30,000 clients: 86 KiB every 8, 89 every 16, 95 every
// 32, 94 every 64, 105 every 128; the first 3,000 registered at the same
// speed every 16, 32 or 64, and about a tenth slower every 8.
constexpr std::int32_t kImageClients = 16;

// The words that carry a registration service across a fresh start of its
// image: the flag, then the next client number, the registration socket,
// the process id and the process name.
constexpr char kResumeFlag[] = "--resume-registration";
constexpr int kResumeArgs = 6;

// The decimal number that the whole of text holds, if it lies in [lo, hi].
bool parse_number(const char* text, long lo, long hi, long& n) {
    char* end = nullptr;
    errno = 0;
    n = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && n >= lo && n <= hi;
}

// The registration socket that a restarted image was handed, with its
// client number; -1 otherwise. Only the words that this very process wrote
// before it started its image afresh count, with a descriptor that is the
// registration socket: a server started by hand is refused these words,
// and starts fresh whatever environment or descriptors it was given.
int resumed_socket(int argc, char** argv, std::int32_t& client) {
    long next = 0;
    long fd = 0;
    long pid = 0;
    if (argc != kResumeArgs || std::strcmp(argv[1], kResumeFlag) != 0 ||
        !parse_number(argv[2], kFirstClient, kLastClient + 1L, next) ||
        !parse_number(argv[3], STDERR_FILENO + 1L, 1L << 30, fd) ||
        !parse_number(argv[4], 1, 1L << 30, pid) || pid != getpid())
        return -1;
    const int sock = static_cast<int>(fd);
    Endpoint bound{};
    bound.len = sizeof bound.addr;
    int type = 0;
    socklen_t type_len = sizeof type;
    if (getsockname(sock, as_sockaddr(bound), &bound.len) == -1 || bound.addr.sin_family != AF_INET ||
        getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &type_len) == -1 || type != SOCK_DGRAM ||
        !server_address(bound, kRegistrationPort))
        return -1;
    // Executing /proc/self/exe named the process "exe".
    (void)prctl(PR_SET_NAME, argv[5]);
    client = static_cast<std::int32_t>(next);
    return sock;
}

// Starts the running program's image afresh in this process, which goes on
// registering from client `next` on reg_sock. /proc/self/exe is the image
// that runs, even once its file has been replaced or removed. Returns only
// if the image cannot be started; the process then carries on as it is.
void restart_image(const char* argv0, int reg_sock, std::int32_t next) {
    char name[16] = {};
    (void)prctl(PR_GET_NAME, name);
    // A program may be started with no arguments at all, not even its name.
    if (argv0 == nullptr)
        argv0 = name;
    char client[12];
    char sock[12];
    char pid[12];
    std::snprintf(client, sizeof client, "%d", next);
    std::snprintf(sock, sizeof sock, "%d", reg_sock);
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    char* const args[kResumeArgs + 1] = {
        const_cast<char*>(argv0), const_cast<char*>(kResumeFlag), client, sock, pid, name, nullptr};
    flush_output();
    (void)execve("/proc/self/exe", args, environ);
}

// Echoes every datagram on the handler socket to its sender. Never returns.
[[noreturn]] void serve_client(int sock, std::uint16_t port, char* msg, Endpoint peer) {
    for (;;) {
        const ssize_t got = receive(sock, msg, kServerReceiveMax, peer);
        if (got == -1) {
            std::puts("Błąd recfrom");
            continue;
        }
        std::printf("obsługa klienta %hu: recvfrom(...)=%i\n", port, static_cast<int>(got));

        // This socket, the registration socket or an earlier handler would
        // echo the datagram back, and so on for ever. A later handler that
        // sent it refuses in turn, as this port lies below its own.
        const ssize_t sent =
            server_address(peer, port) ? -1 : send_to(sock, msg, static_cast<std::size_t>(got), peer);
        if (sent == -1)
            std::puts("Błąd sendto");
        else
            std::printf("obsługa klienta %hu: sendto(...)=%i\n", port, static_cast<int>(sent));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::int32_t client = kFirstClient;
    int reg_sock = resumed_socket(argc, argv, client);
    if (reg_sock != -1) {
        start_up(nullptr);
    } else {
        // A resume that fails its checks is refused here, as any argument is.
        if (const int status = answer_options(argc, argv, "tolpan-server", kAbout); status != kNoOptions)
            return status;
        start_up("Program TOLPAN - SERWER zaczyna działanie");
        reg_sock = socket(AF_INET, SOCK_DGRAM, 0);
        set_nonblocking(reg_sock);
        Endpoint reg = make_endpoint(kBindAddress, kRegistrationPort);
        std::printf("serwer: bind()=%i\nOczekuję na klientów...\n",
                    bind(reg_sock, as_sockaddr(reg), reg.len));
        std::printf("Port serwera: %hu\n", kRegistrationPort);
    }

    char msg[kServerBufferSize];
    Endpoint from{};
    for (;;) {
        const ssize_t got = receive(reg_sock, msg, kServerReceiveMax, from);
        if (got == -1) {
            // Nothing to register: no sender is known. A socket that could not
            // be made fails every receive: wait, for ever then, not spin.
            std::puts("Błąd recfrom serwer");
            wait_for(reg_sock, POLLIN);
            continue;
        }
        std::printf("serwer: recvfrom(...)=%i\n", static_cast<int>(got));

        std::snprintf(msg, sizeof msg, "%d", client);
        std::printf("Bufor z nr klienta: %s\n", msg);

        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        const std::uint16_t port = handler_port(client);
        Endpoint own = make_endpoint(kBindAddress, port);
        const int bound = client > kLastClient ? -1 : bind(sock, as_sockaddr(own), own.len);
        if (bound == -1) {
            std::puts("Błąd bind");
            std::exit(kBindFailedStatus);
        }
        set_nonblocking(sock);
        std::printf("Port obslugi klienta: %hu\n", port);

        // The reply is the number's text with its zero byte. Sent to a server
        // socket, this one included, it would be echoed back and forth.
        const ssize_t sent = server_address(from, port) ? -1 : send_to(sock, msg, std::strlen(msg) + 1, from);
        if (sent == -1)
            std::puts("Błąd sendto obsluga klienta");
        else
            std::printf("obsluga klienta: sendto(...)=%i\n", static_cast<int>(sent));
        std::printf("obsluga_klienta %i: bind()=%i\nOczekuję na klienta...\n", client, bound);

        flush_output();
        const pid_t pid = fork();
        if (pid == -1)
            std::puts("Błąd fork");
        // The parent, or a process that could not fork, serves this client.
        if (pid != 0)
            serve_client(sock, port, msg, from);
        // That socket is the parent's alone: otherwise every later process
        // would hold the socket of every earlier client.
        (void)close(sock);
        if (++client % kImageClients == kFirstClient)
            restart_image(argv[0], reg_sock, client);
    }
}
