// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <csignal>
#include <fstream>
#include <memory>

#include "support.h"

using namespace ts;

namespace {

const Lines kStart = {"Program TOLPAN - KLIENT zaczyna działanie", "klient: bind()=0", "próba połączenia"};

// The longest line that the client reads whole, before its newline.
constexpr std::size_t kLineMax = std::size_t{1} << 20;

// Faults injected into the client: sendto 1 sends the greeting, recvfrom 1
// is its first try for the reply; then each line is a sendto, each try for
// its echo a recvfrom. The reply and the first echo cannot be received, the
// first line cannot be sent.
const std::string kClientCallsFail = "-e inject=recvfrom:error=EIO:when=1..2 -e inject=sendto:error=EIO:when=2";
// Its wait for its first line (its second ppoll, after the one for the
// reply) says a line has come when none has.
const std::string kInputTakenFirst = "-e inject=ppoll:retval=1:when=2";

// What a print of the buffer shows: the text up to its first zero byte.
std::string up_to_zero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

// What "%d" reads from text: white space, a sign and decimal digits; 0
// where it finds no number, or one that does not fit.
long read_number(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    const bool minus = i < text.size() && text[i] == '-';
    i += i < text.size() && (text[i] == '-' || text[i] == '+');
    long n = 0;
    const std::size_t first = i;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        n = std::min(n * 10 + (text[i] - '0'), 1L << 40);
    n = minus ? -n : n;
    return i == first || n < INT_MIN || n > INT_MAX ? 0 : n;
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

// Sends SIGPIPE once the client blocks; whether the notice came.
bool interrupted(Program& client) {
    return sleeping(client.pid()) && kill(client.pid(), SIGPIPE) == 0 && client.line() == notice(client.pid());
}

}  // namespace

TEST(Client, PrintsAnyReplyWithTheNumberAndPortItCarries) {
    // A number as "%d" may meet it, amid white space and anything, or any
    // bytes at all, from any port.
    sweep("replies", 25, [] {
        const std::string reply = *rc::gen::oneOf(
            rc::gen::apply([](const std::string& space, const std::string& sign, const std::string& digits,
                              const std::string& rest) { return space + sign + digits + rest; },
                           rc::gen::container<std::string>(rc::gen::element(' ', '\t', '\n', '\v', '\f', '\r')),
                           rc::gen::element<std::string>("", "+", "-", "--", "0x"),
                           rc::gen::container<std::string>(rc::gen::inRange('0', static_cast<char>('9' + 1))),
                           rc::gen::string<std::string>()),
            rc::gen::string<std::string>());
        const auto port = *rc::gen::inRange<int>(lowest_port(), 65536);
        Udp reg(10000);
        Udp from(static_cast<std::uint16_t>(port));
        RC_PRE(from.ok());
        RC_ASSERT(reg.ok());
        Program client(in_shell(client_command(), "exec \"$@\" </dev/null"));
        const auto greeting = reg.receive();
        RC_ASSERT(greeting && greeting->bytes == kGreeting);
        RC_ASSERT(from.send(greeting->port, reply));
        const std::string text = up_to_zero(reply.substr(0, 99));
        const Lines out = kStart + Lines{"Połączono"} + split("Otrzymana wiadomość: " + text + "\n") +
                          Lines{"Nr klienta odebrany w wiadomości: " + std::to_string(read_number(text)),
                                "Rzeczywisty port OK: " + std::to_string(port), "Wpisz coś"};
        RC_ASSERT(client.lines(out.size()) == out);
        RC_ASSERT(client.wait_exit() == 0);
    });
}

TEST(Client, SendsItsLineBufferAndPrintsEachAnswer) {
    // Lines of every length, the longest cut; answers of every size, the
    // handler's echo among them, from the peer or from anyone else, who
    // becomes the peer; a SIGPIPE while the client waits for either.
    sweep("exchanges", 20, [] {
        Udp reg(10000);
        Udp handler(10001);
        RC_ASSERT(reg.ok() && handler.ok());
        Program client(client_command());
        const auto greeting = reg.receive();
        RC_ASSERT(greeting && handler.send(greeting->port, std::string("1\0", 2)));
        const Lines connected = {"Połączono", "Otrzymana wiadomość: 1", "Nr klienta odebrany w wiadomości: 1",
                                 "Rzeczywisty port OK: 10001", "Wpisz coś"};
        RC_ASSERT(client.lines(8) == kStart + connected);
        LineBuffer buffer;
        buffer.receive(std::string("1\0", 2));
        std::vector<std::unique_ptr<Udp>> strangers;
        const Udp* peer = &handler;
        const int count = *rc::gen::inRange(1, 6);
        for (int i = 0; i < count; ++i) {
            const auto length = *rc::gen::oneOf(
                rc::gen::inRange<std::size_t>(0, 200), rc::gen::inRange<std::size_t>(0, 70000),
                rc::gen::element<std::size_t>(98, 99, 4095, 65506, 65507, kLineMax, kLineMax + 5));
            const bool ends = i + 1 < count || length == 0 || *rc::gen::arbitrary<bool>();  // the last may end the input
            std::string line = random_bytes(length);
            std::replace(line.begin(), line.end(), '\n', 'n');
            const int signal = *rc::gen::inRange(0, 3);  // none, at input, at the answer
            RC_ASSERT(signal != 1 || interrupted(client));
            RC_ASSERT(client.write(line + (ends ? "\n" : "")));
            if (!ends)
                client.close_input();
            const auto sent = peer->receive();
            RC_ASSERT(sent);
            buffer.type(line.substr(0, kLineMax) + (ends ? "\n" : ""), sent->bytes.size());
            RC_ASSERT(sent->bytes == buffer.datagram());
            RC_ASSERT(client.line() == "Wysłano z sukcesem");
            RC_ASSERT(signal != 2 || interrupted(client));

            if (*rc::gen::weightedElement<bool>({{3, false}, {1, true}})) {
                strangers.push_back(std::make_unique<Udp>(*rc::gen::inRange<int>(lowest_port(), 65536)));
                if (!strangers.back()->ok())
                    strangers.back() = std::make_unique<Udp>();
                peer = strangers.back().get();
            }
            const std::string answer = *rc::gen::arbitrary<bool>()
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
    constexpr int kRunsOn = -1;
    struct Start {
        std::string script;        // starts the client, "$@"
        int lines;                 // line datagrams that it sends, each echoed
        std::optional<Lines> out;  // after the banner; nullopt: not seen
        int status;
        std::size_t datagram = 0;  // the first one's size, where it shows how the buffer grew
        bool unwrapped = false;    // the client itself, not under valgrind or a sanitizer
    };
    auto connected = [](const Lines& more) {
        return Lines{kStart[1], kStart[2], "Połączono", "Otrzymana wiadomość: 1", "Nr klienta odebrany w wiadomości: 1",
                     "Rzeczywisty port OK: 10000", "Wpisz coś"} +
               more;
    };
    const std::string spaces(5000, ' ');
    const Start starts[] = {
        // A directory cannot be read.
        {.script = "exec \"$@\" </", .lines = 0, .out = connected({"Błąd getline"}), .status = 1},
        // Closed input is /dev/null, which ends at once.
        {.script = "exec \"$@\" <&-", .lines = 0, .out = connected({}), .status = 0},
        // Neither the reply nor the echo can be received, and the first line
        // cannot be sent, so the client asks for the next at once. The peer
        // stays port 10000, where the second line goes.
        {.script = "printf 'a\\nb\\n' | " + with_faults(kClientCallsFail),
         .lines = 1,
         .out = Lines{kStart[1], kStart[2], "Błąd Połączono", "Otrzymana wiadomość: ",
                      "Nr klienta odebrany w wiadomości: 0", "Rzeczywisty port OK: 10000", "Wpisz coś", "Błąd sendto",
                      "Wpisz coś", "Wysłano z sukcesem", "Błąd recfrom", "Wpisz coś"},
         .status = 0},
        // getline reads a pipe 4096 bytes at a time: 5001 grow the buffer to
        // 4097, then to twice as many, 8194.
        {.script = "printf '%5000s\\n' '' | exec \"$@\"",
         .lines = 1,
         .out = connected({"Wysłano z sukcesem", "Udany odbiór wiadomości: " + spaces, "", "Wpisz coś"}),
         .status = 0,
         .datagram = 8193},
        // Output closed, or gone with its reader: the client goes on.
        {.script = "printf 'one\\ntwo\\n' | exec \"$@\" >&-", .lines = 2, .out = std::nullopt, .status = 0},
        {.script = "printf 'one\\ntwo\\n' | exec bash -c 'set -o pipefail; \"$0\" \"$@\" | true' \"$@\"",
         .lines = 2,
         .out = std::nullopt,
         .status = 0},
        // An endless line, read and dropped for ever in a small address space.
        {.script = "ulimit -v 65536 && exec \"$@\" </dev/zero",
         .lines = 0,
         .out = connected({}),
         .status = kRunsOn,
         .unwrapped = true},
    };
    Udp reg(10000);
    ASSERT_TRUE(reg.ok());
    for (const auto& start : starts) {
        SCOPED_TRACE(start.script);
        if (start.unwrapped && (client_wrapped() || TOLPAN_SANITIZED))
            continue;
        Program client(in_shell(client_command(), start.script));
        const auto greeting = reg.receive();
        ASSERT_TRUE(greeting);
        ASSERT_TRUE(reg.send(greeting->port, "1"));
        for (int i = 0; i < start.lines; ++i) {
            const auto line = reg.receive();
            ASSERT_TRUE(line);
            EXPECT_TRUE(i > 0 || start.datagram == 0 || line->bytes.size() == start.datagram) << line->bytes.size();
            ASSERT_TRUE(reg.send(line->port, line->bytes.substr(0, 99)));
        }
        if (start.out) {
            EXPECT_EQ(client.lines(start.out->size() + 1), Lines{kStart[0]} + *start.out);
        }
        if (start.status == kRunsOn)
            EXPECT_FALSE(client.wait_exit(Ms{500}));
        else
            EXPECT_EQ(client.wait_exit(), start.status);
        EXPECT_EQ(client.stop(), "");
        EXPECT_FALSE(reg.receive(Ms{0}));
    }
}

TEST(Client, NoPortLeftFailsTheGreetingAndWaits) {
    if (!private_network())
        GTEST_SKIP() << "the host's ports are not the tests' to take";
    // One port for the system to give, and that one taken.
    const char* range = "/proc/sys/net/ipv4/ip_local_port_range";
    std::string old_range;
    std::getline(std::ifstream(range), old_range);
    const Udp taken(40000);
    std::ofstream(range) << "40000 40000\n";
    Program client(in_shell(client_command(), "exec \"$@\" </dev/null"));
    EXPECT_EQ(client.lines(3), (Lines{kStart[0], "klient: bind()=-1", "Błąd próba połączenia"}));
    EXPECT_FALSE(client.wait_exit(Ms{500}));
    std::ofstream(range) << old_range << '\n';
    EXPECT_EQ(client.stop(), "");
}

TEST(Client, WaitsOnANonBlockingInputThatAnotherReaderEmpties) {
    Udp reg(10000);
    ASSERT_TRUE(reg.ok());
    // Each line comes only once the client waits for it; its first wait says
    // a line has come when none has, as when another reader takes it first.
    Program client(in_shell(client_command(), with_faults(kInputTakenFirst)), {},
                   {Kind::Pipe, Blocking::AtStart});
    const auto greeting = reg.receive();
    ASSERT_TRUE(greeting);
    const pid_t waiting = family(client.pid()).back();  // strace's child
    ASSERT_TRUE(sleeping(waiting));
    ASSERT_TRUE(reg.send(greeting->port, std::string("1\0", 2)));
    for (const std::string line : {"one\n", "two\n"}) {
        ASSERT_TRUE(sleeping(waiting));
        ASSERT_TRUE(client.write(line));
        const auto sent = reg.receive();
        ASSERT_TRUE(sent);
        EXPECT_EQ(sent->bytes.substr(0, line.size() + 1), line + '\0');
        ASSERT_TRUE(reg.send(sent->port, sent->bytes.substr(0, 99)));
    }
    client.close_input();
    EXPECT_EQ(client.wait_exit(), 0);
}
