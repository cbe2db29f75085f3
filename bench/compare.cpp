// SPDX-License-Identifier: ISC
// tolpan-server against tolpan-bare, which makes the same system calls
// without output and restarts its image in the same way, in alternating
// rounds: medians, and the ratio ours / bare with its spread over the
// rounds. The server writes to a file.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "protocol.h"
#include "support.h"

namespace bench {

namespace {

using ts::Ms;

constexpr int kClients = 300;
constexpr std::size_t kLineDatagram = 99;
constexpr auto kEchoTime = Ms{500};

// One round against one server.
struct Round {
    double registrations = 0;  // per second, 300 clients
    double memory = 0;         // a handler's private memory, KiB, median
    double handlers = 0;       // measured
    double echo1 = 0;          // round trips per second, 1 in flight
    double p50 = 0;            // round trip, microseconds
    double p99 = 0;
    double echo16 = 0;   // echoes per second, 16 in flight
    double echo64 = 0;   // and 64
    double clients = 0;  // round trips per second, 300 clients at once
    double lost = 0;     // datagrams
};

// A UDP socket on 127.0.0.1, connected to port, whose receives give up
// after 100 ms.
int echo_socket(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const timeval limit{0, 100000};
    const tolpan::Endpoint to = tolpan::make_endpoint(INADDR_LOOPBACK, port);
    if (fd == -1 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == -1 ||
        connect(fd, tolpan::as_sockaddr(to), to.len) == -1)
        fail("echo socket");
    return fd;
}

// Registers kClients clients, each from a fresh socket and waiting for its
// reply. Returns registrations per second, 0 if one got no reply.
double register_clients(std::uint16_t base) {
    const auto start = Clock::now();
    for (int n = 1; n <= kClients; ++n) {
        ts::Udp client;
        if (!client.send(base, ts::kGreeting) || !client.receive())
            return 0;
    }
    return kClients / seconds_since(start);
}

// `window` datagrams in flight to port for kEchoTime: echoes per second. A
// wait that times out counts every datagram in flight as lost and starts a
// new window. With rtts, each round trip's time in microseconds goes there.
double echo_window(std::uint16_t port, int window, long& lost, std::vector<double>* rtts = nullptr) {
    const int fd = echo_socket(port);
    char buf[kLineDatagram] = "ping";
    long count = 0;
    int in_flight = 0;
    auto sent = Clock::now();
    const auto start = Clock::now();
    while (Clock::now() - start < kEchoTime) {
        for (; in_flight < window; ++in_flight) {
            sent = Clock::now();
            (void)send(fd, buf, sizeof buf, 0);
        }
        if (recv(fd, buf, sizeof buf, 0) == sizeof buf) {
            ++count;
            --in_flight;
            if (rtts != nullptr)
                rtts->push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        } else {
            lost += in_flight;
            in_flight = 0;
        }
    }
    close(fd);
    return static_cast<double>(count) / seconds_since(start);
}

// kClients clients at once, one to each handler port above base, each with
// one datagram in flight: round trips per second, summed. A wait of 100 ms
// with no echo counts every datagram as lost and sends each afresh.
double echo_clients(std::uint16_t base, long& lost) {
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    if (poller == -1)
        fail("epoll_create1");
    std::vector<int> fds;
    for (int n = 0; n < kClients; ++n) {
        fds.push_back(echo_socket(static_cast<std::uint16_t>(base + 1 + n)));
        epoll_event wanted{EPOLLIN, {}};
        wanted.data.fd = fds.back();
        if (epoll_ctl(poller, EPOLL_CTL_ADD, fds.back(), &wanted) == -1)
            fail("epoll_ctl");
    }
    char buf[kLineDatagram] = "ping";
    for (int fd : fds)
        (void)send(fd, buf, sizeof buf, 0);
    long count = 0;
    epoll_event ready[kClients];
    const auto start = Clock::now();
    while (Clock::now() - start < kEchoTime) {
        const int n = epoll_wait(poller, ready, kClients, 100);
        if (n == 0) {
            lost += kClients;
            for (int fd : fds)
                (void)send(fd, buf, sizeof buf, 0);
        }
        for (int i = 0; i < n; ++i) {
            if (recv(ready[i].data.fd, buf, sizeof buf, MSG_DONTWAIT) != sizeof buf)
                continue;
            ++count;
            (void)send(ready[i].data.fd, buf, sizeof buf, 0);
        }
    }
    for (int fd : fds)
        close(fd);
    close(poller);
    return static_cast<double>(count) / seconds_since(start);
}

// One round against one server: registrations, handler memory, then echoes
// on the handler ports.
Round run_round(bool ours, const std::string& log) {
    const std::uint16_t base = ours ? tolpan::kRegistrationPort : kBarePort;
    // Gone, the last round's log cannot pass for this one's.
    std::remove(log.c_str());
    ts::Program server(writing_to(ours ? log : "/dev/null",
                                  ours ? ts::server_command() : std::vector<std::string>{TOLPAN_BARE}));
    // The bare reference ends at once if its port is taken.
    if (ours ? !server_bound(log) : !ts::sleeping(server.pid()) || server.wait_exit(Ms{0})) {
        std::fprintf(stderr, "tolpan-bench: %s could not start\n", ours ? "tolpan-server" : "tolpan-bare");
        std::exit(1);
    }
    Round r;
    r.registrations = register_clients(base);

    // The process started first serves client 1, its child client 2, and so
    // on; the last in the chain is the registration service.
    std::vector<pid_t> chain = ts::family(server.pid());
    chain.pop_back();
    std::vector<double> kib;
    kib.reserve(chain.size());
    for (pid_t pid : chain)
        kib.push_back(private_kib(pid));
    r.memory = median(kib);
    r.handlers = static_cast<double>(kib.size());

    std::vector<double> rtts;
    long lost = 0;
    r.echo1 = echo_window(static_cast<std::uint16_t>(base + 1), 1, lost, &rtts);
    r.p50 = percentile(rtts, 0.50);
    r.p99 = percentile(rtts, 0.99);
    r.echo16 = echo_window(static_cast<std::uint16_t>(base + 2), 16, lost);
    r.echo64 = echo_window(static_cast<std::uint16_t>(base + 3), 64, lost);
    r.clients = echo_clients(base, lost);
    r.lost = static_cast<double>(lost);
    return r;
}

}  // namespace

int compare(long rounds, bool isolated, const std::string& log) {
    std::vector<Round> ours;
    std::vector<Round> bare;
    for (long i = 0; i < rounds; ++i) {
        // Alternate which goes first, so neither always meets a warmer machine.
        for (const bool first_ours : {i % 2 == 0, i % 2 != 0})
            (first_ours ? ours : bare).push_back(run_round(first_ours, log));
        std::fprintf(stderr, "round %ld of %ld done\n", i + 1, rounds);
    }

    std::printf("tolpan-server against the bare reference: medians of %ld rounds%s\n", rounds,
                isolated ? ", in a private network namespace" : ", on the host's loopback");
    std::printf("%-36s %10s %10s %6s %11s  %s\n", "measure", "ours", "bare", "ratio", "(spread)", "target");
    struct Row {
        const char* label;
        double Round::*measure;
        const char* target;  // nullptr: a count, with no ratio
    };
    const Row rows[] = {
        {"echo round trips/s, 1 in flight", &Round::echo1, ">= 0.95"},
        {"echoes/s, 16 in flight", &Round::echo16, ">= 0.90"},
        {"echoes/s, 64 in flight", &Round::echo64, ">= 0.90"},
        {"round trips/s, 300 clients at once", &Round::clients, ">= 0.80"},
        {"  datagrams lost", &Round::lost, nullptr},
        {"registrations/s, 300 clients", &Round::registrations, ">= 0.80"},
        {"handler private memory, KiB", &Round::memory, "<= 1.25"},
        {"  handlers measured", &Round::handlers, nullptr},
        {"round trip p50, us", &Round::p50, ""},
        {"round trip p99, us", &Round::p99, ""},
    };
    for (const auto& row : rows) {
        std::vector<double> our;
        std::vector<double> their;
        // ours / bare of each round, paired as they ran.
        std::vector<double> ratios;
        for (std::size_t i = 0; i != ours.size(); ++i) {
            our.push_back(ours[i].*row.measure);
            their.push_back(bare[i].*row.measure);
            if (their.back() != 0)
                ratios.push_back(our.back() / their.back());
        }
        std::printf("%-36s %10.1f %10.1f", row.label, median(our), median(their));
        if (row.target != nullptr && !ratios.empty())
            std::printf(" %6.2f (%4.2f-%4.2f)  %s", median(ratios),
                        *std::min_element(ratios.begin(), ratios.end()),
                        *std::max_element(ratios.begin(), ratios.end()), row.target);
        std::printf("\n");
    }
    return 0;
}

}  // namespace bench
