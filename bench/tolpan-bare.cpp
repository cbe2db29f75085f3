// SPDX-License-Identifier: ISC
// tolpan-bare: the server's system calls without its output, the yardstick
// of the benchmark. It registers on port 20000 and serves client N on port
// 20000 + N, making the same socket, bind, sendto, fork, close and recvfrom
// calls, and starting its image afresh as the server does.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bench.h"
#include "options.h"
#include "protocol.h"
#include "restart.h"

using namespace tolpan;

int main(int argc, char** argv) {
    Registration reg{-1, kFirstClient};
    if (const auto resumed = resumed_registration(argc, argv, bench::kBarePort)) {
        reg = *resumed;
    } else {
        if (argc > 1) {
            std::fputs("usage: tolpan-bare\n", stderr);
            return kUsageStatus;
        }
        reg.sock = socket(AF_INET, SOCK_DGRAM, 0);
        Endpoint own = make_endpoint(kBindAddress, bench::kBarePort);
        // Its port taken, it ends, so that nothing greets what it did not start.
        if (bind(reg.sock, as_sockaddr(own), own.len) == -1)
            return 1;
    }

    char msg[kServerBufferSize];
    Endpoint from{};
    for (;;) {
        from.len = sizeof from.addr;
        if (recvfrom(reg.sock, msg, kServerReceiveMax, 0, as_sockaddr(from), &from.len) == -1)
            continue;
        std::snprintf(msg, sizeof msg, "%d", reg.next);
        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        Endpoint own = make_endpoint(kBindAddress, static_cast<std::uint16_t>(bench::kBarePort + reg.next));
        if (bind(sock, as_sockaddr(own), own.len) == -1)
            return kBindFailedStatus;
        (void)sendto(sock, msg, std::strlen(msg) + 1, 0, as_sockaddr(from), from.len);
        if (fork() == 0) {
            (void)close(sock);
            if ((++reg.next - kFirstClient) % kImageClients == 0)
                restart_image(argv[0], reg);
            continue;
        }
        (void)close(reg.sock);
        for (;;) {
            from.len = sizeof from.addr;
            const ssize_t got = recvfrom(sock, msg, kServerReceiveMax, 0, as_sockaddr(from), &from.len);
            if (got != -1)
                (void)sendto(sock, msg, static_cast<std::size_t>(got), 0, as_sockaddr(from), from.len);
        }
    }
}
