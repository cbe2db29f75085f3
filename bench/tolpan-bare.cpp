// SPDX-License-Identifier: ISC
// tolpan-bare PORT: the server's system calls without its output, the
// yardstick of the benchmark. It registers on PORT and serves client N on
// PORT + N, making the same socket, bind, sendto, fork, close and recvfrom
// calls; it never starts its image afresh.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tolpan.h"

using namespace tolpan;

int main(int argc, char** argv) {
    char* end = nullptr;
    const long port = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    // Leaves room above it for the handler ports of a thousand clients.
    if (end == nullptr || *end != '\0' || port < 1 || port > 65535 - 1000) {
        std::fputs("usage: tolpan-bare PORT\n", stderr);
        return 2;
    }
    const auto base = static_cast<std::uint16_t>(port);
    const int reg_sock = socket(AF_INET, SOCK_DGRAM, 0);
    Endpoint reg = make_endpoint(kBindAddress, base);
    (void)bind(reg_sock, as_sockaddr(reg), reg.len);

    char msg[kServerBufferSize];
    Endpoint from{};
    for (std::int32_t client = kFirstClient;; ++client) {
        from.len = sizeof from.addr;
        if (recvfrom(reg_sock, msg, kServerReceiveMax, 0, as_sockaddr(from), &from.len) == -1)
            continue;
        std::snprintf(msg, sizeof msg, "%d", client);
        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        Endpoint own = make_endpoint(kBindAddress, static_cast<std::uint16_t>(base + client));
        if (bind(sock, as_sockaddr(own), own.len) == -1)
            return kBindFailedStatus;
        (void)sendto(sock, msg, std::strlen(msg) + 1, 0, as_sockaddr(from), from.len);
        if (fork() == 0) {
            (void)close(sock);
            continue;
        }
        for (;;) {
            from.len = sizeof from.addr;
            const ssize_t got = recvfrom(sock, msg, kServerReceiveMax, 0, as_sockaddr(from), &from.len);
            if (got != -1)
                (void)sendto(sock, msg, static_cast<std::size_t>(got), 0, as_sockaddr(from), from.len);
        }
    }
}
