// SPDX-License-Identifier: ISC
#include "support.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

namespace ts {

namespace {

using Clock = std::chrono::steady_clock;

bool in_private_network = false;
// Groups of programs still running; shared with the watcher once it runs.
constexpr std::size_t kGroups = 64;
pid_t own_groups[kGroups];
pid_t* live_groups = own_groups;

void track_group(pid_t from, pid_t to) {
    if (pid_t* g = std::find(live_groups, live_groups + kGroups, from); g != live_groups + kGroups)
        *g = to;
}

bool readable(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) == 1;
}
void close_fd(int& fd) {
    if (fd != -1)
        close(fd);
    fd = -1;
}
// The exit status, or 128 and the signal that ended the process.
int shown_status(int raw) { return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw); }
bool write_file(const char* path, const std::string& text) {
    std::ofstream file(path);
    return static_cast<bool>(file << text << std::flush);
}
sockaddr_in address_of(std::uint16_t port, in_addr_t address) {
    return {AF_INET, htons(port), {htonl(address)}, {}};
}

// A tmpfs over /tmp, so that whatever the run leaves there goes with its
// last process. A build folder under /tmp is bound back in place, and a
// $TMPDIR there, as pam_tmpdir gives, is made anew.
void private_tmp() {
    char build[PATH_MAX];
    char tmp[PATH_MAX];
    if (realpath(TOLPAN_BUILD_DIR, build) == nullptr || realpath("/tmp", tmp) == nullptr)
        return;
    const int keep = open(build, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (keep != -1 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tolpan-tests", tmp, "tmpfs", 0, "mode=1777") == 0) {
        std::error_code failed;
        if (std::string(build).rfind(std::string(tmp) + "/", 0) == 0 &&
            std::filesystem::create_directories(build, failed))
            (void)mount(("/proc/self/fd/" + std::to_string(keep)).c_str(), build, nullptr, MS_BIND | MS_REC,
                        nullptr);
        if (const char* dir = std::getenv("TMPDIR"); dir != nullptr && *dir != '\0')
            std::filesystem::create_directories(dir, failed);
    }
    close(keep);
}

// A new name in a folder of this run's own in /tmp, whatever $TMPDIR says,
// which anyone may read and which goes at its end.
std::string scratch_name() {
    static const struct Folder {
        std::string path = "/tmp/tolpan-tests-XXXXXX";
        Folder() { (void)(mkdtemp(path.data()) != nullptr && chmod(path.c_str(), 0755) == 0); }
        ~Folder() {
            std::error_code left;
            std::filesystem::remove_all(path, left);
        }
    } folder;
    static int made = 0;
    return folder.path + "/" + std::to_string(++made);
}

// The two ends of a stream of kind.
bool open_kind(Kind kind, bool input, int ends[2]) {
    int fds[2] = {-1, -1};  // a pipe's read and write ends, a terminal's master and slave
    termios mode{};
    cfmakeraw(&mode);
    mode.c_lflag |= input ? ICANON : 0;
    const std::string name = scratch_name();
    switch (kind) {
        case Kind::Pipe:
            if (pipe2(fds, O_CLOEXEC) != 0)
                return false;
            ends[0] = fds[input ? 0 : 1];
            ends[1] = fds[input ? 1 : 0];
            return true;
        case Kind::Socket:
        case Kind::Packets:
            return socketpair(AF_UNIX, (kind == Kind::Socket ? SOCK_STREAM : SOCK_SEQPACKET) | SOCK_CLOEXEC,
                              0, ends) == 0;
        case Kind::Terminal:
        case Kind::Master:
            if (openpty(&fds[0], &fds[1], nullptr, &mode, nullptr) != 0)
                return false;
            ends[0] = fds[kind == Kind::Terminal ? 1 : 0];  // the slave, or the master
            ends[1] = fds[kind == Kind::Terminal ? 0 : 1];
            return fcntl(ends[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(ends[1], F_SETFD, FD_CLOEXEC) == 0;
        case Kind::File:
            ends[0] = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            ends[1] = open(name.c_str(), O_RDONLY | O_CLOEXEC);
            unlink(name.c_str());
            return ends[0] != -1 && ends[1] != -1;
    }
    return false;
}

// A stream of kind between a program and this process: ends[0] the
// program's, ends[1] this one's. Terminals pass every byte as it is, but
// one that the program reads takes whole lines, and ^D for their end.
// Output holds a page or a few writes: a program not read soon waits.
bool open_stream(Kind kind, bool input, int ends[2]) {
    if (!open_kind(kind, input, ends))
        return false;
    const int least = 1;
    if (!input && kind != Kind::Packets)
        (void)(kind == Kind::Socket ? setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &least, sizeof least)
                                    : fcntl(ends[0], F_SETPIPE_SZ, 4096));
    return true;
}

}  // namespace

bool enter_private_network() {
    // Else root in a user namespace, so that the programs it runs keep its
    // rights there.
    const std::string uid = "0 " + std::to_string(geteuid()) + " 1";
    const std::string gid = "0 " + std::to_string(getegid()) + " 1";
    constexpr int kSpaces = CLONE_NEWNET | CLONE_NEWNS;
    const bool entered =
        unshare(kSpaces) == 0 ||
        (unshare(CLONE_NEWUSER | kSpaces) == 0 && write_file("/proc/self/setgroups", "deny") &&
         write_file("/proc/self/uid_map", uid) && write_file("/proc/self/gid_map", gid));
    if (entered)
        private_tmp();
    in_private_network = entered && std::system("ip link set lo up") == 0;  // NOLINT(cert-env33-c)
    return in_private_network;
}
bool private_network() { return in_private_network; }

bool real_root() {
    // Outside every user namespace, root is root of all the ids.
    std::ifstream map("/proc/self/uid_map");
    std::string ids[3];
    map >> ids[0] >> ids[1] >> ids[2];
    return geteuid() == 0 && ids[1] == "0" && ids[2] == "4294967295";
}

void guard_children() {
    // What this process inherited is not the programs' to hold.
    (void)close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
    // However this process ends (killed, crashed, stopped by a sanitizer),
    // the watcher's pipe closes, and the programs, which never hold it, go.
    void* shared =
        mmap(nullptr, sizeof own_groups, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int alive[2];
    if (shared == MAP_FAILED || pipe2(alive, O_CLOEXEC) != 0)
        return;
    live_groups = static_cast<pid_t*>(shared);
    if (fork() == 0) {
        setpgid(0, 0);
        close(alive[1]);
        if (char end = 0; read(alive[0], &end, 1) != 1)  // nothing is written: it ends with this process
            for (std::size_t i = 0; i < kGroups; ++i)
                if (live_groups[i] > 0)
                    killpg(live_groups[i], SIGKILL);
        _exit(0);
    }
    close(alive[0]);
}

static std::vector<std::string> wrapped(const char* variable, const char* program) {
    const char* words = std::getenv(variable);
    std::istringstream wrapper(words != nullptr ? words : "");
    std::vector<std::string> command{std::istream_iterator<std::string>(wrapper), {}};
    command.emplace_back(program);
    return command;
}
std::vector<std::string> server_command() { return wrapped("TOLPAN_SERVER_WRAPPER", TOLPAN_SERVER); }
std::vector<std::string> client_command() { return wrapped("TOLPAN_CLIENT_WRAPPER", TOLPAN_CLIENT); }
bool client_wrapped() { return std::getenv("TOLPAN_CLIENT_WRAPPER") != nullptr; }

std::vector<std::string> in_shell(std::vector<std::string> command, const std::string& script) {
    command.insert(command.begin(), {"/bin/sh", "-c", script, "sh"});
    return command;
}
// LeakSanitizer cannot run under ptrace.
std::string with_faults(const std::string& injections) {
    return "ASAN_OPTIONS=detect_leaks=0 exec strace -f -qq -o /dev/null " + injections + " \"$@\"";
}

std::string copy_of(const std::string& path, const std::string& folder) {
    const std::string copy = scratch_name() + "/" + folder + path.substr(path.rfind('/'));
    std::error_code failed;
    std::filesystem::create_directories(copy.substr(0, copy.rfind('/')), failed);
    std::filesystem::copy_file(path, copy, failed);  // with the file's mode
    return failed ? "" : copy;
}

std::string describe(Stream stream) {
    static const char* const kinds[] = {"pipe", "stream socket", "terminal", "terminal master",
                                        "file", "packets"};
    static const char* const states[] = {"blocking", "non-blocking at start", "made non-blocking later"};
    return std::string(kinds[static_cast<int>(stream.kind)]) + ", " +
           states[static_cast<int>(stream.blocking)];
}

Program::Program(std::vector<std::string> command, Stream out, Stream in, const std::vector<int>& blocked)
    : in_stream_(in), out_stream_(out) {
    int outs[2] = {-1, -1};
    int ins[2] = {-1, -1};
    if (!open_stream(out.kind, false, outs) || !open_stream(in.kind, true, ins))
        return;
    const Stream streams[] = {in, out};
    int* program_ends[] = {&ins[0], &outs[0]};
    for (int i = 0; i < 2; ++i) {
        if (streams[i].blocking == Blocking::AtStart)
            (void)fcntl(*program_ends[i], F_SETFL, O_NONBLOCK);
        if (streams[i].blocking != Blocking::Yes)
            held_[i] = fcntl(*program_ends[i], F_DUPFD_CLOEXEC, 0);
    }
    std::vector<char*> argv(command.size() + 1);
    for (std::size_t i = 0; i < command.size(); ++i)
        argv[i] = command[i].data();

    pid_ = fork();
    if (pid_ == 0) {
        // A group of its own: the test can then kill every process it forks.
        setpgid(0, 0);
        dup2(ins[0], STDIN_FILENO);
        dup2(outs[0], STDOUT_FILENO);
        dup2(outs[0], STDERR_FILENO);  // every line that it prints, in order
        signal(SIGPIPE, SIG_DFL);
        sigset_t mask;
        sigemptyset(&mask);
        for (const int sig : blocked)
            sigaddset(&mask, sig);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
    track_group(0, pid_);
    close_fd(outs[0]);
    close_fd(ins[0]);
    out_ = outs[1];
    in_ = ins[1];
}

Program::~Program() {
    stop();
    close_fd(in_);
}

bool Program::read_more(Clock::time_point deadline) {
    while (out_ != -1 && readable(out_, deadline)) {
        char buf[65536];
        const ssize_t n = read(out_, buf, sizeof buf);
        // A file has no end while the program may write.
        if (n == 0 && out_stream_.kind == Kind::File && Clock::now() < deadline) {
            std::this_thread::sleep_for(Ms{2});
            continue;
        }
        if (n <= 0) {
            close_fd(out_);  // end of output
            return false;
        }
        // A packet is one write.
        whole_lines_ =
            whole_lines_ && (out_stream_.kind != Kind::Packets || (buf[n - 1] == '\n' && n <= 4096));
        pending_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    return false;
}

std::optional<std::string> Program::line(Ms wait) {
    const auto deadline = Clock::now() + wait;
    std::size_t nl;
    while ((nl = pending_.find('\n')) == std::string::npos)
        if (!read_more(deadline))
            return std::nullopt;
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    // A sanitizer's warning, on standard error too, is not the program's.
    return line.rfind("==", 0) == 0 && line.find("==WARNING: ") != std::string::npos ? this->line(wait)
                                                                                     : line;
}

Lines Program::lines(std::size_t n, Ms wait) {
    Lines got;
    for (std::optional<std::string> l; got.size() < n && (l = line(wait));)
        got.push_back(*l);
    return got;
}
bool Program::write(const std::string& text) const {
    return in_ != -1 && ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}
void Program::close_input() {
    if (in_stream_.kind == Kind::Terminal)
        (void)write("\x04");
    else
        close_fd(in_);
}
void Program::close_output() { close_fd(out_); }

void Program::make_nonblocking() {
    const Stream streams[] = {in_stream_, out_stream_};
    for (int i = 0; i < 2; ++i)
        if (streams[i].blocking == Blocking::Later)
            (void)fcntl(held_[i], F_SETFL, fcntl(held_[i], F_GETFL) | O_NONBLOCK);
}

bool Program::still_nonblocking() const {
    return std::all_of(std::begin(held_), std::end(held_),
                       [](int fd) { return fd == -1 || (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; });
}

std::string Program::fill_output() const {
    std::string written;
    for (ssize_t n = 0;
         held_[1] != -1 && out_stream_.kind != Kind::File && (n = ::write(held_[1], "filler\n", 7)) > 0;)
        written.append("filler\n", static_cast<std::size_t>(n));
    return written;
}

std::optional<int> Program::wait_exit(Ms wait) const {
    int status = 0;
    if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, wait))
        return std::nullopt;
    return shown_status(status);
}

std::string Program::stop() {
    for (int& fd : held_)
        close_fd(fd);
    if (pid_ <= 0)
        return "";
    killpg(pid_, SIGKILL);
    track_group(pid_, 0);
    // Orphans of the group are this process's children too (the subreaper),
    // so this ends only when no process of the group is left.
    while (waitpid(-pid_, nullptr, 0) > 0 || errno == EINTR) {
    }
    pid_ = -1;
    const auto deadline = Clock::now() + (out_stream_.kind == Kind::File ? Ms{0} : kWait);
    while (read_more(deadline)) {
    }
    close_fd(out_);
    return std::exchange(pending_, "");
}

Udp::Udp(std::uint16_t port, in_addr_t address) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a = address_of(port, address);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == -1 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == -1)
        close_fd(fd_);
    port_ = ntohs(a.sin_port);
}

Udp::~Udp() { close_fd(fd_); }
bool Udp::send(std::uint16_t to_port, const std::string& bytes, in_addr_t to_address) const {
    const sockaddr_in to = address_of(to_port, to_address);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<Datagram> Udp::receive(Ms wait) const {
    if (!readable(fd_, Clock::now() + wait))
        return std::nullopt;
    static char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n == -1)
        return std::nullopt;
    return Datagram{std::string(buf, static_cast<std::size_t>(n)), ntohs(from.sin_port)};
}

const Lines kServerStart = {"Program TOLPAN - SERWER zaczyna działanie", "serwer: bind()=0",
                            "Oczekuję na klientów...", "Port serwera: 10000"};

Lines registered(int n, std::size_t got) {
    const std::string num = std::to_string(n);
    return {"serwer: recvfrom(...)=" + std::to_string(got),
            "Bufor z nr klienta: " + num,
            "Port obslugi klienta: " + std::to_string(10000 + n),
            "obsluga klienta: sendto(...)=" + std::to_string(num.size() + 1),
            "obsluga_klienta " + num + ": bind()=0",
            "Oczekuję na klienta..."};
}

Lines echoed(std::uint16_t port, std::size_t n) {
    const std::string head = "obsługa klienta " + std::to_string(port);
    return {head + ": recvfrom(...)=" + std::to_string(n), head + ": sendto(...)=" + std::to_string(n)};
}

Lines client_started(const std::string& text, long n, std::uint16_t port) {
    return Lines{"Program TOLPAN - KLIENT zaczyna działanie", "klient: bind()=0", "próba połączenia",
                 "Połączono"} +
           split("Otrzymana wiadomość: " + text + "\n") +
           Lines{"Nr klienta odebrany w wiadomości: " + std::to_string(n),
                 "Rzeczywisty port OK: " + std::to_string(port), "Wpisz coś"};
}

Lines split(const std::string& text, char end) {
    Lines lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l, end);)
        lines.push_back(l);
    return lines;
}

