// SPDX-License-Identifier: ISC
#include "io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

std::size_t room() { return sizeof output.lines - output.used; }

// Waits until standard output can take a write, with SIGPIPE held so that
// no notice comes between the pieces of a line. select, as poll refuses to
// wait under a descriptor limit of none. False if no wait can be made.
bool output_ready() {
    fd_set out;
    FD_ZERO(&out);
    FD_SET(STDOUT_FILENO, &out);
    return select(STDOUT_FILENO + 1, nullptr, &out, nullptr, nullptr) == 1;
}

// Writes text to standard output, going on from where each write stops and
// waiting while it cannot go. Returns how much went: less than len once a
// write fails, with errno, so that a reader that has gone costs one write.
// Async-signal-safe.
std::size_t write_out(const char* text, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = write(STDOUT_FILENO, text + done, len - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || (errno != EINTR && (errno != EAGAIN || !output_ready())))
            break;
    }
    return done;
}

// Takes back the start of a line that a failed write left at the end of a
// file, as a full disk does, and returns how much of text went: the line is
// then kept whole, and no line, of this process or another, is written
// onto its end. Async-signal-safe.
std::size_t take_back(const char* text, std::size_t done) {
    std::size_t cut = 0;
    while (cut < done && text[done - cut - 1] != '\n')
        ++cut;
    struct stat file {};
    const off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    if (cut == 0 || end == -1 || fstat(STDOUT_FILENO, &file) == -1 || file.st_size != end ||
        ftruncate(STDOUT_FILENO, end - static_cast<off_t>(cut)) == -1)
        return done;
    (void)lseek(STDOUT_FILENO, end - static_cast<off_t>(cut), SEEK_SET);
    return done - cut;
}

// Adds text behind the lines, sending them first if it does not fit. False,
// with nothing added, while what the output refused leaves no room.
bool add(const char* text, std::size_t len) {
    if (len > room())
        (void)flush_output();
    if (len > room())
        return false;
    std::memcpy(output.lines + output.used, text, len);
    output.used += len;
    return true;
}

// Adds text a page at a time, sending each; false once the output refuses.
bool add_pages(const char* text, std::size_t len) {
    while (len != 0) {
        if (room() == 0 && !flush_output())
            return false;
        const std::size_t n = std::min(len, room());
        std::memcpy(output.lines + output.used, text, n);
        output.used += n;
        text += n;
        len -= n;
    }
    return true;
}

}  // namespace

// Formats the line by hand: printf is not async-signal-safe. It runs only
// while the process waits, when nothing else touches the lines.
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

    // Behind the lines that the output has refused so far, if any: never
    // inside one.
    (void)add(line, len);
    if (!flush_output() && errno == EPIPE) {
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
    // Into the page behind the lines, or, if it does not fit, once they
    // have gone. Every such print of the programs is shorter than a page.
    int len = std::vsnprintf(output.lines + output.used, room(), format, args);
    if (len >= 0 && static_cast<std::size_t>(len) >= room()) {
        (void)flush_output();
        len = std::vsnprintf(output.lines + output.used, room(), format, again);
    }
    if (len >= 0 && static_cast<std::size_t>(len) < room())
        output.used += static_cast<std::size_t>(len);
    va_end(again);
    va_end(args);
    if (line_by_line)
        (void)flush_output();
}

void print_text(const char* format, const char* text) {
    const char* hole = std::strstr(format, "%s");
    const std::size_t lens[] = {static_cast<std::size_t>(hole - format), std::strlen(text),
                                std::strlen(hole + 2)};
    // Behind the lines if it fits, as a print; otherwise once they have
    // gone, a page at a time if it is longer. What the output refuses of
    // such a line cannot all be kept: the line ends there.
    if (lens[0] + lens[1] + lens[2] > room())
        (void)flush_output();
    if (lens[0] + lens[1] + lens[2] <= room() || output.used == 0) {
        const char* parts[] = {format, text, hole + 2};
        bool whole = true;
        for (int i = 0; i < 3 && whole; ++i)
            whole = add_pages(parts[i], lens[i]);
        if (!whole)
            output.lines[room() != 0 ? output.used++ : output.used - 1] = '\n';
    }
    if (line_by_line)
        (void)flush_output();
}

void print_line(const char* line) { print("%s\n", line); }

bool flush_output() {
    const std::size_t len = output.used;
    std::size_t done = write_out(output.lines, len);
    const int failure = errno;
    if (done != len)
        done = take_back(output.lines, done);
    // What the output refused is kept, but not for a pipe or socket whose
    // reader has gone: it takes nothing ever again, and each try would
    // raise SIGPIPE anew.
    output.used = done == len || failure == EPIPE ? 0 : len - done;
    std::memmove(output.lines, output.lines + done, output.used);
    errno = failure;
    return done == len;
}

void forget_output() { output.used = 0; }

bool wait_for(int fd, short events) {
    if (events != POLLIN)
        (void)flush_output();
    pollfd ready{fd, events, 0};
    const int n = ppoll(&ready, 1, nullptr, &wait_mask);
    // A wait that cannot be made at all, as under a descriptor limit of
    // none, waits for a signal alone rather than return at once.
    if (n == -1 && errno != EINTR)
        (void)sigsuspend(&wait_mask);
    return n == 1;
}

void pause_after_failure(int sock) {
    (void)flush_output();
    (void)wait_for(sock, POLLIN);
}

void begin_wait() { (void)sigprocmask(SIG_SETMASK, &wait_mask, nullptr); }
void end_wait() { (void)sigprocmask(SIG_SETMASK, &work_mask, nullptr); }

void set_nonblocking(int sock) { (void)fcntl(sock, F_SETFL, O_NONBLOCK); }

const char* failure_name(int failure) {
    const char* name = strerrorname_np(failure);
    return name != nullptr ? name : "?";
}

ssize_t receive(int sock, char* buf, std::size_t len, Endpoint& from) {
    (void)flush_output();
    return when_ready(sock, POLLIN, [&] {
        from.len = sizeof from.addr;
        return recvfrom(sock, buf, len, 0, as_sockaddr(from), &from.len);
    });
}

// A socket may be ready and still have no port to send from.
ssize_t send_to(int sock, const char* buf, std::size_t len, const Endpoint& to) {
    return when_ready(sock, POLLOUT, [&] { return sendto(sock, buf, len, 0, as_sockaddr(to), to.len); });
}

}  // namespace tolpan
