// SPDX-License-Identifier: ISC
// tolpan-server: registers clients on UDP port 10000 and echoes their
// datagrams. Each registration binds the client's handler port and forks:
// the parent serves that port for ever, the child goes on registering.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io.h"
#include "options.h"
#include "protocol.h"
#include "restart.h"

using namespace tolpan;

namespace {

constexpr char kAbout[] =
    "Rejestruje klientów na porcie UDP 10000 adresu 127.0.0.1: każdemu daje kolejny\n"
    "numer N i port 10000 + N, na którym odsyła nadawcy każdy datagram.";

// Room in the registration socket's queue for a burst of greetings: what
// it cannot hold is lost, and its client waits for ever. The kernel doubles
// the size asked for, and takes about 830 bytes of it for a small datagram:
// room for some 20,000 greetings, where the default holds about 250.
constexpr int kGreetingQueueBytes = 8 << 20;

// Gives sock that room: forced where the process may (root, CAP_NET_ADMIN),
// otherwise as much of it as net.core.rmem_max allows.
void make_room_for_greetings(int sock) {
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &kGreetingQueueBytes, sizeof kGreetingQueueBytes) == -1)
        (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &kGreetingQueueBytes, sizeof kGreetingQueueBytes);
}

// Closes descriptors from to last, one at a time up to the limit where
// the system has no close_range or a filter refuses it.
void close_descriptors(unsigned from, unsigned last) {
    if (from > last || close_range(from, last, 0) == 0)
        return;
    const long end = std::min<long>(last, sysconf(_SC_OPEN_MAX) - 1);
    for (long fd = from; fd <= end; ++fd)
        (void)close(static_cast<int>(fd));
}

// Closes every descriptor above standard error but keep: those that the
// starter left open are not the server's, and every process would hold
// them for life, with whatever port or file they hold.
void close_inherited(int keep) {
    const unsigned first = STDERR_FILENO + 1;
    if (keep < static_cast<int>(first)) {
        close_descriptors(first, ~0U);
        return;
    }
    close_descriptors(first, static_cast<unsigned>(keep) - 1);
    close_descriptors(static_cast<unsigned>(keep) + 1, ~0U);
}

// Whether e is a socket of the server: 127.0.0.1 and a port from the
// registration port up to last. A datagram from one server socket to
// another would be echoed back and forth for ever.
bool is_server_socket(const Endpoint& e, std::uint16_t last) {
    const std::uint16_t port = ntohs(e.addr.sin_port);
    return e.addr.sin_addr.s_addr == htonl(kBindAddress) && port >= kRegistrationPort && port <= last;
}

// Sends the registration reply, the number's text in msg with its zero byte,
// from the handler socket to the greeting's source.
void send_reply(int sock, std::uint16_t port, const char* msg, const Endpoint& to) {
    // Sent to a server socket, this one included, the reply would be echoed
    // back and forth for ever.
    if (is_server_socket(to, port)) {
        print_line("Błąd sendto obsluga klienta");
        return;
    }
    const ssize_t sent = send_to(sock, msg, std::strlen(msg) + 1, to);
    if (sent == -1)
        print_line("Błąd sendto obsluga klienta");
    else
        print("obsluga klienta: sendto(...)=%i\n", static_cast<int>(sent));
}

// Echoes every datagram on the handler socket to its sender. Never returns.
[[noreturn]] void serve_client(int sock, std::uint16_t port, char* msg, Endpoint peer) {
    for (;;) {
        const ssize_t got = receive(sock, msg, kServerReceiveMax, peer);
        if (got == -1) {
            print_line("Błąd recfrom");
            pause_after_failure(sock);
            continue;
        }
        print("obsługa klienta %hu: recvfrom(...)=%i\n", port, static_cast<int>(got));

        // This socket, the registration socket or an earlier handler would
        // echo the datagram back, and so on for ever. A later handler that
        // sent it refuses in turn, as this port lies below its own.
        if (is_server_socket(peer, port)) {
            print_line("Błąd sendto");
            continue;
        }
        const ssize_t sent = send_to(sock, msg, static_cast<std::size_t>(got), peer);
        if (sent == -1)
            print_line("Błąd sendto");
        else
            print("obsługa klienta %hu: sendto(...)=%i\n", port, static_cast<int>(sent));
    }
}

}  // namespace

int main(int argc, char** argv) {
    Registration reg{-1, kFirstClient};
    if (const auto resumed = resumed_registration(argc, argv, kRegistrationPort)) {
        reg = *resumed;
        close_inherited(reg.sock);
        start_up(nullptr);
    } else {
        // A resume that fails its checks is refused here, as any argument is.
        if (argc > 1)
            return answer_options(argc, argv, "tolpan-server", kAbout);
        close_inherited(-1);
        start_up("Program TOLPAN - SERWER zaczyna działanie");
        reg.sock = socket(AF_INET, SOCK_DGRAM, 0);
        make_room_for_greetings(reg.sock);
        Endpoint own = make_endpoint(kBindAddress, kRegistrationPort);
        print("serwer: bind()=%i\nOczekuję na klientów...\n", bind(reg.sock, as_sockaddr(own), own.len));
        print("Port serwera: %hu\n", kRegistrationPort);
    }
    // A resumed one too, however it was handed over: blocking, it would hold
    // SIGPIPE back while the service waits.
    set_nonblocking(reg.sock);

    char msg[kServerBufferSize];
    Endpoint from{};
    // Until a fresh start fails for a reason that lasts.
    bool restarts = true;
    for (;;) {
        const ssize_t got = receive(reg.sock, msg, kServerReceiveMax, from);
        if (got == -1) {
            // Nothing to register: no sender is known. A socket that could not
            // be made fails every receive, and waits for a signal.
            print_line("Błąd recfrom serwer");
            pause_after_failure(reg.sock);
            continue;
        }
        print("serwer: recvfrom(...)=%i\n", static_cast<int>(got));

        std::snprintf(msg, sizeof msg, "%d", reg.next);
        print("Bufor z nr klienta: %s\n", msg);

        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        const std::uint16_t port = handler_port(reg.next);
        Endpoint own = make_endpoint(kBindAddress, port);
        // Past the last handler port there is none left to give.
        if (reg.next > kLastClient || bind(sock, as_sockaddr(own), own.len) == -1) {
            print_line("Błąd bind");
            std::exit(kBindFailedStatus);
        }
        set_nonblocking(sock);
        print("Port obslugi klienta: %hu\n", port);

        send_reply(sock, port, msg, from);
        // bind's result, 0 once here.
        print("obsluga_klienta %i: bind()=%i\nOczekuję na klienta...\n", reg.next, 0);

        (void)flush_output();
        const pid_t pid = fork();
        if (pid == -1)
            print_line("Błąd fork");
        // The parent, or a process that could not fork, serves this client,
        // and leaves the registration socket to the service: once that has
        // ended, no process holds port 10000 or its deep queue.
        if (pid != 0) {
            // Lines that the output refused are the service's to write.
            if (pid != -1)
                forget_output();
            (void)close(reg.sock);
            serve_client(sock, port, msg, from);
        }
        // That socket is the parent's alone: otherwise every later process
        // would hold the socket of every earlier client.
        (void)close(sock);
        if ((++reg.next - kFirstClient) % kImageClients == 0 && restarts)
            restarts = restart_image(argv[0], reg);
    }
}
