// SPDX-License-Identifier: ISC
// tolpan-client: registers with tolpan-server, then sends each line typed on
// standard input to its client handler and prints the echo.

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tolpan.h"

using namespace tolpan;

namespace {

constexpr char kAbout[] =
    "Rejestruje się u tolpan-server (port UDP 10000 na tym komputerze), potem wysyła\n"
    "mu każdy wiersz ze standardowego wejścia i wypisuje jego echo.";

// getline, with the bytes of a grown buffer that the line did not reach
// zeroed: no stale heap memory is ever sent, and the last byte stays zero.
ssize_t read_line(char** buf, std::size_t* cap) {
    flush_output();
    const std::size_t old_cap = *cap;
    begin_wait();
    const ssize_t len = getline(buf, cap, stdin);
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
    if (const int status = answer_options(argc, argv, "tolpan-client", kAbout); status != kNoOptions)
        return status;
    start_up("Program TOLPAN - KLIENT zaczyna działanie");

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    set_nonblocking(sock);
    Endpoint own = make_endpoint(kBindAddress, 0);
    std::printf("klient: bind()=%i\n", bind(sock, as_sockaddr(own), own.len));
    Endpoint reg = make_endpoint(kAnyAddress, kRegistrationPort);

    std::size_t cap = kClientBufferSize;
    auto* buf = static_cast<char*>(std::malloc(cap));
    if (buf == nullptr) {
        std::perror("Unable to allocate buffer");
        return 1;
    }
    std::memset(buf, 0, cap);

    if (send_to(sock, kGreeting, sizeof kGreeting, reg) == -1)
        std::puts("Błąd próba połączenia");
    else
        std::puts("próba połączenia");

    // The reply's source, the handler port, becomes the peer.
    // The last byte of the buffer is never received into: it stays zero and
    // so ends every print of the buffer.
    Endpoint peer = make_endpoint(kAnyAddress, kRegistrationPort);
    if (receive(sock, buf, cap - 1, peer) == -1)
        std::puts("Błąd Połączono");
    else
        std::puts("Połączono");
    std::printf("Otrzymana wiadomość: %s\n", buf);
    std::printf("Nr klienta odebrany w wiadomości: %d\nRzeczywisty port OK: %hu\n", client_number(buf),
                ntohs(peer.addr.sin_port));

    for (;;) {
        std::puts("Wpisz coś");
        if (read_line(&buf, &cap) == -1)
            break;

        // The whole buffer but its last byte goes, up to what UDP can carry.
        const std::size_t len = std::min(cap - 1, kMaxDatagram);
        if (send_to(sock, buf, len, peer) == -1) {
            // No echo can come for a line that was not sent.
            std::puts("Błąd sendto");
            continue;
        }
        std::puts("Wysłano z sukcesem");

        if (receive(sock, buf, cap - 1, peer) == -1)
            std::puts("Błąd recfrom");
        else
            std::printf("Udany odbiór wiadomości: %s\n", buf);
    }

    // Standard input has ended, or could not be read.
    const int status = std::feof(stdin) ? 0 : 1;
    if (status != 0)
        std::puts("Błąd getline");
    std::free(buf);
    return status;
}
