// SPDX-License-Identifier: ISC
// Linux links each forked process's memory to that of every living
// ancestor, so in a chain of forks both the time of a fork and the kernel
// memory of each new process grow with the generations before it: a server
// that never restarts fell to about 25 registrations a second by client
// 3,000. Each link costs a handler about 160 bytes per generation since the
// last fresh image, while a fresh image shares no pages with a parent and
// begins a new chain. Measured on 2 cores, machine memory per handler at
// 30,000 clients: 86 KiB with a fresh image every 8 registrations, 89 every
// 16, 95 every 32, 94 every 64, 105 every 128; the first 3,000 registered
// at the same speed every 16, 32 or 64, and about a tenth slower every 8.

#include "restart.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io.h"

// The program's entry point, where the C library's start-up code begins.
extern "C" void _start();  // NOLINT(bugprone-reserved-identifier)

namespace tolpan {

namespace {

// The words that carry a registration service across a fresh start of its
// image: the flag, then the next client number, the registration socket,
// the process id and the process name.
constexpr char kResumeFlag[] = "--resume-registration";
constexpr int kResumeArgs = 6;

// The decimal number, digits alone, that the whole of text holds, if it
// lies in [lo, hi]: no sign, space or other base, which a restart never
// writes.
bool parse_number(const char* text, long lo, long hi, long& n) {
    char* end = nullptr;
    errno = 0;
    n = std::strtol(text, &end, 10);
    return std::isdigit(static_cast<unsigned char>(*text)) && *end == '\0' && errno == 0 && n >= lo &&
           n <= hi;
}

// Whether the system started this very program: the entry point that it
// handed over at exec is this program's own. A dynamic program run by hand
// through its ELF interpreter finds its entry there too, put in place by
// the interpreter, but no interpreter's base beside it, which the system
// gives every program that names one; /proc/self/exe then names the
// interpreter. The C library holds the values: no /proc, which a program
// that its user may run but not read cannot read there.
bool started_by_system() {
    if (getauxval(AT_ENTRY) != reinterpret_cast<std::uintptr_t>(&_start))
        return false;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the system hands it over as a number
    const auto* headers = reinterpret_cast<const ElfW(Phdr)*>(getauxval(AT_PHDR));
    bool interpreted = false;
    for (std::size_t i = 0; i < getauxval(AT_PHNUM); ++i)
        interpreted = interpreted || headers[i].p_type == PT_INTERP;
    return !interpreted || getauxval(AT_BASE) != 0;
}

// Whether exec would kill this process, as a seccomp filter may: a child
// makes the same call with flags that the kernel refuses, and is seen to
// die of it. An emulator that takes the call all the same starts an image
// that refuses a resume with another process's id, here without a word.
// Without a filter, as the kernel says, no child is needed.
bool exec_kills(int exe, char* const args[]) {
    if (prctl(PR_GET_SECCOMP) == 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        (void)close(STDOUT_FILENO);
        (void)close(STDERR_FILENO);
        (void)execveat(exe, "", args, environ, -1);
        _exit(0);
    }
    int status = 0;
    return child != -1 && waitpid(child, &status, 0) == child && WIFSIGNALED(status);
}

// Says once, on standard error, why the image cannot start afresh; returns
// whether a later try may succeed where this failure passes.
bool cannot_restart(const char* why, int failure) {
    static bool said = false;
    if (!said)
        std::fprintf(stderr,
                     "tolpan-server: nie można uruchomić programu od nowa (%s%s%s); każdy kolejny klient "
                     "kosztuje więcej, zobacz: man tolpan-server\n",
                     why, failure != 0 ? ": " : "", failure != 0 ? failure_name(failure) : "");
    said = true;
    switch (failure) {
        case ENOMEM:
        case EAGAIN:
        case EMFILE:
        case ENFILE:
        case ETXTBSY:
        case EINTR:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::optional<Registration> resumed_registration(int argc, char** argv, std::uint16_t port) {
    long next = 0;
    long fd = 0;
    long pid = 0;
    if (argc != kResumeArgs || std::strcmp(argv[1], kResumeFlag) != 0 ||
        !parse_number(argv[2], kFirstClient, kLastClient + 1L, next) ||
        !parse_number(argv[3], 0, 1L << 30, fd) || !parse_number(argv[4], 1, 1L << 30, pid) ||
        pid != getpid())
        return std::nullopt;
    // What the restart hands over: a datagram socket of UDP over IPv4 on
    // 127.0.0.1 and the port.
    const int sock = static_cast<int>(fd);
    Endpoint bound{};
    bound.len = sizeof bound.addr;
    int type = 0;
    int protocol = 0;
    socklen_t type_len = sizeof type;
    socklen_t protocol_len = sizeof protocol;
    if (getsockname(sock, as_sockaddr(bound), &bound.len) == -1 || bound.addr.sin_family != AF_INET ||
        getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &type_len) == -1 || type != SOCK_DGRAM ||
        getsockopt(sock, SOL_SOCKET, SO_PROTOCOL, &protocol, &protocol_len) == -1 ||
        protocol != IPPROTO_UDP || bound.addr.sin_addr.s_addr != htonl(kBindAddress) ||
        ntohs(bound.addr.sin_port) != port)
        return std::nullopt;
    // The kernel names the fresh image after its descriptor, or after the
    // file's name at the moment: every process keeps the name it began with.
    (void)prctl(PR_SET_NAME, argv[5]);
    return Registration{sock, static_cast<std::int32_t>(next)};
}

bool restart_image(const char* argv0, Registration registration) {
    if (!started_by_system())
        return cannot_restart("uruchomiony przez interpreter ELF", 0);
    // The image that runs, even once its file has been replaced or removed.
    const int exe = open("/proc/self/exe", O_PATH | O_CLOEXEC);
    if (exe == -1)
        return cannot_restart("/proc/self/exe", errno);
    char name[16] = {};
    (void)prctl(PR_GET_NAME, name);
    // A program may be started with no arguments at all, not even its name.
    if (argv0 == nullptr)
        argv0 = name;
    char next[12];
    char sock[12];
    char pid[12];
    std::snprintf(next, sizeof next, "%d", registration.next);
    std::snprintf(sock, sizeof sock, "%d", registration.sock);
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    char* const args[kResumeArgs + 1] = {
        const_cast<char*>(argv0), const_cast<char*>(kResumeFlag), next, sock, pid, name, nullptr};
    if (exec_kills(exe, args)) {
        (void)close(exe);
        return cannot_restart("execveat kończy program", 0);
    }
    // Lines that the output still refuses go with this image, whole.
    (void)flush_output();
    // By the path /proc/self/exe, the image would be named "exe" until it
    // put its name back; through a descriptor, it bears its file's name.
    (void)execveat(exe, "", args, environ, AT_EMPTY_PATH);
    const int failure = errno;
    (void)close(exe);
    return cannot_restart("execveat", failure);
}

}  // namespace tolpan
