// SPDX-License-Identifier: ISC
#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <net/if.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <utility>

namespace ts {

namespace {

using Clock = std::chrono::steady_clock;

bool in_private_network = false;
// Groups of programs still running, so that an interrupted run kills them too.
volatile sig_atomic_t live_groups[64];

void track_group(pid_t from, pid_t to) {
    for (auto& g : live_groups)
        if (g == from) {
            g = to;
            return;
        }
}

void kill_live_groups(int sig) {
    for (auto& g : live_groups)
        if (g > 0)
            killpg(g, SIGKILL);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Waits until fd is readable; false on timeout.
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

// A pseudo-terminal that passes every byte as it is: out[0] its reading end.
bool open_terminal(int out[2]) {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&out[0], &out[1], nullptr, &raw, nullptr) == -1)
        return false;
    (void)fcntl(out[0], F_SETFD, FD_CLOEXEC);
    (void)fcntl(out[1], F_SETFD, FD_CLOEXEC);
    return true;
}

}  // namespace

sockaddr_in loopback(std::uint16_t port, in_addr_t address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

// Brings this namespace's loopback interface up.
static bool loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

// Writes text to a file of /proc, whole.
bool write_proc(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    const bool whole = fd != -1 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd != -1)
        close(fd);
    return whole;
}

bool enter_private_network() {
    const std::string uid = std::to_string(geteuid());
    const std::string gid = std::to_string(getegid());
    // Else root in a user namespace, so that the programs it runs keep its
    // rights there.
    constexpr int kSpaces = CLONE_NEWNET | CLONE_NEWNS;
    const bool entered = unshare(kSpaces) == 0 || (unshare(CLONE_NEWUSER | kSpaces) == 0 &&
                                                   write_proc("/proc/self/setgroups", "deny") &&
                                                   write_proc("/proc/self/uid_map", "0 " + uid + " 1") &&
                                                   write_proc("/proc/self/gid_map", "0 " + gid + " 1"));
    // Whatever the run leaves in /tmp, valgrind's files and the programs'
    // copies among them, goes with the last process of the namespace.
    if (entered && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        (void)mount("tolpan-tests", "/tmp", "tmpfs", 0, "mode=1777");
    in_private_network = entered && loopback_up();
    return in_private_network;
}
bool private_network() { return in_private_network; }

bool real_root() {
    // Outside every user namespace, root is root of all the ids.
    std::ifstream map("/proc/self/uid_map");
    std::string inside;
    std::string outside;
    std::string count;
    map >> inside >> outside >> count;
    return geteuid() == 0 && outside == "0" && count == "4294967295";
}

std::optional<std::uint16_t> taken_port() {
    for (std::uint16_t port = 10000; port <= 10300; ++port)
        if (!Udp(port).ok())
            return port;
    for (const std::uint16_t port : {std::uint16_t{9000}, std::uint16_t{65535}})
        if (!Udp(port).ok())
            return port;
    return std::nullopt;
}

void guard_children() {
    // What this process inherited is not the programs' to hold.
    (void)close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
    signal(SIGINT, kill_live_groups);
    signal(SIGTERM, kill_live_groups);
}

// The program, under the command that the environment variable holds, if any.
static std::vector<std::string> wrapped(const char* variable, const char* program) {
    const char* words = std::getenv(variable);
    std::istringstream wrapper(words != nullptr ? words : "");
    std::vector<std::string> command{std::istream_iterator<std::string>(wrapper), {}};
    command.emplace_back(program);
    return command;
}

std::vector<std::string> server_command() { return wrapped("TOLPAN_SERVER_WRAPPER", TOLPAN_SERVER); }
std::vector<std::string> client_command() { return wrapped("TOLPAN_CLIENT_WRAPPER", TOLPAN_CLIENT); }

std::vector<std::string> in_shell(std::vector<std::string> command, const std::string& script) {
    command.insert(command.begin(), {"/bin/sh", "-c", script, "sh"});
    return command;
}

std::string with_faults(const std::string& injections) {
    return "ASAN_OPTIONS=detect_leaks=0 exec strace -f -qq -o /dev/null " + injections + " \"$@\"";
}

ProgramCopy::ProgramCopy(const std::string& path) {
    char dir[] = "/tmp/tolpan-test-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return;
    dir_ = dir;
    const std::string copy = dir_ + path.substr(path.rfind('/'));
    std::error_code failed;
    std::filesystem::copy_file(path, copy, failed);  // with the file's mode
    if (!failed && chmod(dir, 0755) == 0)
        path_ = copy;
}

ProgramCopy::~ProgramCopy() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

Program::Program(std::vector<std::string> command, const std::string& input_path,
                 const std::string& output_path, unsigned start) {
    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    const bool terminal = output_path == kTerminal;
    packets_ = output_path == kPackets;
    if ((output_path.empty() && pipe2(out, O_CLOEXEC) == -1) || (terminal && !open_terminal(out)) ||
        (packets_ && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, out) == -1) ||
        (input_path.empty() && pipe2(in, O_CLOEXEC) == -1))
        return;
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (auto& word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        // A group of its own: the test can then kill every process it forks.
        setpgid(0, 0);
        // Opened close-on-exec: only the standard descriptors go on.
        dup2(input_path.empty() ? in[0] : open(input_path.c_str(), O_RDONLY | O_CLOEXEC), STDIN_FILENO);
        dup2(output_path.empty() || terminal || packets_
                 ? out[1]
                 : open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
             STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        sigprocmask((start & kOrdinary) != 0 ? SIG_UNBLOCK : SIG_BLOCK, &pipe_signal, nullptr);
        if ((start & kNonBlockingInput) != 0)
            fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
        if ((start & kNonBlockingOutput) != 0)
            fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
    track_group(0, pid_);
    close_fd(out[1]);
    out_ = out[0];
    close_fd(in[0]);
    in_ = in[1];
}

Program::~Program() {
    stop();
    close_fd(in_);
    close_fd(out_);
}

bool Program::read_more(Clock::time_point deadline) {
    if (out_ == -1 || !readable(out_, deadline))
        return false;
    char buf[65536];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) {
        close_fd(out_);  // end of output
        return false;
    }
    // A packet is one write.
    if (packets_ && (buf[n - 1] != '\n' || n > 4096))
        whole_lines_ = false;
    pending_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> Program::line(Ms wait) {
    const auto deadline = Clock::now() + wait;
    std::size_t nl;
    while ((nl = pending_.find('\n')) == std::string::npos)
        if (!read_more(deadline))
            return std::nullopt;
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    return line;
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

void Program::close_input() { close_fd(in_); }
void Program::close_output() { close_fd(out_); }

std::optional<int> Program::wait_exit(Ms wait) const {
    int status = 0;
    if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, wait))
        return std::nullopt;
    return shown_status(status);
}

std::optional<int> zombie_status(pid_t pid, Ms wait) {
    if (!eventually([&] { return stat_field(pid, 3) == "Z"; }, wait))
        return std::nullopt;
    return shown_status(std::stoi(stat_field(pid, 52)));
}

std::string Program::stop() {
    if (pid_ <= 0)
        return "";
    killpg(pid_, SIGKILL);
    track_group(pid_, 0);
    // Orphans of the group are this process's children too (the subreaper),
    // so this ends only when no process of the group is left.
    while (waitpid(-pid_, nullptr, 0) > 0 || errno == EINTR) {
    }
    pid_ = -1;
    const auto deadline = Clock::now() + kWait;
    while (read_more(deadline)) {
    }
    return std::exchange(pending_, "");
}

Udp::Udp(std::uint16_t port, in_addr_t address) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a = loopback(port, address);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == -1 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == -1)
        close_fd(fd_);
    port_ = ntohs(a.sin_port);
}

