// SPDX-License-Identifier: ISC
// tolpan-bench [ROUNDS]: tolpan-server against the bare reference, in
// alternating rounds (compare.cpp).
// tolpan-bench --scale [CLIENTS]: clients registered one after another
// (scale.cpp).

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "bench.h"
#include "protocol.h"
#include "support.h"

namespace bench {

void fail(const char* call) {
    std::fprintf(stderr, "tolpan-bench: %s: %s\n", call, std::strerror(errno));
    std::exit(1);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

std::vector<std::string> writing_to(const std::string& log, std::vector<std::string> command) {
    return ts::in_shell(std::move(command), "exec \"$@\" </dev/null >'" + log + "'");
}

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

bool server_bound(const std::string& log) {
    std::string text;
    ts::eventually([&] {
        std::ostringstream read;
        read << std::ifstream(log).rdbuf();
        text = read.str();
        return text.find("Port serwera:") != std::string::npos;
    });
    if (text.find("serwer: bind()=0\n") != std::string::npos)
        return true;
    std::fputs("tolpan-bench: tolpan-server could not take UDP port 10000 (is another server running?)\n",
               stderr);
    return false;
}

}  // namespace bench

int main(int argc, char** argv) {
    // A mode, then a count: rounds by default, clients one after another, or
    // greetings at once.
    const std::string mode = argc > 1 && argv[1][0] == '-' ? argv[1] : "";
    const int first = mode.empty() ? 1 : 2;
    char* end = nullptr;
    const long count = argc > first        ? std::strtol(argv[first], &end, 10)
                       : mode.empty()      ? 9
                       : mode == "--scale" ? 30000
                                           : 10000;
    const long most = mode.empty() ? 1000 : tolpan::kLastClient;
    if ((!mode.empty() && mode != "--scale" && mode != "--burst") || argc > first + 1 || count < 1 ||
        count > most || (end != nullptr && *end != '\0')) {
        std::fputs(
            "usage: tolpan-bench [ROUNDS] | tolpan-bench --scale [CLIENTS] | tolpan-bench --burst "
            "[GREETINGS]\n",
            stderr);
        return 2;
    }
    const bool isolated = ts::enter_private_network();
    ts::guard_children();
    // The server's output goes to a file of its own, removed at the end.
    char dir[] = "/tmp/tolpan-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        bench::fail("mkdtemp");
    const std::string log = std::string(dir) + "/server.log";
    const int status = mode == "--scale"   ? bench::scale(count, isolated, log)
                       : mode == "--burst" ? bench::burst(count, isolated, log)
                                           : bench::compare(count, isolated, log);
    std::remove(log.c_str());
    rmdir(dir);
    return status;
}
