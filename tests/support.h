// SPDX-License-Identifier: ISC
// Runs the built programs as child processes and talks to them over UDP on
// the loopback address. Every wait is bounded: a fault fails, never hangs.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ts {

using Lines = std::vector<std::string>;
using Ms = std::chrono::milliseconds;

// The longest a test waits for anything that should come, long enough for
// a loaded machine; the client's greeting; the largest UDP payload over IPv4.
inline constexpr Ms kWait{10000};
inline const std::string kGreeting("Eloo\n\0\0\0", 8);
inline constexpr std::size_t kMaxDatagram = 65507;

// Moves this process into a network namespace of its own with loopback up,
// so fixed ports never meet a server that a user runs, and a mount
// namespace whose /tmp is a tmpfs of its own, gone with the run: as root,
// or else as root of a user namespace. False, with the host's network and
// /tmp in place, where the machine allows neither. real_root: whether this
// process is root on the host, as switching users or unmounting /proc needs.
bool enter_private_network();
bool private_network();
bool real_root();

// Makes this process the reaper of orphaned descendants, and its end,
// however it comes, kill every program still running.
void guard_children();

// Commands that run the built programs, under the command in
// $TOLPAN_SERVER_WRAPPER or $TOLPAN_CLIENT_WRAPPER (such as valgrind); the
// command run by a shell script, in which "$@" stands for it; a script that
// runs "$@" under strace with the faults given, which counts the calls of
// each name in each process from its start.
std::vector<std::string> server_command();
std::vector<std::string> client_command();
bool client_wrapped();
std::vector<std::string> in_shell(std::vector<std::string> command, const std::string& script);
std::string with_faults(const std::string& injections);

// Checks a property of RapidCheck over `cases` cases (a quarter of them
// under a wrapper). A failure names the smallest case found and its seed.
void sweep(const char* name, int cases, const std::function<void()>& property);

// A copy of the program at path, in a new folder of the name given in one
// of this run's own that anyone may read, gone at its end; "" if none.
std::string copy_of(const std::string& path, const std::string& folder = "bin");

// What a program's standard input or output may be, and whether it is
// non-blocking from the start or made so later by another holder of it.
enum class Kind { Pipe, Socket, Terminal, Master, File, Packets };
enum class Blocking { Yes, AtStart, Later };
struct Stream {
    Kind kind = Kind::Pipe;
    Blocking blocking = Blocking::Yes;
};
std::string describe(Stream stream);

// A program in a process group of its own, started with the signals given
// blocked: SIGPIPE unless told otherwise, the hardest start it can meet.
class Program {
   public:
    explicit Program(std::vector<std::string> command, Stream out = {}, Stream in = {},
                     const std::vector<int>& blocked = {SIGPIPE});
    ~Program();  // kills the whole group and reaps every process of it
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of output without its newline, nullopt at end or
    // timeout; up to n next lines, fewer when output ends or stalls.
    std::optional<std::string> line(Ms wait = kWait);
    Lines lines(std::size_t n, Ms wait = kWait);
    bool write(const std::string& text) const;
    void close_input();   // on a terminal, its end-of-file character
    void close_output();  // the reader goes away
    // Makes the streams started Blocking::Later non-blocking, as another
    // process holding them may; whether those not started blocking still
    // are; writes through a non-blocking output until it is full, as
    // another holder may, and returns what was written.
    void make_nonblocking();
    bool still_nonblocking() const;
    std::string fill_output() const;
    // The leader's exit status, as a shell shows it; nullopt if it runs on.
    std::optional<int> wait_exit(Ms wait = kWait) const;
    // Kills the group, reaps it and returns whatever output was left.
    std::string stop();
    // To Kind::Packets: whether every write held whole lines, a page at most.
    bool wrote_whole_lines() const { return whole_lines_; }

   private:
    bool read_more(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    Stream in_stream_;
    Stream out_stream_;
    int held_[2] = {-1, -1};  // the program's non-blocking ends, as another process holds them
    bool whole_lines_ = true;
    std::string pending_;
};

struct Datagram {
    std::string bytes;
    std::uint16_t port;
};

// A UDP socket bound to the given port (0: any free port) of 127.0.0.1, or
// of another address given in host order.
class Udp {
   public:
    explicit Udp(std::uint16_t port = 0, in_addr_t address = INADDR_LOOPBACK);  // ok(): bound
    ~Udp();
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    bool ok() const { return fd_ != -1; }
    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }
    bool send(std::uint16_t to_port, const std::string& bytes, in_addr_t to = INADDR_LOOPBACK) const;
    std::optional<Datagram> receive(Ms wait = kWait) const;

   private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The programs' lines: the server's first; registering client n from a
// greeting of `got` bytes; an echo of n bytes on port; the client's up to its
// first prompt, after a reply of text with number n from port; a refusal of
// word; the SIGPIPE notice of process pid.
extern const Lines kServerStart;
Lines registered(int n, std::size_t got);
Lines echoed(std::uint16_t port, std::size_t n);
Lines client_started(const std::string& text, long n, std::uint16_t port);
inline std::string refused(const std::string& program, const std::string& word) {
    return program + ": nieprawidłowy argument „" + word + "”; zobacz: " + program + " --help";
}
std::string notice(pid_t pid);
Lines split(const std::string& text, char end = '\n');
// Random bytes, the same in every run.
std::string random_bytes(std::size_t n);

// Polls cond until it holds; false if it still does not after wait. Waits
// until the process sleeps, as in a blocking receive or read. Whether pid
// and its descendants spend no CPU for 100 ms: a spinning loop burns a
// tick each 10 ms.
bool eventually(const std::function<bool()>& cond, Ms wait = kWait);
bool sleeping(pid_t pid, Ms wait = kWait);
bool idle(pid_t pid);

// What /proc tells of a process: a file of its own, whole; its children,
// itself and all its descendants (each parent first), its one child once
// it has forked, its exit status once it has ended and nobody waits for it
// (as a shell shows it), whether it holds SIGPIPE, how many descriptors it
// holds.
std::string proc(pid_t pid, const std::string& file);
std::vector<pid_t> children(pid_t pid);
std::vector<pid_t> family(pid_t pid);
pid_t only_child(pid_t pid);
std::optional<int> zombie_status(pid_t pid, Ms wait = kWait);
bool sigpipe_held(pid_t pid);
std::size_t open_descriptors(pid_t pid);

}  // namespace ts