Udp::~Udp() { close_fd(fd_); }

bool Udp::send(std::uint16_t to_port, const std::string& bytes, in_addr_t to_address) const {
    const sockaddr_in to = loopback(to_port, to_address);
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

bool eventually(const std::function<bool()>& cond, Ms wait) {
    for (const auto deadline = Clock::now() + wait; !cond(); std::this_thread::sleep_for(Ms{2}))
        if (Clock::now() >= deadline)
            return false;
    return true;
}

bool sleeping(pid_t pid) {
    return eventually([&] { return stat_field(pid, 3) == "S"; });
}

std::string notice(pid_t pid) { return "pojawil sie sygnal SIGPIPE !!! (pid==" + std::to_string(pid) + ")"; }

std::vector<pid_t> children(pid_t pid) {
    const std::string p = std::to_string(pid);
    std::ifstream in("/proc/" + p + "/task/" + p + "/children");
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

bool sigpipe_held(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigBlk:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (SIGPIPE - 1) & 1) != 0;
    return false;
}

std::size_t open_descriptors(pid_t pid) {
    std::error_code gone;
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", gone);
    return static_cast<std::size_t>(std::distance(fds, {}));
}

Lines words_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    Lines words;
    for (std::string word; std::getline(in, word, '\0');)
        words.push_back(word);
    return words;
}

Lines udp_addresses() {
    std::ifstream udp("/proc/self/net/udp");
    Lines addresses;
    std::string line;
    std::getline(udp, line);  // the heading
    for (std::string slot, local; udp >> slot >> local && std::getline(udp, line);)
        addresses.push_back(local.substr(0, local.find(':')));
    return addresses;
}

std::string stat_field(pid_t pid, int field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat{std::istreambuf_iterator<char>(in), {}};
    // The command name (field 2) may hold spaces: count from its closing ')'.
    std::istringstream rest(stat.substr(std::min(stat.rfind(')'), stat.size() - 1) + 1));
    std::string value;
    for (int i = 3; i <= field && rest >> value; ++i) {
    }
    return rest && field >= 3 ? value : "";
}

}  // namespace ts
