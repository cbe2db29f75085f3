// SPDX-License-Identifier: ISC
// Runs the built programs as child processes and talks to them over UDP on
// the loopback address. Every wait is bounded, so a fault fails a test
// instead of hanging it.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ts {

using Lines = std::vector<std::string>;
using Ms = std::chrono::milliseconds;

// The longest a test waits for anything that should come.
inline constexpr Ms kWait{5000};

// The client's greeting, and the largest UDP payload over IPv4.
inline const std::string kGreeting("Eloo\n\0\0\0", 8);
inline constexpr std::size_t kMaxDatagram = 65507;

// Moves this process into a network namespace of its own with loopback up,
// so fixed ports never meet a server that a user runs, and a mount
// namespace with a /tmp of its own: as root directly, otherwise inside a
// user namespace, as its root. Returns false, with the host's network and
// /tmp left in place, where the machine allows neither.
bool enter_private_network();
// Whether enter_private_network succeeded: only then may a test change the
// network.
bool private_network();
// Whether this process is root on the host, as switching to another user or
// unmounting /proc needs: not so in a user namespace.
bool real_root();
// The first of the ports that the tests use (9000, 10000 to 10300, 65535)
// that is taken on 127.0.0.1, if any.
std::optional<std::uint16_t> taken_port();

// Makes this process the reaper of orphaned descendants, so a test can wait
// for every process that a server forked, makes an interrupt or a
// termination kill every program still running, and keeps the descriptors
// that this process inherited from the programs it starts.
void guard_children();

// Commands that run the built programs, under the command in
// $TOLPAN_SERVER_WRAPPER or $TOLPAN_CLIENT_WRAPPER (such as valgrind) when
// that is set.
std::vector<std::string> server_command();
std::vector<std::string> client_command();
// The command run by a shell script, in which "$@" stands for it, such as
// 'ulimit -n 64 && exec "$@" >&-'.
std::vector<std::string> in_shell(std::vector<std::string> command, const std::string& script);

// A script for in_shell that runs "$@" under strace with the faults given,
// such as "-e inject=recvfrom:error=EIO:when=1". LeakSanitizer cannot run
// under ptrace, so a sanitized program looks for no leaks there.
std::string with_faults(const std::string& injections);

// The faults that the tests inject. strace counts the calls of each name in
// each process from its start, so each count assumes the calls before it:
// - The server's first process, with one client that greets and then sends
//   datagrams one at a time: recvfrom 1 finds nothing yet, 2 takes the
//   greeting, and sendto 1 sends the reply; as the client's handler,
//   recvfrom 3 finds nothing yet, and 4 takes the first datagram when
//   nothing fails, which sendto 2 echoes.
// - The client: sendto 1 sends the greeting, recvfrom 1 is its first try
//   for the reply; then each line is a sendto, each try for its echo a
//   recvfrom.
// The reply and the first echo fail; the handler's first two receives
// fail, and the fourth wait says that a datagram has come when none has.
inline const std::string kServerCallsFail =
    "-e inject=sendto:error=EIO:when=1..2 -e inject=recvfrom:error=EIO:when=3..4 -e "
    "inject=ppoll:retval=1:when=4";
// The handler's receive after its first echo is held up for 2 s.
inline const std::string kServerSlowAfterEcho = "-e inject=recvfrom:delay_enter=2000000:when=5";
// The client's wait for its first line (its second ppoll, after the one
// for the reply, when no SIGPIPE cuts that short) says a line has come when
// none has.
inline const std::string kInputTakenFirst = "-e inject=ppoll:retval=1:when=2";
// The reply and the first echo cannot be received, the first line cannot be
// sent.
inline const std::string kClientCallsFail =
    "-e inject=recvfrom:error=EIO:when=1..2 -e inject=sendto:error=EIO:when=2";

// As output_path of a Program: a pseudo-terminal, read back raw; or a
// socket that keeps each write a packet of its own.
inline const std::string kTerminal = "/dev/ptmx";
inline const std::string kPackets = "packets";

// A copy of the program at path, in a directory of its own that anyone may
// read, so that a test may replace or remove it, or run it as another user.
// The directory goes with it.
class ProgramCopy {
   public:
    explicit ProgramCopy(const std::string& path);
    ~ProgramCopy();
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;

    const std::string& path() const { return path_; }  // "" if it could not be made

   private:
    std::string dir_;
    std::string path_;
};

// How a Program may start besides: with SIGPIPE let through, as an ordinary
// start does, and with its standard input or output non-blocking.
inline constexpr unsigned kOrdinary = 1;
inline constexpr unsigned kNonBlockingInput = 2;
inline constexpr unsigned kNonBlockingOutput = 4;

// A program in a process group of its own, started with SIGPIPE blocked
// (the hardest start it can meet) unless `start` says otherwise. Its
// standard input and output are pipes, unless input_path names a file to
// read or output_path one to write.
class Program {
   public:
    explicit Program(std::vector<std::string> command, const std::string& input_path = "",
                     const std::string& output_path = "", unsigned start = 0);
    ~Program();  // kills the whole group and reaps every process of it
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of output without its newline; nullopt at end or timeout.
    std::optional<std::string> line(Ms wait = kWait);
    // Up to n next lines; fewer when output ends or stalls.
    Lines lines(std::size_t n, Ms wait = kWait);
    bool write(const std::string& text) const;
    void close_input();
    void close_output();  // the reader goes away
    // The leader's exit status, as a shell shows it; nullopt if it runs on.
    std::optional<int> wait_exit(Ms wait = kWait) const;
    // Kills the group, reaps it and returns whatever output was left.
    std::string stop();
    // To kPackets: whether every write so far held whole lines, a page at most.
    bool wrote_whole_lines() const { return whole_lines_; }

   private:
    // Reads what output there is by the deadline; false if none came.
    bool read_more(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool packets_ = false;
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

// a, then b.
template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The line with which program refuses an argument, word.
inline std::string refused(const std::string& program, const std::string& word) {
    return program + ": nieprawidłowy argument „" + word + "”; zobacz: " + program + " --help";
}

// Polls cond until it holds; false if it still does not after wait.
bool eventually(const std::function<bool()>& cond, Ms wait = kWait);

// Waits until the process sleeps, as it does in a blocking receive or read.
bool sleeping(pid_t pid);

// The line that the SIGPIPE notice of process pid prints.
std::string notice(pid_t pid);

// The address of port on 127.0.0.1, or on another address given in host order.
sockaddr_in loopback(std::uint16_t port, in_addr_t address = INADDR_LOOPBACK);

// Direct children of a process.
std::vector<pid_t> children(pid_t pid);
// The process and all its descendants, each parent before its children.
std::vector<pid_t> family(pid_t pid);
// The exit status of pid, as a shell shows it, once it has ended and nobody
// waits for it; nullopt if it runs on.
std::optional<int> zombie_status(pid_t pid, Ms wait = kWait);
// Whether process pid holds SIGPIPE blocked.
bool sigpipe_held(pid_t pid);
// How many descriptors process pid holds.
std::size_t open_descriptors(pid_t pid);
// The words of process pid's command line.
Lines words_of(pid_t pid);
// The local addresses of the UDP sockets of this network namespace, as
// /proc/net/udp gives them: 00000000 is every address.
Lines udp_addresses();
// One field of /proc/PID/stat, counted from 1 as proc(5) does; "" if gone.
std::string stat_field(pid_t pid, int field);

}  // namespace ts
