// SPDX-License-Identifier: ISC
// tolpan-server: registers clients on UDP port 10000 and echoes their
// datagrams. Each registration binds the client's handler port and forks:
// the parent serves that port for ever, the child goes on registering.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tolpan.h"

using namespace tolpan;

namespace {

constexpr char kAbout[] =
    "Rejestruje klientów na porcie UDP 10000 adresu 127.0.0.1: każdemu daje kolejny\n"
    "numer N i port 10000 + N, na którym odsyła nadawcy każdy datagram.";

// Sends the registration reply, the number's text in msg with its zero byte,
// from the handler socket to the greeting's source.
void send_reply(int sock, std::uint16_t port, const char* msg, const Endpoint& to) {
    // Sent to a server socket, this one included, the reply would be echoed
    // back and forth for ever.
    if (is_server_socket(to, port)) {
        std::puts("Błąd sendto obsluga klienta");
        return;
    }
    const ssize_t sent = send_to(sock, msg, std::strlen(msg) + 1, to);
    if (sent == -1)
        std::puts("Błąd sendto obsluga klienta");
    else
        std::printf("obsluga klienta: sendto(...)=%i\n", static_cast<int>(sent));
}

// Echoes every datagram on the handler socket to its sender. Never returns.
[[noreturn]] void serve_client(int sock, std::uint16_t port, char* msg, Endpoint peer) {
    for (;;) {
        const ssize_t got = receive(sock, msg, kServerReceiveMax, peer);
        if (got == -1) {
            std::puts("Błąd recfrom");
            pause_after_failure(sock);
            continue;
        }
        std::printf("obsługa klienta %hu: recvfrom(...)=%i\n", port, static_cast<int>(got));

        // This socket, the registration socket or an earlier handler would
        // echo the datagram back, and so on for ever. A later handler that
        // sent it refuses in turn, as this port lies below its own.
        if (is_server_socket(peer, port)) {
            std::puts("Błąd sendto");
            continue;
        }
        const ssize_t sent = send_to(sock, msg, static_cast<std::size_t>(got), peer);
        if (sent == -1)
            std::puts("Błąd sendto");
        else
            std::printf("obsługa klienta %hu: sendto(...)=%i\n", port, static_cast<int>(sent));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::int32_t client = kFirstClient;
    int reg_sock = resumed_socket(argc, argv, kRegistrationPort, client);
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
            // be made fails every receive, and waits for a signal.
            std::puts("Błąd recfrom serwer");
            pause_after_failure(reg_sock);
            continue;
        }
        std::printf("serwer: recvfrom(...)=%i\n", static_cast<int>(got));

        std::snprintf(msg, sizeof msg, "%d", client);
        std::printf("Bufor z nr klienta: %s\n", msg);

        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        const std::uint16_t port = handler_port(client);
        Endpoint own = make_endpoint(kBindAddress, port);
        // Past the last handler port there is none left to give.
        if (client > kLastClient || bind(sock, as_sockaddr(own), own.len) == -1) {
            std::puts("Błąd bind");
            std::exit(kBindFailedStatus);
        }
        set_nonblocking(sock);
        std::printf("Port obslugi klienta: %hu\n", port);

        send_reply(sock, port, msg, from);
        // bind's result, 0 once here.
        std::printf("obsluga_klienta %i: bind()=%i\nOczekuję na klienta...\n", client, 0);

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
        if ((++client - kFirstClient) % kImageClients == 0)
            restart_image(argv[0], reg_sock, client);
    }
}
