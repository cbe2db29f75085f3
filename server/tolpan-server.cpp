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

// Echoes every datagram on the handler socket to its sender. Never returns.
[[noreturn]] void serve_client(int sock, std::uint16_t port, char* msg, Endpoint peer) {
    for (;;) {
        flush_before_receive(sock);
        peer.len = sizeof peer.addr;
        const ssize_t got = recvfrom(sock, msg, kServerReceiveMax, 0, as_sockaddr(peer), &peer.len);
        if (got == -1) {
            std::puts("Błąd recfrom");
            continue;
        }
        std::printf("obsługa klienta %hu: recvfrom(...)=%i\n", port, static_cast<int>(got));

        const ssize_t sent = sendto(sock, msg, static_cast<std::size_t>(got), 0, as_sockaddr(peer), peer.len);
        if (sent == -1)
            std::puts("Błąd sendto");
        else
            std::printf("obsługa klienta %hu: sendto(...)=%i\n", port, static_cast<int>(sent));
    }
}

}  // namespace

int main() {
    start_up("Program TOLPAN - SERWER zaczyna działanie");
    std::int32_t client = kFirstClient;

    const int reg_sock = socket(AF_INET, SOCK_DGRAM, 0);
    Endpoint reg = make_endpoint(kBindAddress, kRegistrationPort);
    std::printf("serwer: bind()=%i\nOczekuję na klientów...\n", bind(reg_sock, as_sockaddr(reg), reg.len));
    std::printf("Port serwera: %hu\n", kRegistrationPort);

    char msg[kServerBufferSize];
    Endpoint from{};
    for (;;) {
        flush_output();
        from.len = sizeof from.addr;
        const ssize_t got = recvfrom(reg_sock, msg, kServerReceiveMax, 0, as_sockaddr(from), &from.len);
        if (got == -1) {
            // Nothing to register: no sender is known.
            std::puts("Błąd recfrom serwer");
            continue;
        }
        std::printf("serwer: recvfrom(...)=%i\n", static_cast<int>(got));

        std::snprintf(msg, sizeof msg, "%d", client);
        std::printf("Bufor z nr klienta: %s\n", msg);

        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        const std::uint16_t port = handler_port(client);
        Endpoint own = make_endpoint(kBindAddress, port);
        const int bound = bind(sock, as_sockaddr(own), own.len);
        if (bound == -1) {
            std::puts("Błąd bind");
            std::exit(kBindFailedStatus);
        }
        std::printf("Port obslugi klienta: %hu\n", port);

        // The reply is the number's text with its zero byte.
        const ssize_t sent = sendto(sock, msg, std::strlen(msg) + 1, 0, as_sockaddr(from), from.len);
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
        ++client;
    }
}
