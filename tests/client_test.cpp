// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <memory>

#include "support.h"

using namespace ts;

namespace {

// The longest line that the client reads whole, before its newline.
constexpr std::size_t kLineMax = std::size_t{1} << 20;

// Faults injected into the client, each call counted from its start:
// sendto 1 sends the greeting, recvfrom 1 tries for the reply, then each
// line is a sendto, each try for its echo a recvfrom. The reply and the
// first echo cannot be received, the first line cannot be sent.
const std::string kClientCallsFail =
    "-e inject=recvfrom:error=EIO:when=1..2 -e inject=sendto:error=EIO:when=2";
// Its first waits for a line and for an echo (ppoll 2 and 4) wake with
// nothing to take, as when another reader of its input takes the line
// first, or a datagram fails its checksum.
const std::string kWokenForNothing = "-e inject=ppoll:retval=1:when=2..4+2";
// No port can be bound, and so none chosen for the greeting.
const std::string kNoPortLeft = "-e inject=bind:error=EADDRINUSE -e inject=sendto:error=EAGAIN";

// What a print of the buffer shows: the text up to its first zero byte.
std::string up_to_zero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

// What "%d" reads from text: white space, a sign and decimal digits; 0
// where it finds no number, or one that does not fit.
long read_number(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    return end == text.c_str() || errno == ERANGE || n < INT_MIN || n > INT_MAX ? 0 : static_cast<long>(n);
}

// What the client's line buffer holds, byte for byte: lines and receives
// overwrite its start, and whatever lies behind stays.
struct LineBuffer {
    std::string bytes = std::string(100, '\0');

    // A typed line; `sent` tells how far getline has grown the buffer.
    void type(const std::string& line, std::size_t sent) {
        if (sent + 1 > bytes.size())
            bytes.resize(std::max(sent, line.size()) + 1, '\0');
        bytes.replace(0, line.size() + 1, line + '\0');
    }
    // A receive fills the buffer but its last byte, at most.
    void receive(const std::string& d) {
        const std::size_t n = std::min(d.size(), bytes.size() - 1);
        bytes.replace(0, n, d, 0, n);
    }
    std::string datagram() const { return bytes.substr(0, std::min(bytes.size() - 1, kMaxDatagram)); }
    std::string text() const { return up_to_zero(bytes); }
};

// SIGPIPE once the client blocks; whether the notice came.
bool interrupted(Program& client) {
    return sleeping(client.pid()) && kill(client.pid(), SIGPIPE) == 0 &&
           client.line() == notice(client.pid());
}

}  // namespace

