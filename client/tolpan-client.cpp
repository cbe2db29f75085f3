// SPDX-License-Identifier: ISC
// tolpan-client: registers with tolpan-server, then sends each line typed on
// standard input to its client handler and prints the echo.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io.h"
#include "options.h"
#include "protocol.h"

using namespace tolpan;

namespace {

constexpr char kAbout[] =
    "Rejestruje się u tolpan-server (port UDP 10000 na tym komputerze), potem wysyła\n"
    "mu każdy wiersz ze standardowego wejścia i wypisuje jego echo.";

// A line longer than this, before its newline, is cut here: the rest of it
// is read and dropped, so that no input can take all the memory.
constexpr std::size_t kLineMax = std::size_t{1} << 20;

// Reads standard input for the input stream: waits while it is
// non-blocking and has nothing, and drops the bytes of a line beyond
// kLineMax. The cookie counts the bytes of the current line passed on so far.
ssize_t read_input(void* cookie, char* buf, std::size_t size) {
    auto& line_so_far = *static_cast<std::size_t*>(cookie);
    for (;;) {
        const ssize_t got = when_ready(STDIN_FILENO, POLLIN, [&] { return read(STDIN_FILENO, buf, size); });
        if (got <= 0)
            return got;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            if (buf[i] == '\n' || line_so_far < kLineMax)
                buf[kept++] = buf[i];
            line_so_far = buf[i] == '\n' ? 0 : line_so_far + 1;
        }
        if (kept != 0)
            return static_cast<ssize_t>(kept);
    }
}

// Standard input as getline reads it, through read_input and a buffer of
// the size that the C library gives standard input itself: lines up to
// kLineMax grow the line buffer just as they would there. Null if it
// cannot be made.
FILE* open_input() {
    static std::size_t line_so_far = 0;
    FILE* input =
        fopencookie(&line_so_far, "r", cookie_io_functions_t{read_input, nullptr, nullptr, nullptr});
    if (input != nullptr) {
        static char buffer[BUFSIZ];
        struct stat st {};
        const bool small = fstat(STDIN_FILENO, &st) == 0 && st.st_blksize > 0 && st.st_blksize < BUFSIZ;
        (void)setvbuf(input, buffer, _IOFBF, small ? static_cast<std::size_t>(st.st_blksize) : sizeof buffer);
    }
    return input;
}

// getline, with the bytes of a grown buffer that the line did not reach
// zeroed: no stale heap memory is ever sent, and the last byte stays zero.
ssize_t read_line(char** buf, std::size_t* cap, FILE* input) {
    (void)flush_output();
    const std::size_t old_cap = *cap;
    begin_wait();
    const ssize_t len = getline(buf, cap, input);
    end_wait();
    if (*cap > old_cap) {
        const std::size_t written = len == -1 ? 0 : static_cast<std::size_t>(len) + 1;
        const std::size_t from = std::max(old_cap, written);
        std::memset(*buf + from, 0, *cap - from);
    }
    return len;
}

// The leading decimal number of text, read as "%d" reads one; 0 when there
// is none or it does not fit.
std::int32_t client_number(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || n < INT32_MIN || n > INT32_MAX)
        return 0;
    return static_cast<std::int32_t>(n);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        return answer_options(argc, argv, "tolpan-client", kAbout);
    start_up("Program TOLPAN - KLIENT zaczyna działanie");

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    set_nonblocking(sock);
    Endpoint own = make_endpoint(kBindAddress, 0);
    print("klient: bind()=%i\n", bind(sock, as_sockaddr(own), own.len));
    Endpoint reg = make_endpoint(kAnyAddress, kRegistrationPort);

    std::size_t cap = kClientBufferSize;
    auto* buf = static_cast<char*>(std::malloc(cap));
    FILE* input = open_input();
    if (buf == nullptr || input == nullptr) {
        std::perror("Unable to allocate buffer");
        std::free(buf);
        return 1;
    }
    std::memset(buf, 0, cap);

    if (send_to(sock, kGreeting, sizeof kGreeting, reg) == -1)
        print_line("Błąd próba połączenia");
    else
        print_line("próba połączenia");

    // The reply's source, the handler port, becomes the peer.
    // The last byte of the buffer is never received into: it stays zero and
    // so ends every print of the buffer.
    Endpoint peer = reg;
    if (receive(sock, buf, cap - 1, peer) == -1)
        print_line("Błąd Połączono");
    else
        print_line("Połączono");
    print_text("Otrzymana wiadomość: %s\n", buf);
    print("Nr klienta odebrany w wiadomości: %d\nRzeczywisty port OK: %hu\n", client_number(buf),
          ntohs(peer.addr.sin_port));

    for (;;) {
        print_line("Wpisz coś");
        if (read_line(&buf, &cap, input) == -1)
            break;

        // The whole buffer but its last byte goes, up to what UDP can carry.
        const std::size_t len = std::min(cap - 1, kMaxDatagram);
        if (send_to(sock, buf, len, peer) == -1) {
            // No echo can come for a line that was not sent.
            print_line("Błąd sendto");
            continue;
        }
        print_line("Wysłano z sukcesem");

        if (receive(sock, buf, cap - 1, peer) == -1)
            print_line("Błąd recfrom");
        else
            print_text("Udany odbiór wiadomości: %s\n", buf);
    }

    // Standard input has ended, or could not be read.
    const int status = std::feof(input) ? 0 : 1;
    if (status != 0)
        print_line("Błąd getline");
    std::free(buf);
    return status;
}
