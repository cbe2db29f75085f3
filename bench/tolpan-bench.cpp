// SPDX-License-Identifier: ISC
// tolpan-bench [ROUNDS]: measures tolpan-server against tolpan-bare, which
// makes the same system calls without output, in alternating rounds, and
// prints medians and the ratio ours / bare with its spread over the rounds.
// The server writes to a file.
//
// tolpan-bench --scale [N]: registers N clients one after another with the
// descriptor limit at 1,024, and prints the rate per block of 1,000, the
// memory per handler and the descriptors per process.

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support.h"
#include "tolpan.h"

namespace {

using Clock = std::chrono::steady_clock;
using ts::Ms;

constexpr int kClients = 300;
constexpr std::size_t kLineDatagram = 99;
constexpr auto kEchoTime = Ms{500};
constexpr std::uint16_t kOurPort = tolpan::kRegistrationPort;
constexpr std::uint16_t kBarePort = 20000;
// The scale run's own socket: a fixed port below every port of the server.
constexpr std::uint16_t kScaleClientPort = 9999;
constexpr long kScaleBlock = 1000;
constexpr long kLastClient = tolpan::kLastClient;
// Room enough for what one client costs the machine.
constexpr std::size_t kWarmPerClient = std::size_t{160} * 1024;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A UDP socket on 127.0.0.1, connected to port, whose receives give up
// after 100 ms.
int echo_socket(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const timeval limit{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const sockaddr_in to = ts::loopback(port);
    (void)connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
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

// One datagram in flight: round trips per second; each round trip's time in
// microseconds goes to rtts.
double echo_one(std::uint16_t port, std::vector<double>& rtts) {
    const int fd = echo_socket(port);
    char buf[kLineDatagram] = "ping";
    long count = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kEchoTime) {
        const auto sent = Clock::now();
        send(fd, buf, sizeof buf, 0);
        if (recv(fd, buf, sizeof buf, 0) != sizeof buf)
            continue;  // lost: send again
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        ++count;
    }
    close(fd);
    return static_cast<double>(count) / seconds_since(start);
}

// `window` datagrams in flight: echoes per second. A wait that times out
// counts every datagram in flight as lost and starts a new window.
double echo_window(std::uint16_t port, int window, long& lost) {
    const int fd = echo_socket(port);
    char buf[kLineDatagram] = "ping";
    long count = 0;
    int in_flight = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kEchoTime) {
        for (; in_flight < window; ++in_flight)
            send(fd, buf, sizeof buf, 0);
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

// kClients clients at once, one to each handler port above base, each with
// one datagram in flight: round trips per second, summed. A wait of 100 ms
// with no echo counts every datagram as lost and sends each afresh.
double echo_clients(std::uint16_t base, long& lost) {
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> fds;
    for (int n = 0; n < kClients; ++n) {
        fds.push_back(echo_socket(static_cast<std::uint16_t>(base + 1 + n)));
        epoll_event wanted{EPOLLIN, {}};
        wanted.data.fd = fds.back();
        epoll_ctl(poller, EPOLL_CTL_ADD, fds.back(), &wanted);
    }
    char buf[kLineDatagram] = "ping";
    for (int fd : fds)
        send(fd, buf, sizeof buf, 0);
    long count = 0;
    epoll_event ready[kClients];
    const auto start = Clock::now();
    while (Clock::now() - start < kEchoTime) {
        const int n = epoll_wait(poller, ready, kClients, 100);
        if (n == 0) {
            lost += kClients;
            for (int fd : fds)
                send(fd, buf, sizeof buf, 0);
        }
        for (int i = 0; i < n; ++i) {
            if (recv(ready[i].data.fd, buf, sizeof buf, MSG_DONTWAIT) != sizeof buf)
                continue;
            ++count;
            send(ready[i].data.fd, buf, sizeof buf, 0);
        }
    }
    for (int fd : fds)
        close(fd);
    close(poller);
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
// on the handler ports.
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
    r["echo16"].push_back(echo_window(static_cast<std::uint16_t>(base + 2), 16, lost));
    r["echo64"].push_back(echo_window(static_cast<std::uint16_t>(base + 3), 64, lost));
    r["clients"].push_back(echo_clients(base, lost));
    r["lost"].push_back(static_cast<double>(lost));
}

// ours / bare of each round, paired as they ran.
std::vector<double> ratios(const std::vector<double>& ours, const std::vector<double>& bare) {
    std::vector<double> r;
    for (std::size_t i = 0; i < std::min(ours.size(), bare.size()); ++i)
        if (bare[i] != 0)
            r.push_back(ours[i] / bare[i]);
    return r;
}

int compare(long rounds, bool isolated, const std::string& log) {
    const std::vector<std::string> bare_command = {TOLPAN_BARE, std::to_string(kBarePort)};

    Results ours;
    Results bare;
    for (long i = 0; i < rounds; ++i) {
        // Alternate which goes first, so neither always meets a warmer machine.
        if (i % 2 == 0) {
            run_round(ts::server_command(), kOurPort, log, ours);
            run_round(bare_command, kBarePort, "/dev/null", bare);
        } else {
            run_round(bare_command, kBarePort, "/dev/null", bare);
            run_round(ts::server_command(), kOurPort, log, ours);
        }
        std::fprintf(stderr, "round %ld of %ld done\n", i + 1, rounds);
    }

    std::printf("tolpan-server against the bare reference: medians of %ld rounds%s\n", rounds,
                isolated ? ", in a private network namespace" : ", on the host's loopback");
    std::printf("%-36s %10s %10s %6s %11s  %s\n", "measure", "ours", "bare", "ratio", "(spread)", "target");
    struct Row {
        const char* label;
        const char* key;
        const char* target;  // nullptr: a count, with no ratio
    };
    const Row rows[] = {
        {"echo round trips/s, 1 in flight", "echo1", ">= 0.95"},
        {"echoes/s, 16 in flight", "echo16", ">= 0.90"},
        {"echoes/s, 64 in flight", "echo64", ">= 0.90"},
        {"round trips/s, 300 clients at once", "clients", ">= 0.80"},
        {"  datagrams lost", "lost", nullptr},
        {"registrations/s, 300 clients", "regs", ">= 0.80"},
        {"handler private memory, KiB", "mem", "<= 1.25"},
        {"  handlers measured", "handlers", nullptr},
        {"round trip p50, us", "p50", ""},
        {"round trip p99, us", "p99", ""},
    };
    for (const auto& row : rows) {
        std::printf("%-36s %10.1f %10.1f", row.label, median(ours[row.key]), median(bare[row.key]));
        const std::vector<double> r = ratios(ours[row.key], bare[row.key]);
        if (row.target != nullptr && !r.empty())
            std::printf(" %6.2f (%4.2f-%4.2f)  %s", median(r), *std::min_element(r.begin(), r.end()),
                        *std::max_element(r.begin(), r.end()), row.target);
        std::printf("\n");
    }
    return 0;
}

// MemAvailable and the kernel's own memory (Slab + KernelStack +
// PageTables) from /proc/meminfo, in KiB.
std::pair<double, double> memory_kib() {
    std::ifstream in("/proc/meminfo");
    double available = 0;
    double kernel = 0;
    for (std::string key; in >> key;) {
        double value = 0;
        in >> value;
        if (key == "MemAvailable:")
            available = value;
        else if (key == "Slab:" || key == "KernelStack:" || key == "PageTables:")
            kernel += value;
        in.ignore(64, '\n');
    }
    return {available, kernel};
}

// The memory once the processes of earlier runs have been freed: steady to
// within 1 MiB over half a second, or after a minute.
std::pair<double, double> settled_memory_kib() {
    auto last = memory_kib();
    for (int i = 0; i < 120; ++i) {
        std::this_thread::sleep_for(Ms{500});
        const auto now = memory_kib();
        if (std::abs(now.first - last.first) < 1024)
            return now;
        last = now;
    }
    return last;
}

// Touches `bytes` of fresh memory, then frees it; returns the seconds taken.
// Virtual machines like these give memory that the guest frees back to the
// host, which backs it again only as it is touched, slowly (about 2.7 us a
// page measured here): unwarmed, a run slows down as it first reaches
// memory that no earlier run used, whatever it runs.
double warm_memory(std::size_t bytes) {
    const auto start = Clock::now();
    void* block =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED)
        return 0;
    for (std::size_t i = 0; i < bytes; i += 4096)
        static_cast<volatile char*>(block)[i] = 1;
    munmap(block, bytes);
    return seconds_since(start);
}

long number_file(const std::string& path) {
    long n = 0;
    std::ifstream(path) >> n;
    return n;
}

int scale(long n, bool isolated, const std::string& log) {
    if (n + 100 > number_file("/proc/sys/kernel/pid_max")) {
        std::fprintf(stderr,
                     "%ld clients need kernel.pid_max above %ld (scripts/bench.sh raises it as root)\n", n,
                     n + 100);
        return 1;
    }
    const std::size_t warm_bytes = static_cast<std::size_t>(n) * kWarmPerClient;
    const double warm_seconds = warm_memory(warm_bytes);
    const auto before = settled_memory_kib();
    ts::Program server(ts::in_shell(ts::server_command(), "ulimit -n 1024 && exec \"$@\""), "/dev/null", log);
    ts::sleeping(server.pid());

    ts::Udp client(kScaleClientPort);
    std::vector<double> rates;
    long registered = 0;
    auto block = Clock::now();
    for (long k = 1; k <= n; ++k) {
        const auto reply = client.send(kOurPort, ts::kGreeting) ? client.receive() : std::nullopt;
        if (!reply || reply->bytes != std::to_string(k) + '\0')
            break;
        registered = k;
        if (k % kScaleBlock == 0 || k == n) {
            rates.push_back(static_cast<double>((k - 1) % kScaleBlock + 1) / seconds_since(block));
            block = Clock::now();
        }
    }
    std::this_thread::sleep_for(Ms{1000});
    const auto after = memory_kib();

    const std::vector<pid_t> chain = ts::family(server.pid());
    std::size_t most_fds = 0;
    for (pid_t pid : chain) {
        std::error_code ignored;
        const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
        most_fds = std::max<std::size_t>(most_fds, static_cast<std::size_t>(std::distance(fds, {})));
    }
    // Handlers 1 and N, and a sample between.
    std::mt19937 gen(5);
    std::vector<long> sample = {1, registered};
    for (int i = 0; i < 300 && registered > 0; ++i)
        sample.push_back(1 + static_cast<long>(gen() % static_cast<unsigned long>(registered)));
    std::vector<double> kib;
    int echoed = 0;
    for (long k : sample) {
        if (static_cast<std::size_t>(k) <= chain.size())
            kib.push_back(private_kib(chain[static_cast<std::size_t>(k - 1)]));
        const auto port = static_cast<std::uint16_t>(kOurPort + k);
        const auto echo = client.send(port, "ping") ? client.receive() : std::nullopt;
        echoed += echo && echo->bytes == "ping" && echo->port == port;
    }
    // Past the last handler port, registration ends as at a port it cannot bind.
    std::string beyond;
    if (registered == kLastClient) {
        const bool answered = client.send(kOurPort, ts::kGreeting) && client.receive(Ms{1000});
        const auto status = ts::zombie_status(chain.back());
        beyond = std::string(answered ? "answered" : "not answered") + ", exit status " +
                 (status ? std::to_string(*status) : "?");
    }
    server.stop();

    utsname host{};
    uname(&host);
    std::printf("tolpan-server at scale: %ld clients one after another, descriptor limit 1024%s\n", n,
                isolated ? ", in a private network namespace" : ", on the host's loopback");
    std::printf("machine: %u cores, %.1f GiB, Linux %s\n", std::thread::hardware_concurrency(),
                static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
                    (1024.0 * 1024 * 1024),
                host.release);
    std::printf("memory warmed first: %.1f GiB touched and freed in %.1f s\n",
                static_cast<double>(warm_bytes) / (1024.0 * 1024 * 1024), warm_seconds);
    std::printf("registrations/s per block of %ld:", kScaleBlock);
    for (double r : rates)
        std::printf(" %.0f", r);
    std::printf("\n%-44s %10s  %s\n", "measure", "value", "target");
    auto row = [](const char* label, double value, const char* target) {
        std::printf("%-44s %10.2f  %s\n", label, value, target);
    };
    row("clients registered", static_cast<double>(registered), "all, none refused");
    if (rates.size() >= 6) {
        const double first = (rates[0] + rates[1] + rates[2]) / 3;
        const double last = (rates[rates.size() - 1] + rates[rates.size() - 2] + rates[rates.size() - 3]) / 3;
        row("registrations/s, first three blocks", first, "");
        row("registrations/s, last three blocks", last, "");
        row("  last / first", last / first, ">= 0.85");
    }
    const double handlers = static_cast<double>(std::max(registered, 1L));
    row("machine memory per handler, KiB", (before.first - after.first) / handlers, "<= 100");
    row("kernel memory per handler, KiB", (after.second - before.second) / handlers, "");
    row("handler private memory, KiB (median)", median(kib), "");
    row("most descriptors in one process", static_cast<double>(most_fds), "<= 8");
    std::printf("%-44s %4d of %zu  every one\n", "echoes from handlers 1, N and a sample", echoed,
                sample.size());
    if (!beyond.empty())
        std::printf("%-44s %s\n", "greeting for client 55536", beyond.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool scaled = argc > 1 && std::string(argv[1]) == "--scale";
    const int first = scaled ? 2 : 1;
    char* end = nullptr;
    const long count = argc > first ? std::strtol(argv[first], &end, 10) : scaled ? 30000 : 9;
    const long most = scaled ? kLastClient : 1000;
    if (argc > first + 1 || count < 1 || count > most || (end != nullptr && *end != '\0')) {
        std::fputs("usage: tolpan-bench [ROUNDS] | tolpan-bench --scale [CLIENTS]\n", stderr);
        return 2;
    }
    const bool isolated = ts::enter_private_network();
    ts::guard_children();
    // The server's output goes to a file of its own, removed at the end.
    char dir[] = "/tmp/tolpan-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::string log = std::string(dir) + "/server.log";
    const int status = scaled ? scale(count, isolated, log) : compare(count, isolated, log);
    std::remove(log.c_str());
    rmdir(dir);
    return status;
}