TEST(Client, PrintsAnyReplyThenSendsItsLineBufferAndPrintsEachAnswer) {
    // A reply with a number as "%d" may meet it, amid white space and anything, or
    // any bytes, from any port. Then lines of every length, the longest cut; answers
    // of every size, the echo among them, from the peer or anyone else, who becomes
    // the peer; a SIGPIPE while the client waits for either.
    sweep("exchanges", 40, [] {
        auto some = [](int most, const rc::Gen<char>& chars) {
            return *rc::gen::container<std::string>(static_cast<std::size_t>(*rc::gen::inRange(0, most)),
                                                    chars);
        };
        auto anyone = [] {
            auto at = std::make_unique<Udp>(*rc::gen::inRange<int>(1, 65536));
            return at->ok() ? std::move(at) : std::make_unique<Udp>();
        };
        const std::string any = some(120, rc::gen::arbitrary<char>());
        // Digits of any length, or at the ends of a signed or unsigned int of 32 or 64 bits.
        const std::string digits = *rc::gen::arbitrary<bool>()
                                       ? some(15, rc::gen::inRange('0', static_cast<char>('9' + 1)))
                                       : *rc::gen::element<std::string>("2147483647", "2147483648",
                                                                        "4294967297", "9223372036854775808");
        const std::string reply =
            *rc::gen::weightedElement<bool>({{1, true}, {2, false}})
                ? any
                : some(5, rc::gen::element(' ', '\t', '\n', '\v', '\f', '\r')) +
                      *rc::gen::element<std::string>("", "+", "-", "--", "0", "-0", "0x") + digits +
                      any.substr(0, 20);
        Udp reg(10000);
        std::vector<std::unique_ptr<Udp>> peers;
        peers.push_back(anyone());
        Program client(client_command());
        const auto greeting = reg.receive();
        // A stray to another loopback address first, which it does not take.
        RC_ASSERT((reg.ok() && greeting && greeting->bytes == kGreeting &&
                   peers[0]->send(greeting->port, "stray", INADDR_LOOPBACK + 2) &&
                   peers[0]->send(greeting->port, reply)));
        const std::string text = up_to_zero(reply.substr(0, 99));
        const Lines started = client_started(text, read_number(text), peers[0]->port());
        RC_ASSERT(client.lines(started.size()) == started);
        LineBuffer buffer;
        buffer.receive(reply);
        const Udp* peer = peers[0].get();
        const int count = *rc::gen::inRange(0, 6);
        for (int i = 0; i < count; ++i) {
            // Lengths at the edges half the time: of the first buffer, of a
            // print that fills the page of lines, of a datagram, of a line.
            const auto length = *rc::gen::weightedOneOf<std::size_t>(
                {{1, rc::gen::inRange<std::size_t>(0, 200)},
                 {1, rc::gen::inRange<std::size_t>(0, 70000)},
                 {2, rc::gen::element<std::size_t>(98, 99, 4058, 4059, 4060, 65506, 65507, kLineMax,
                                                   kLineMax + 1, kLineMax + 5, 2 * kLineMax)}});
            const bool ends =
                i + 1 < count || length == 0 || *rc::gen::arbitrary<bool>();  // the last may end the input
            std::string line = random_bytes(length);
            std::replace(line.begin(), line.end(), '\n', 'n');
            if (*rc::gen::weightedElement<bool>({{2, true}, {1, false}}))  // printed whole, or to a zero byte
                std::replace(line.begin(), line.end(), '\0', 'z');
            const int signal = *rc::gen::inRange(0, 3);  // none, at input, at the answer
            RC_ASSERT((signal != 1 || interrupted(client)));
            RC_ASSERT(client.write(line + (ends ? "\n" : "")));
            if (!ends)
                client.close_input();
            const auto sent = peer->receive();
            RC_ASSERT(sent);
            buffer.type(line.substr(0, kLineMax) + (ends ? "\n" : ""), sent->bytes.size());
            RC_ASSERT(sent->bytes == buffer.datagram());
            RC_ASSERT(client.line() == "Wysłano z sukcesem");
            RC_ASSERT((signal != 2 || interrupted(client)));

            if (*rc::gen::weightedElement<bool>({{3, false}, {1, true}})) {
                peers.push_back(anyone());
                peer = peers.back().get();
            }
            const std::string answer =
                *rc::gen::arbitrary<bool>()
                    ? sent->bytes.substr(0, 99)
                    : random_bytes(*rc::gen::inRange<std::size_t>(0, kMaxDatagram + 1));
            RC_ASSERT(peer->send(sent->port, answer));
            buffer.receive(answer);
            const Lines expected = split("Udany odbiór wiadomości: " + buffer.text() + "\nWpisz coś\n");
            RC_ASSERT(client.lines(expected.size()) == expected);
        }
        client.close_input();
        RC_ASSERT(client.wait_exit() == 0);
        RC_ASSERT(client.stop().empty());
    });
}

