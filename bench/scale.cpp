// SPDX-License-Identifier: ISC
// Clients registered with tolpan-server one after another, with the
// descriptor limit at 1,024: the rate per block of 1,000, the memory per
// handler, the descriptors per process, and echoes from a sample of
// handlers.

#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "protocol.h"
#include "support.h"

namespace bench {

namespace {

using ts::Ms;

// The run's own socket: a fixed port below every port of the server.
constexpr std::uint16_t kClientPort = 9999;
constexpr long kBlock = 1000;
// Process ids beyond the clients' own: the machine's other processes.
constexpr long kPidMargin = 1000;
// What a client may cost the machine, and what a run touches for each
// before it starts; never more than kMemoryShare of the memory available.
constexpr double kClientKib = 100;
constexpr double kWarmKib = 160;
constexpr double kMemoryShare = 0.75;
constexpr double kKibPerGib = 1024.0 * 1024;

struct Memory {
    double available = 0;  // MemAvailable, KiB
    double kernel = 0;     // Slab + KernelStack + PageTables, KiB
};

struct Run {
    long registered = 0;
    std::vector<double> rates;  // registrations per second, per block
    Memory before;
    Memory after;
    double warmed_gib = 0;
    double warm_seconds = 0;
    std::vector<double> handler_kib;  // private memory of the sampled handlers
    std::size_t most_descriptors = 0;
    int echoed = 0;
    std::size_t sampled = 0;
    std::string beyond;  // what became of the greeting past the last port
};

Memory memory_kib() {
    std::ifstream in("/proc/meminfo");
    Memory m;
    for (std::string key; in >> key;) {
        double value = 0;
        in >> value;
        if (key == "MemAvailable:")
            m.available = value;
        else if (key == "Slab:" || key == "KernelStack:" || key == "PageTables:")
            m.kernel += value;
        in.ignore(64, '\n');
    }
    return m;
}

// The memory once the processes of earlier runs have been freed: steady to
// within 1 MiB over half a second, or after a minute.
Memory settled_memory_kib() {
    Memory last = memory_kib();
    for (int i = 0; i < 120; ++i) {
        std::this_thread::sleep_for(Ms{500});
        const Memory now = memory_kib();
        if (std::abs(now.available - last.available) < 1024)
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
        fail("mmap");
    for (std::size_t i = 0; i < bytes; i += 4096)
        static_cast<volatile char*>(block)[i] = 1;
    munmap(block, bytes);
    return seconds_since(start);
}

Run measure(long n, double warm_kib, const std::string& log) {
    Run run;
    run.warmed_gib = warm_kib / kKibPerGib;
    run.warm_seconds = warm_memory(static_cast<std::size_t>(warm_kib * 1024));
    run.before = settled_memory_kib();
    ts::Program server(ts::in_shell(writing_to(log, ts::server_command()), "ulimit -n 1024 && exec \"$@\""));
    if (!server_bound(log))
        std::exit(1);

    ts::Udp client(kClientPort);
    if (!client.ok())
        fail("bind of port 9999");
    auto block = Clock::now();
    for (long k = 1; k <= n; ++k) {
        const auto reply =
            client.send(tolpan::kRegistrationPort, ts::kGreeting) ? client.receive() : std::nullopt;
        if (!reply || reply->bytes != std::to_string(k) + '\0')
            break;
        run.registered = k;
        if (k % kBlock == 0 || k == n) {
            run.rates.push_back(static_cast<double>((k - 1) % kBlock + 1) / seconds_since(block));
            block = Clock::now();
        }
    }
    std::this_thread::sleep_for(Ms{1000});
    run.after = memory_kib();

    const std::vector<pid_t> chain = ts::family(server.pid());
    for (pid_t pid : chain)
        run.most_descriptors = std::max(run.most_descriptors, ts::open_descriptors(pid));
    // Handlers 1 and N, and a sample between.
    std::mt19937 gen(5);
    std::vector<long> sample = {1, run.registered};
    for (int i = 0; i < 300 && run.registered > 0; ++i)
        sample.push_back(1 + static_cast<long>(gen() % static_cast<unsigned long>(run.registered)));
    run.sampled = sample.size();
    for (long k : sample) {
        if (static_cast<std::size_t>(k) <= chain.size())
            run.handler_kib.push_back(private_kib(chain[static_cast<std::size_t>(k - 1)]));
        const auto port = static_cast<std::uint16_t>(tolpan::kRegistrationPort + k);
        const auto echo = client.send(port, "ping") ? client.receive() : std::nullopt;
        run.echoed += echo && echo->bytes == "ping" && echo->port == port;
    }
    // Past the last handler port, registration ends as at a port it cannot bind.
    if (run.registered == tolpan::kLastClient) {
        const bool answered =
            client.send(tolpan::kRegistrationPort, ts::kGreeting) && client.receive(Ms{1000});
        const auto status = ts::zombie_status(chain.back());
        run.beyond = std::string(answered ? "answered" : "not answered") + ", exit status " +
                     (status ? std::to_string(*status) : "?");
    }
    return run;
}

void report(long n, bool isolated, const Run& run) {
    utsname host{};
    uname(&host);
    std::printf("tolpan-server at scale: %ld clients one after another, descriptor limit 1024%s\n", n,
                isolated ? ", in a private network namespace" : ", on the host's loopback");
    std::printf("machine: %u cores, %.1f GiB, Linux %s\n", std::thread::hardware_concurrency(),
                static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
                    (kKibPerGib * 1024),
                host.release);
    std::printf(
        "memory warmed first: %.1f GiB touched and freed in %.1f s (at most %.0f%% of what is available)\n",
        run.warmed_gib, run.warm_seconds, kMemoryShare * 100);
    std::printf("registrations/s per block of %ld:", kBlock);
    for (double r : run.rates)
        std::printf(" %.0f", r);
    std::printf("\n%-44s %10s  %s\n", "measure", "value", "target");
    auto row = [](const char* label, double value, const char* target) {
        std::printf("%-44s %10.2f  %s\n", label, value, target);
    };
    row("clients registered", static_cast<double>(run.registered), "all, none refused");
    const auto& rates = run.rates;
    if (rates.size() >= 6) {
        const double first = (rates[0] + rates[1] + rates[2]) / 3;
        const double last = (rates[rates.size() - 1] + rates[rates.size() - 2] + rates[rates.size() - 3]) / 3;
        row("registrations/s, first three blocks", first, "");
        row("registrations/s, last three blocks", last, "");
        row("  last / first", last / first, ">= 0.85");
    }
    const double handlers = static_cast<double>(std::max(run.registered, 1L));
    row("machine memory per handler, KiB", (run.before.available - run.after.available) / handlers, "<= 100");
    row("kernel memory per handler, KiB", (run.after.kernel - run.before.kernel) / handlers, "");
    row("handler private memory, KiB (median)", median(run.handler_kib), "");
    row("most descriptors in one process", static_cast<double>(run.most_descriptors), "<= 8");
    std::printf("%-44s %4d of %zu  every one\n", "echoes from handlers 1, N and a sample", run.echoed,
                run.sampled);
    if (!run.beyond.empty())
        std::printf("%-44s %s\n", "greeting for client 55536", run.beyond.c_str());
}

long number_file(const std::string& path) {
    long n = 0;
    std::ifstream(path) >> n;
    return n;
}

}  // namespace

int scale(long n, bool isolated, const std::string& log) {
    if (n + kPidMargin > number_file("/proc/sys/kernel/pid_max")) {
        std::fprintf(stderr,
                     "%ld clients need kernel.pid_max of at least %ld (scripts/bench.sh raises it as root)\n",
                     n, n + kPidMargin);
        return 1;
    }
    const double available = memory_kib().available * kMemoryShare;
    if (static_cast<double>(n) * kClientKib > available) {
        std::fprintf(stderr,
                     "%ld clients need about %.1f GiB, more than the %.1f GiB (%.0f%% of what is available) "
                     "that a run may take\n",
                     n, static_cast<double>(n) * kClientKib / kKibPerGib, available / kKibPerGib,
                     kMemoryShare * 100);
        return 1;
    }
    const Run run = measure(n, std::min(static_cast<double>(n) * kWarmKib, available), log);
    report(n, isolated, run);
    return 0;
}

}  // namespace bench
