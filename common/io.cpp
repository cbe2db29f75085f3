// SPDX-License-Identifier: ISC
#include "io.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace tolpan {

namespace {

struct sigaction notice_action;
struct sigaction ignore_action;
// SIGPIPE is blocked in work_mask and let through in wait_mask.
sigset_t work_mask;
sigset_t wait_mask;

// A page of its own: every process writes it, so each copies just that one
// page. No larger than PIPE_BUF, so that one write of it is never split on
// a pipe.
alignas(4096) char output_buffer[4096];
// Room for what one step prints: a registration's six lines, or an echo's
// two.
constexpr std::size_t kStepOutputMax = 512;

// Standard output of a pipe or terminal that another process has made
// non-blocking would drop the lines that find it full. It is opened anew
// for this program, blocking, and the shared one left as it was; not a
// terminal's master side, which would open another terminal.
void open_own_output() {
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    struct stat out {};
    unsigned int master = 0;
    if (flags == -1 || (flags & O_NONBLOCK) == 0 || fstat(STDOUT_FILENO, &out) == -1 ||
        !(S_ISFIFO(out.st_mode) || (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGPTN, &master) == -1)))
        return;
    // Non-blocking here, so that a pipe without reader refuses at once.
    const int own = open("/proc/self/fd/1", O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (own == -1)
        return;
    if (fcntl(own, F_SETFL, flags & ~O_NONBLOCK) != -1)
        (void)dup2(own, STDOUT_FILENO);
    (void)close(own);
}

}  // namespace

// Formats the line by hand and writes it in one write: stdio is not
// async-signal-safe. It runs only while the process waits, when no line of
// its own is half written.
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

    if (write(STDOUT_FILENO, line, len) == -1 && errno == EPIPE) {
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

    open_own_output();
    // A terminal shows each line as it is made; a pipe or a file takes a
    // burst of lines in one write.
    std::setvbuf(stdout, output_buffer, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, sizeof output_buffer);
    // One thread: stdout needs no lock, and taking it dirties a page that
    // every forked process would otherwise copy.
    __fsetlocking(stdout, FSETLOCKING_BYCALLER);
    if (banner != nullptr)
        std::puts(banner);

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
}

void flush_output() { std::fflush(stdout); }

bool wait_for(int fd, short events) {
    flush_output();
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
    if (__fpending(stdout) > sizeof output_buffer - kStepOutputMax)
        flush_output();
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