TEST(Client, StartsAndEndsHoweverItIsStarted) {
    struct Start {
        std::string script;              // starts the client, "$@"
        Lines typed = {};                // each once it waits for input, and echoed
        std::optional<Lines> out = {};   // nullopt: not seen
        std::optional<int> status = {};  // nullopt: it runs on
        std::size_t datagram = 0;        // the first one's size, where it shows how the buffer grew
        bool unwrapped = false;          // the client itself, not under valgrind or a sanitizer
        bool greets = true;
    };
    auto connected = [](const Lines& more) { return client_started("1", 1, 10000) + more; };
    auto echo = [](const std::string& line) {
        return Lines{"Wysłano z sukcesem", "Udany odbiór wiadomości: " + line, "", "Wpisz coś"};
    };
    const Start starts[] = {
        // A directory cannot be read; closed input is /dev/null.
        {.script = "exec \"$@\" </", .out = connected({"Błąd getline"}), .status = 1},
        {.script = "exec \"$@\" <&-", .out = connected({}), .status = 0},
        // Neither the reply nor the echo can be received, and the first line
        // cannot be sent, so the client asks for the next at once. The peer
        // stays port 10000, where the second line goes, the only one sent.
        {.script = with_faults(kClientCallsFail),
         .typed = {"a\nb\n"},
         .out = Lines{"Program TOLPAN - KLIENT zaczyna działanie", "klient: bind()=0", "próba połączenia",
                      "Błąd Połączono", "Otrzymana wiadomość: ", "Nr klienta odebrany w wiadomości: 0",
                      "Rzeczywisty port OK: 10000", "Wpisz coś", "Błąd sendto", "Wpisz coś",
                      "Wysłano z sukcesem", "Błąd recfrom", "Wpisz coś"},
         .status = 0},
        // Each echo in its place, with no line for the waits that woke.
        {.script = with_faults(kWokenForNothing),
         .typed = {"one\n", "two\n"},
         .out = connected(echo("one") + echo("two")),
         .status = 0},
        // getline reads a pipe 4096 bytes at a time: 5001 grow the buffer to
        // 4097, then 8194. The next echo fills the page of lines, 4,088
        // bytes; the last leaves just room for the prompt.
        {.script = "exec \"$@\"",
         .typed = {std::string(5000, ' ') + "\n", std::string(4059, 'p') + "\n",
                   std::string(4048, 'q') + "\n"},
         .out = connected(echo(std::string(5000, ' ')) + echo(std::string(4059, 'p')) +
                          echo(std::string(4048, 'q'))),
         .status = 0,
         .datagram = 8193},
        // Output closed, or gone with its reader: the client goes on.
        {.script = "exec \"$@\" >&-", .typed = {"one\n", "two\n"}, .out = {}, .status = 0},
        {.script = "exec bash -c 'set -o pipefail; \"$0\" \"$@\" | true' \"$@\"",
         .typed = {"1\n"},
         .status = 0},
        // With no port to send from, it waits for a reply all the same.
        {.script = with_faults(kNoPortLeft),
         .out =
             Lines{"Program TOLPAN - KLIENT zaczyna działanie", "klient: bind()=-1", "Błąd próba połączenia"},
         .greets = false},
        // Lines of 1 MiB printed whole in a small address space; an endless
        // line, read and dropped for ever in a larger one.
        {.script = "ulimit -v 4096 && exec \"$@\"",
         .typed = {"one\n", std::string(kLineMax, 'm') + "\n"},
         .out = connected(echo("one") + echo(std::string(kLineMax, 'm'))),
         .status = 0,
         .unwrapped = true},
        {.script = "ulimit -v 65536 && exec \"$@\" </dev/zero", .out = connected({}), .unwrapped = true},
    };
    Udp reg(10000);
    ASSERT_TRUE(reg.ok());
    for (const auto& start : starts) {
        SCOPED_TRACE(start.script);
        if (start.unwrapped && (client_wrapped() || TOLPAN_SANITIZED))
            continue;
        Program client(in_shell(client_command(), start.script), {Kind::Packets},
                       {Kind::Pipe, Blocking::AtStart});
        // Each reply, line and echo once the client waits for it, idle. It is
        // its family's last, under strace too, once a pipeline's reader has gone.
        auto waiting = [&] {
            ASSERT_TRUE(eventually([&] { return sleeping(family(client.pid()).back(), Ms{0}); }));
            ASSERT_TRUE(idle(client.pid()));
        };
        const auto greeting = reg.receive(start.greets ? kWait : Ms{0});
        ASSERT_EQ(greeting.has_value(), start.greets);
        ASSERT_NO_FATAL_FAILURE(waiting());
        ASSERT_TRUE(!greeting || reg.send(greeting->port, "1"));
        for (const auto& line : start.typed) {
            ASSERT_NO_FATAL_FAILURE(waiting());
            ASSERT_TRUE(client.write(line));
            const auto sent = reg.receive();
            ASSERT_TRUE(sent);
            EXPECT_TRUE(start.datagram == 0 || sent->bytes.size() == start.datagram) << sent->bytes.size();
            ASSERT_NO_FATAL_FAILURE(waiting());
            ASSERT_TRUE(reg.send(sent->port, sent->bytes.substr(0, 99)));
        }
        client.close_input();
        if (start.out) {
            ASSERT_EQ(client.lines(start.out->size()), *start.out);
        }
        ASSERT_EQ(client.wait_exit(start.status ? kWait : Ms{500}), start.status);
        EXPECT_EQ(client.stop(), "");
        EXPECT_FALSE(reg.receive(Ms{0}));
    }
}
