// SPDX-License-Identifier: ISC
// A burst of greetings at once, each from a socket of its own, to a fresh
// tolpan-server: how many are answered, how many wrongly, and when the
// last reply came.

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench.h"
#include "protocol.h"
#include "support.h"

namespace bench {

namespace {

// A burst ends once no reply has come for this long.
constexpr int kQuietMs = 2000;

// The receive queue of the registration socket, in bytes, as ss shows it.
std::string queue_bytes() {
    // NOLINTNEXTLINE(cert-env33-c): a fixed command of the benchmark's own
    std::unique_ptr<FILE, int (*)(FILE*)> ss(popen("ss -Huamn 'sport = :10000' 2>/dev/null", "r"), pclose);
    std::string text;
    char line[1024];
    while (ss != nullptr && std::fgets(line, sizeof line, ss.get()) != nullptr)
        text += line;
    const std::size_t at = text.find(",rb");
    return at == std::string::npos
               ? "?"
               : text.substr(at + 3, text.find_first_not_of("0123456789", at + 3) - at - 3);
}

}  // namespace

int burst(long n, bool isolated, const std::string& log) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == -1)
        fail("getrlimit");
    files.rlim_cur = files.rlim_max;
    if (files.rlim_cur < static_cast<rlim_t>(n) + 64 || setrlimit(RLIMIT_NOFILE, &files) == -1) {
        std::fprintf(stderr, "tolpan-bench: %ld sockets need a descriptor limit of %ld\n", n, n + 64);
        return 1;
    }
    ts::Program server(writing_to(log, ts::server_command()));
    if (!server_bound(log))
        return 1;
    std::vector<std::unique_ptr<ts::Udp>> clients;
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    for (long k = 0; k < n; ++k) {
        clients.push_back(std::make_unique<ts::Udp>());
        epoll_event wanted{EPOLLIN, {}};
        wanted.data.u64 = static_cast<std::uint64_t>(k);
        if (!clients.back()->ok() || epoll_ctl(poller, EPOLL_CTL_ADD, clients.back()->fd(), &wanted) == -1)
            fail("socket");
    }

    const auto start = Clock::now();
    for (const auto& client : clients)
        if (!client->send(tolpan::kRegistrationPort, ts::kGreeting))
            fail("sendto");
    std::set<int> numbers;  // each given once, from its own handler port
    long answered = 0;
    long wrong = 0;
    double last = 0;
    std::vector<epoll_event> ready(1024);
    for (int got; (got = epoll_wait(poller, ready.data(), static_cast<int>(ready.size()), kQuietMs)) > 0;) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            const auto reply = clients[ready[i].data.u64]->receive(ts::Ms{0});
            if (!reply)
                continue;
            const auto number = static_cast<int>(std::strtol(reply->bytes.c_str(), nullptr, 10));
            const bool right = reply->bytes == std::to_string(number) + '\0' && number >= 1 && number <= n &&
                               reply->port == tolpan::handler_port(number) && numbers.insert(number).second;
            ++(right ? answered : wrong);
            last = seconds_since(start);
        }
    }
    std::printf("tolpan-server, a burst: %ld greetings at once from %ld sockets%s\n", n, n,
                isolated ? ", in a private network namespace" : ", on the host's loopback");
    std::printf("%-36s %10s\n", "registration queue, bytes", queue_bytes().c_str());
    std::printf("%-36s %10ld\n%-36s %10ld\n%-36s %10ld\n%-36s %10.2f\n", "answered", answered,
                "answered wrongly", wrong, "never answered", n - answered - wrong,
                "seconds to the last reply", last);
    return 0;
}

}  // namespace bench
