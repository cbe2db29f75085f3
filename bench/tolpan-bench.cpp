// tolpan-bench [ROUNDS]: measures tolpan-server against tolpan-bare, which
// makes the same system calls without output, in alternating rounds, and
// prints medians and the ratio ours / bare. The server writes to a file.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;
using ts::Ms;

constexpr int kClients = 300;
constexpr int kWindow = 16;
constexpr std::size_t kLineDatagram = 99;
constexpr auto kEchoTime = Ms{500};
constexpr std::uint16_t kOurPort = 10000;
constexpr std::uint16_t kBarePort = 20000;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A UDP socket on 127.0.0.1 whose receives give up after 100 ms.
int echo_socket() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const timeval limit{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// Registers kClients clients, each from a fresh socket and waiting for its
// reply. Returns registrations per second, 0 if one got no reply.
double register_clients(std::uint16_t base) {
    const auto start = Clock::now();
    for (int n = 1; n <= kClients; ++n) {
        ts::Udp client;
        if (!client.send(base, "Eloo\n") || !client.receive())
            return 0;
    }
    return kClients / seconds_since(start);
}

// One datagram in flight: round trips per second; each round trip's time in
// microseconds goes to rtts.
double echo_one(std::uint16_t port, std::vector<double>& rtts) {
    const int fd = echo_socket();
    const sockaddr_in to = ts::loopback(port);
    char buf[kLineDatagram] = "ping";
    long count = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kEchoTime) {
        const auto sent = Clock::now();
        sendto(fd, buf, sizeof buf, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (recv(fd, buf, sizeof buf, 0) != sizeof buf)
            continue;  // lost: send again
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        ++count;
    }
    close(fd);
    return static_cast<double>(count) / seconds_since(start);
}

// kWindow datagrams in flight: echoes per second. A wait that times out
// counts every datagram in flight as lost and starts a new window.
double echo_window(std::uint16_t port, long& lost) {
    const int fd = echo_socket();
    const sockaddr_in to = ts::loopback(port);
    char buf[kLineDatagram] = "ping";
    auto send = [&] { sendto(fd, buf, sizeof buf, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to); };
    long count = 0;
    int in_flight = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kEchoTime) {
        for (; in_flight < kWindow; ++in_flight)
            send();
        if (recv(fd, buf, sizeof buf, 0) == sizeof buf) {
            ++count;
            --in_flight;
        } else {
            lost += in_flight;
            in_flight = 0;
        }
    }
    close(fd);
    return static_cast<double>(count) / seconds_since(start);
}

// Private memory of a process: Private_Clean + Private_Dirty, in KiB.
double private_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    double kib = 0;
    for (std::string key, unit; in >> key;) {
        if (key == "Private_Clean:" || key == "Private_Dirty:") {
            double value = 0;
            in >> value >> unit;
            kib += value;
        }
    }
    return kib;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

using Results = std::map<std::string, std::vector<double>>;

// One round against one server: registrations, handler memory, then echoes
// on the handler ports of clients 1 and 2.
void run_round(const std::vector<std::string>& command, std::uint16_t base, const std::string& log,
               Results& r) {
    ts::Program server(command, "/dev/null", log);
    ts::sleeping(server.pid());  // bound, and waiting for greetings
    r["regs"].push_back(register_clients(base));

    // The process started first serves client 1, its child client 2, and so
    // on; the last in the chain is the registration service.
    std::vector<pid_t> chain = ts::family(server.pid());
    chain.pop_back();
    std::vector<double> kib;
    kib.reserve(chain.size());
    for (pid_t pid : chain)
        kib.push_back(private_kib(pid));
    r["mem"].push_back(median(kib));
    r["handlers"].push_back(static_cast<double>(kib.size()));

    std::vector<double> rtts;
    r["echo1"].push_back(echo_one(static_cast<std::uint16_t>(base + 1), rtts));
    r["p50"].push_back(percentile(rtts, 0.50));
    r["p99"].push_back(percentile(rtts, 0.99));
    long lost = 0;
    r["echo16"].push_back(echo_window(static_cast<std::uint16_t>(base + 2), lost));
    r["lost"].push_back(static_cast<double>(lost));
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long rounds = argc > 1 ? std::strtol(argv[1], &end, 10) : 9;
    if (argc > 2 || rounds < 1 || rounds > 1000 || (end != nullptr && *end != '\0')) {
        std::fputs("usage: tolpan-bench [ROUNDS]\n", stderr);
        return 2;
    }
    const bool isolated = ts::enter_private_network();
    ts::guard_children();
    char dir[] = "/tmp/tolpan-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::string log = std::string(dir) + "/server.log";

    Results ours;
    Results bare;
    for (long i = 0; i < rounds; ++i) {
        // Alternate which goes first, so neither always meets a warmer machine.
        if (i % 2 == 0) {
            run_round(ts::server_command(), kOurPort, log, ours);
            run_round({TOLPAN_BARE, std::to_string(kBarePort)}, kBarePort, "/dev/null", bare);
        } else {
            run_round({TOLPAN_BARE, std::to_string(kBarePort)}, kBarePort, "/dev/null", bare);
            run_round(ts::server_command(), kOurPort, log, ours);
        }
        std::fprintf(stderr, "round %ld of %ld done\n", i + 1, rounds);
    }
    std::remove(log.c_str());
    rmdir(dir);

    std::printf("tolpan-server against the bare reference: medians of %ld rounds%s\n", rounds,
                isolated ? ", in a private network namespace" : ", on the host's loopback");
    std::printf("%-36s %12s %12s %7s  %s\n", "measure", "ours", "bare", "ratio", "target");
    struct Row {
        const char* label;
        const char* key;
        const char* target;  // nullptr: a count, with no ratio
    };
    const Row rows[] = {
        {"echo round trips/s, 1 in flight", "echo1", ">= 0.90"},
        {"echoes/s, 16 in flight", "echo16", ">= 0.75"},
        {"  datagrams lost, 16 in flight", "lost", nullptr},
        {"registrations/s, 300 clients", "regs", ">= 0.80"},
        {"handler private memory, KiB", "mem", "<= 1.25"},
        {"  handlers measured", "handlers", nullptr},
        {"round trip p50, us", "p50", ""},
        {"round trip p99, us", "p99", ""},
    };
    for (const auto& row : rows) {
        const double a = median(ours[row.key]);
        const double b = median(bare[row.key]);
        std::printf("%-36s %12.1f %12.1f", row.label, a, b);
        if (row.target != nullptr && b != 0)
            std::printf(" %7.2f", a / b);
        if (row.target != nullptr && *row.target != '\0')
            std::printf("  %s", row.target);
        std::printf("\n");
    }
    return 0;
}
