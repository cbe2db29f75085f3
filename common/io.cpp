// SPDX-License-Identifier: ISC
#include "io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tolpan {

namespace {

struct sigaction notice_action;
struct sigaction ignore_action;
// SIGPIPE is blocked in work_mask and let through in wait_mask.
sigset_t work_mask;
sigset_t wait_mask;

// The lines and their count, in a page of their own: every process writes
// it, so each copies just that one page. No larger than PIPE_BUF, so that
// one write of the lines is never split on a pipe.
struct alignas(4096) Output {
    char lines[4096 - sizeof(std::size_t)];
    std::size_t used;
} output;
// On a terminal each print goes out at once.
bool line_by_line = false;

// Waits until standard output can take a write, with SIGPIPE held so that
// no notice comes between the pieces of a line. select, as poll refuses to
// wait under a descriptor limit of none. False if no wait can be made.
bool output_ready() {
    fd_set out;
    FD_ZERO(&out);
    FD_SET(STDOUT_FILENO, &out);
    return select(STDOUT_FILENO + 1, nullptr, &out, nullptr, nullptr) == 1;
}

// Writes text whole to standard output, going on from where each write
// stops and waiting while it cannot go. Returns false, with errno, once a
// write fails: a reader that has gone costs one write. Async-signal-safe.
bool write_out(const char* text, std::size_t len) {
    while (len != 0) {
        const ssize_t n = write(STDOUT_FILENO, text, len);
        if (n > 0) {
            text += n;
            len -= static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EINTR && (errno != EAGAIN || !output_ready()))) {
            return false;
        }
    }
    return true;
}

// A print that does not fit behind the lines before it: they go first, and
// a text longer than the buffer goes out from a block of its own.
void print_long(std::size_t len, const char* format, va_list args) {
    (void)flush_output();
    if (len < sizeof output.lines) {
        output.used =
            static_cast<std::size_t>(std::vsnprintf(output.lines, sizeof output.lines, format, args));
        return;
    }
    char* text = nullptr;
    const int made = vasprintf(&text, format, args);
    if (made != -1)
        (void)write_out(text, static_cast<std::size_t>(made));
    std::free(text);
}

}  // namespace

// Formats the line by hand: printf is not async-signal-safe. It runs only
// while the process waits, when no line of its own is half written.
void ObsSygnalu(int /*signal*/) {
    static constexpr char kHead[] = "pojawil sie sygnal SIGPIPE !!! (pid==";
    const int saved_errno = errno;
    char line[sizeof kHead + 24];
    std::size_t len = sizeof kHead - 1;
    std::memcpy(line, kHead, len);

    char digits[20];
    std::size_t n = 0;
    for (auto pid = static_cast<unsigned long>(getpid()); n == 0 || pid != 0; pid /= 10)
        digits[n++] = static_cast<char>('0' + pid % 10);
    while (n != 0)
        line[len++] = digits[--n];
    line[len++] = ')';
    line[len++] = '\n';

    if (!write_out(line, len) && errno == EPIPE) {
        // The write raised SIGPIPE, held pending while this handler runs; it
        // would run the handler again at once, for ever. Ignoring the signal
        // discards the pending one, then the notice goes back in place.
        (void)sigaction(SIGPIPE, &ignore_action, nullptr);
        (void)sigaction(SIGPIPE, &notice_action, nullptr);
    }
    errno = saved_errno;
}

void start_up(const char* banner) {
    // A closed standard descriptor would go to the first socket, and lines
    // or input would then pass through that socket: /dev/null takes it.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1)
            (void)open("/dev/null", O_RDWR);
    line_by_line = isatty(STDOUT_FILENO) == 1;
    // Whatever ends the process, through exit or main's return.
    (void)std::atexit([] { (void)flush_output(); });

    // SA_RESTART: a receive or read that the signal interrupts carries on.
    notice_action.sa_handler = ObsSygnalu;
    notice_action.sa_flags = SA_RESTART;
    sigemptyset(&notice_action.sa_mask);
    ignore_action.sa_handler = SIG_IGN;
    sigemptyset(&ignore_action.sa_mask);
    // Cannot fail: the signal and the actions are valid.
    (void)sigaction(SIGPIPE, &notice_action, nullptr);

    // Held while the process works, the signal cannot cut a write short, so
    // the notice never lands inside a line, nor another process's write
    // between the pieces of a line. The other signals stay as inherited.
    (void)sigprocmask(SIG_BLOCK, nullptr, &work_mask);
    wait_mask = work_mask;
    (void)sigaddset(&work_mask, SIGPIPE);
    (void)sigdelset(&wait_mask, SIGPIPE);
    (void)sigprocmask(SIG_SETMASK, &work_mask, nullptr);
    if (banner != nullptr)
        print_line(banner);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): the system's own printf formats, checked by the compiler
void print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const std::size_t room = sizeof output.lines - output.used;
    const int len = std::vsnprintf(output.lines + output.used, room, format, args);
    if (len >= 0 && static_cast<std::size_t>(len) < room)
        output.used += static_cast<std::size_t>(len);
    else if (len >= 0)
        print_long(static_cast<std::size_t>(len), format, again);
    va_end(again);
    va_end(args);
    if (line_by_line)
        (void)flush_output();
}

void print_line(const char* line) { print("%s\n", line); }

bool flush_output() {
    const bool all = write_out(output.lines, output.used);
    output.used = 0;
    return all;
}

bool wait_for(int fd, short events) {
    (void)flush_output();
    pollfd ready{fd, events, 0};
    const int n = ppoll(&ready, 1, nullptr, &wait_mask);
    // A wait that cannot be made at all, as under a descriptor limit of
    // none, waits for a signal alone rather than return at once.
    if (n == -1 && errno != EINTR)
        (void)sigsuspend(&wait_mask);
    return n == 1;
}

void pause_after_failure(int sock) { (void)wait_for(sock, POLLIN); }

void begin_wait() { (void)sigprocmask(SIG_SETMASK, &wait_mask, nullptr); }
void end_wait() { (void)sigprocmask(SIG_SETMASK, &work_mask, nullptr); }

void set_nonblocking(int sock) { (void)fcntl(sock, F_SETFL, O_NONBLOCK); }

ssize_t receive(int sock, char* buf, std::size_t len, Endpoint& from) {
    return when_ready(sock, POLLIN, false, [&] {
        from.len = sizeof from.addr;
        return recvfrom(sock, buf, len, 0, as_sockaddr(from), &from.len);
    });
}

// A socket may be ready and still have no port to send from.
ssize_t send_to(int sock, const char* buf, std::size_t len, const Endpoint& to) {
    return when_ready(sock, POLLOUT, false,
                      [&] { return sendto(sock, buf, len, 0, as_sockaddr(to), to.len); });
}

}  // namespace tolpan
