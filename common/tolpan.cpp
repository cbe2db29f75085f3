#include "tolpan.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace tolpan {

Endpoint make_endpoint(in_addr_t address, std::uint16_t port) {
    Endpoint e{};
    e.addr.sin_family = AF_INET;
    e.addr.sin_addr.s_addr = htonl(address);
    e.addr.sin_port = htons(port);
    e.len = sizeof e.addr;
    return e;
}

std::uint16_t handler_port(std::int32_t client) {
    return static_cast<std::uint16_t>(kRegistrationPort + static_cast<std::uint32_t>(client));
}

namespace {

struct sigaction notice_action;
struct sigaction ignore_action;

// Lines wait here until the process is about to wait or fork. A page of its
// own: every process writes it, so each copies just that one page.
alignas(4096) char output_buffer[4096];
// More than one step prints: a registration's six lines, or an echo's two.
constexpr std::size_t kStepOutputMax = 512;

}  // namespace

// Formats the line by hand and writes it at once: stdio is not
// async-signal-safe, and a single write cannot split a line that stdio is
// writing at this moment.
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

    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    // One thread: stdout needs no lock, and taking it dirties a page that
    // every forked process would otherwise copy.
    __fsetlocking(stdout, FSETLOCKING_BYCALLER);
    std::puts(banner);

    // SA_RESTART: a receive or read that the signal interrupts carries on.
    notice_action.sa_handler = ObsSygnalu;
    notice_action.sa_flags = SA_RESTART;
    sigemptyset(&notice_action.sa_mask);
    ignore_action.sa_handler = SIG_IGN;
    sigemptyset(&ignore_action.sa_mask);
    // Cannot fail: the signal and the actions are valid.
    (void)sigaction(SIGPIPE, &notice_action, nullptr);
}

void flush_output() { std::fflush(stdout); }

void flush_before_receive(int sock) {
    pollfd waiting{sock, POLLIN, 0};
    if (poll(&waiting, 1, 0) != 1 || __fpending(stdout) > sizeof output_buffer - kStepOutputMax)
        flush_output();
}

}  // namespace tolpan
