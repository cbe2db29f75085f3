// SPDX-License-Identifier: ISC
// What the benchmark's two modes, and the bare reference, share.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// tolpan-bare registers on this port and serves client N on the port N
// above it, as tolpan-server does from 10000.
inline constexpr std::uint16_t kBarePort = 20000;

// Ends the benchmark when a call of its own fails, naming it.
[[noreturn]] void fail(const char* call);

double seconds_since(Clock::time_point start);
double percentile(std::vector<double> v, double p);
double median(std::vector<double> v);

// The command with no input and its output to log.
std::vector<std::string> writing_to(const std::string& log, std::vector<std::string> command);

// Private memory of a process, Private_Clean + Private_Dirty, in KiB.
double private_kib(pid_t pid);

// Waits until the server writing to log has tried its port; whether it
// bound it, so that nothing greets a server that the benchmark did not
// start.
bool server_bound(const std::string& log);

// The modes; each returns the benchmark's exit status.
int compare(long rounds, bool isolated, const std::string& log);
int scale(long n, bool isolated, const std::string& log);
int burst(long n, bool isolated, const std::string& log);

}  // namespace bench