std::string notice(pid_t pid) { return "pojawil sie sygnal SIGPIPE !!! (pid==" + std::to_string(pid) + ")"; }
std::string random_bytes(std::size_t n) {
    static std::mt19937 gen(7);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

bool eventually(const std::function<bool()>& cond, Ms wait) {
    for (const auto deadline = Clock::now() + wait; !cond(); std::this_thread::sleep_for(Ms{2}))
        if (Clock::now() >= deadline)
            return false;
    return true;
}

// One field of a process's stat, counted from 1; "" if it has gone.
static std::string stat_field(pid_t pid, int field) {
    const std::string stat = proc(pid, "stat");
    // The command name (field 2) may hold spaces: count from its closing ')'.
    std::istringstream rest(stat.substr(std::min(stat.rfind(')'), stat.size() - 1) + 1));
    std::string value;
    for (int i = 3; i <= field && rest >> value; ++i) {
    }
    return rest && field >= 3 ? value : "";
}

bool sleeping(pid_t pid, Ms wait) {
    return eventually([&] { return stat_field(pid, 3) == "S"; }, wait);
}

bool idle(pid_t pid) {
    auto ticks = [pid] {
        long sum = 0;
        for (pid_t p : family(pid))
            sum += std::strtol(stat_field(p, 14).c_str(), nullptr, 10) +
                   std::strtol(stat_field(p, 15).c_str(), nullptr, 10);
        return sum;
    };
    const long before = ticks();
    std::this_thread::sleep_for(Ms{100});
    return ticks() - before <= 1;
}

std::string proc(pid_t pid, const std::string& file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<pid_t> children(pid_t pid) {
    std::istringstream in(proc(pid, "task/" + std::to_string(pid) + "/children"));
    return {std::istream_iterator<pid_t>(in), {}};
}

std::vector<pid_t> family(pid_t pid) {
    // Breadth first, without recursion: a chain may be tens of thousands deep.
    std::vector<pid_t> all{pid};
    for (std::size_t i = 0; i < all.size(); ++i)
        for (pid_t child : children(all[i]))
            all.push_back(child);
    return all;
}

pid_t only_child(pid_t pid) {
    std::vector<pid_t> kids;
    return eventually([&] { return (kids = children(pid)).size() == 1; }) ? kids[0] : -1;
}

std::optional<int> zombie_status(pid_t pid, Ms wait) {
    if (!eventually([&] { return stat_field(pid, 3) == "Z"; }, wait))
        return std::nullopt;
    return shown_status(std::stoi(stat_field(pid, 52)));
}

bool sigpipe_held(pid_t pid) {
    const std::string status = proc(pid, "status");
    const auto blocked = status.find("SigBlk:");
    return blocked != std::string::npos &&
           (std::stoull(status.substr(blocked + 7), nullptr, 16) >> (SIGPIPE - 1) & 1) != 0;
}

std::size_t open_descriptors(pid_t pid) {
    std::error_code gone;
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", gone);
    return static_cast<std::size_t>(std::distance(fds, {}));
}

}  // namespace ts
