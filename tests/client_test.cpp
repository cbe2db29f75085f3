// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "support.h"

using namespace ts;

namespace {

const Lines kStart = {"Program TOLPAN - KLIENT zaczyna działanie", "klient: bind()=0", "próba połączenia"};

// The longest line that the client reads whole, before its newline.
constexpr std::size_t kLineMax = std::size_t{1} << 20;

Lines split(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

// What a print of the buffer shows: the text up to its first zero byte.
std::string up_to_zero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

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

// Starts a client, takes its greeting on `reg` and answers with `reply` from
// `from`; checks every line up to the first prompt.
void register_client(Program& client, const Udp& reg, const Udp& from, const std::string& reply, int number) {
    ASSERT_EQ(client.lines(3), kStart);
    const auto greeting = reg.receive();
    ASSERT_TRUE(greeting);
    EXPECT_EQ(greeting->bytes, kGreeting);
    ASSERT_TRUE(from.send(greeting->port, reply));
    // The buffer takes at most 99 bytes of it, so the print stops there.
    const std::string text = up_to_zero(reply.substr(0, 99));
    ASSERT_EQ(client.lines(5), (Lines{"Połączono", "Otrzymana wiadomość: " + text,
                                      "Nr klienta odebrany w wiadomości: " + std::to_string(number),
                                      "Rzeczywisty port OK: " + std::to_string(from.port()), "Wpisz coś"}));
}

// Sends SIGPIPE once the client blocks, and expects the notice.
void interrupt(Program& client) {
    ASSERT_TRUE(sleeping(client.pid()));
    ASSERT_EQ(kill(client.pid(), SIGPIPE), 0);
    ASSERT_EQ(client.line(), notice(client.pid()));
}

// Takes the client's greeting, then `greeted`; registers it as client 1
// from handler, echoes each line typed as a handler does, and ends the
// input. With asleep, the reply and each line come only once the client
// waits.
void echo_lines(Program& client, const Udp& reg, const Udp& handler, const Lines& typed,
                const std::function<void()>& greeted = nullptr, bool asleep = false) {
    const auto greeting = reg.receive();
    ASSERT_TRUE(greeting);
    if (greeted)
        greeted();
    const pid_t waiting = family(client.pid()).back();  // strace's child, where strace runs it
    ASSERT_TRUE(!asleep || sleeping(waiting));
    ASSERT_TRUE(handler.send(greeting->port, std::string("1\0", 2)));
    for (const auto& line : typed) {
        ASSERT_TRUE(!asleep || sleeping(waiting));
        ASSERT_TRUE(client.write(line));
        const auto sent = handler.receive();
        ASSERT_TRUE(sent);
        EXPECT_EQ(sent->bytes.substr(0, line.size() + 1), line + '\0');
        ASSERT_TRUE(handler.send(sent->port, sent->bytes.substr(0, 99)));
    }
    client.close_input();
}

bool wrapped() { return std::getenv("TOLPAN_CLIENT_WRAPPER") != nullptr; }

struct Exchange {
    std::string line;
    bool from_other = false;  // the echo comes from a third party
    bool signal_at_input = false;
    bool signal_at_echo = false;
    std::string answer = {};   // what the peer answers, if not the echo
    std::size_t datagram = 0;  // its length, where it shows how the buffer grew
};

const Exchange kExchanges[] = {
    {.line = "abc\n"},
    {.line = "\n", .signal_at_input = true},
    {.line = std::string(98, 'x') + "\n", .signal_at_echo = true},
    {.line = "more than the buffer holds\n", .answer = std::string(300, 'f')},
    {.line = std::string("ab\0cd\xff\xfe", 7) + "\n"},
    {.line = std::string(150, 'y') + "\n"},
    {.line = "more than the grown buffer holds\n", .answer = std::string(300, 'g')},
    {.line = "to a stranger\n", .from_other = true},
    {.line = "back home\n"},
    // getline reads a pipe 4096 bytes at a time: 200 bytes grow to 4097,
    // then to twice as many, 8194.
    {.line = std::string(5000, 'q') + "\n", .datagram = 8193},
    {.line = std::string(70000, 'z') + "\n"},
    {.line = std::string(kLineMax, 'w') + "\n"},
    {.line = std::string(kLineMax + 5, 'v') + "\n"},  // cut at kLineMax
    {.line = "short again\n"},
    {.line = "no final newline"},
};

}  // namespace

TEST(Client, SendsItsLineBufferAndPrintsEachEcho) {
    Udp reg(10000);
    Udp handler(10001);
    Udp other;
    ASSERT_TRUE(reg.ok() && handler.ok());
    Program client(client_command());
    ASSERT_NO_FATAL_FAILURE(register_client(client, reg, handler, std::string("1\0", 2), 1));

    LineBuffer buffer;
    buffer.receive(std::string("1\0", 2));
    Udp* peer = &handler;
    for (const auto& x : kExchanges) {
        SCOPED_TRACE(x.line.substr(0, 20));
        if (x.signal_at_input) {
            ASSERT_NO_FATAL_FAILURE(interrupt(client));
        }
        ASSERT_TRUE(client.write(x.line));
        if (x.line.back() != '\n')
            client.close_input();  // the last line ends with the input
        const auto sent = peer->receive();
        ASSERT_TRUE(sent);
        buffer.type(x.line.size() > kLineMax + 1 ? x.line.substr(0, kLineMax) + '\n' : x.line,
                    sent->bytes.size());
        ASSERT_EQ(sent->bytes.size(), buffer.datagram().size());
        EXPECT_TRUE(x.datagram == 0 || sent->bytes.size() == x.datagram) << sent->bytes.size();
        EXPECT_TRUE(sent->bytes == buffer.datagram());
        ASSERT_EQ(client.line(), "Wysłano z sukcesem");
        if (x.signal_at_echo) {
            ASSERT_NO_FATAL_FAILURE(interrupt(client));
        }

        // Echo as a handler does: the first 99 bytes.
        peer = x.from_other ? &other : &handler;
        const std::string echo = x.answer.empty() ? sent->bytes.substr(0, 99) : x.answer;
        ASSERT_TRUE(peer->send(sent->port, echo));
        buffer.receive(echo);
        const Lines expected = split("Udany odbiór wiadomości: " + buffer.text() + "\nWpisz coś\n");
        ASSERT_EQ(client.lines(expected.size()), expected);
    }
    client.close_input();
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_EQ(client.stop(), "");
}

TEST(Client, StartsReadsTheNumberAndEndsWithItsInput) {
    constexpr int kRunsOn = -1;
    struct Start {
        std::string script;  // starts the client, "$@"
        std::string reply;   // from port 10000 itself
        Lines out;           // after the banner
        int status;
        bool unwrapped = false;  // the client itself, not under valgrind or a sanitizer
    };
    auto connected = [](const std::string& text, int number, const Lines& more = {}) {
        return Lines{kStart[1],
                     kStart[2],
                     "Połączono",
                     "Otrzymana wiadomość: " + text,
                     "Nr klienta odebrany w wiadomości: " + std::to_string(number),
                     "Rzeczywisty port OK: 10000",
                     "Wpisz coś"} +
               more;
    };
    const std::string at_once = "exec \"$@\" </dev/null";
    const Start starts[] = {
        {.script = at_once, .reply = std::string("7\0", 2), .out = connected("7", 7), .status = 0},
        {.script = at_once, .reply = "  -42abc", .out = connected("  -42abc", -42), .status = 0},
        {.script = at_once, .reply = "x1", .out = connected("x1", 0), .status = 0},
        {.script = at_once, .reply = "+8", .out = connected("+8", 8), .status = 0},
        {.script = at_once, .reply = "010", .out = connected("010", 10), .status = 0},
        {.script = at_once, .reply = "-2147483648", .out = connected("-2147483648", INT32_MIN), .status = 0},
        {.script = at_once, .reply = "2147483648", .out = connected("2147483648", 0), .status = 0},
        {.script = at_once, .reply = "99999999999", .out = connected("99999999999", 0), .status = 0},
        // The buffer holds 99 bytes of the reply; a directory cannot be read.
        {.script = "exec \"$@\" </",
         .reply = std::string(120, '5'),
         .out = connected(std::string(99, '5'), 0, {"Błąd getline"}),
         .status = 1},
        // Neither the reply nor the echo can be received, and the first line
        // cannot be sent, so the client asks for the next at once. The peer
        // stays port 10000, where the second line goes.
        {.script = "printf 'a\\nb\\n' | " + with_faults(kClientCallsFail),
         .reply = "1",
         .out = {kStart[1], kStart[2], "Błąd Połączono",
                 "Otrzymana wiadomość: ", "Nr klienta odebrany w wiadomości: 0", "Rzeczywisty port OK: 10000",
                 "Wpisz coś", "Błąd sendto", "Wpisz coś", "Wysłano z sukcesem", "Błąd recfrom", "Wpisz coś"},
         .status = 0},
        // An endless line, read and dropped for ever in a small address space.
        {.script = "ulimit -v 65536 && exec \"$@\" </dev/zero",
         .reply = "1",
         .out = connected("1", 1),
         .status = kRunsOn,
         .unwrapped = true},
    };
    Udp reg(10000);
    ASSERT_TRUE(reg.ok());
    for (const auto& start : starts) {
        SCOPED_TRACE(start.script + " " + start.reply);
        if (start.unwrapped && (wrapped() || TOLPAN_SANITIZED))
            continue;
        Program client(in_shell(client_command(), start.script));
        const auto greeting = reg.receive();
        ASSERT_TRUE(greeting);
        ASSERT_TRUE(reg.send(greeting->port, start.reply));
        EXPECT_EQ(client.lines(start.out.size() + 1), Lines{kStart[0]} + start.out);
        if (start.status == kRunsOn)
            EXPECT_FALSE(client.wait_exit(Ms{500}));
        else
            EXPECT_EQ(client.wait_exit(), start.status);
        EXPECT_EQ(client.stop(), "");
        while (reg.receive(Ms{0})) {
        }
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
    Program client(client_command(), "/dev/null");
    EXPECT_EQ(client.lines(3), (Lines{kStart[0], "klient: bind()=-1", "Błąd próba połączenia"}));
    EXPECT_FALSE(client.wait_exit(Ms{500}));
    std::ofstream(range) << old_range << '\n';
    EXPECT_EQ(client.stop(), "");
}

TEST(Client, GoesOnWithoutItsOutputAndEndsWithoutInput) {
    Udp reg(10000);
    Udp handler(10001);
    ASSERT_TRUE(reg.ok() && handler.ok());
    // Output to a pipe without reader, closed output, then closed input.
    for (const std::string redirect : {"", ">&-", "<&-"}) {
        SCOPED_TRACE(redirect);
        Program client(in_shell(client_command(), "exec \"$@\" " + redirect));
        client.close_output();
        // A closed standard stream is /dev/null, not the next socket.
        auto on_dev_null = [&] {
            const char* fd = redirect[0] == '<' ? "/fd/0" : "/fd/1";
            EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(client.pid()) + fd),
                      "/dev/null");
        };
        const Lines typed = redirect == "<&-" ? Lines{} : Lines{"one\n", "two\n"};
        ASSERT_NO_FATAL_FAILURE(echo_lines(client, reg, handler, typed,
                                           redirect.empty() ? std::function<void()>() : on_dev_null));
        EXPECT_EQ(client.wait_exit(), 0);
    }
}

TEST(Client, UnreadOutputHoldsSigpipeAndLosesNoLine) {
    Udp reg(10000);
    Udp handler(10001);
    ASSERT_TRUE(reg.ok() && handler.ok());
    // Started the ordinary way, with SIGPIPE let through, and its output
    // read only once the echoes have filled the pipe, blocking or not.
    const std::string longer(60000, 'l');
    const Lines echo = {"Wysłano z sukcesem", "Udany odbiór wiadomości: " + longer, "", "Wpisz coś"};
    for (const unsigned start : {kOrdinary, kOrdinary | kNonBlockingOutput}) {
        SCOPED_TRACE(start);
        Program client(client_command(), "", "", start);
        ASSERT_NO_FATAL_FAILURE(echo_lines(client, reg, handler, {longer + "\n", longer + "\n"}));
        // Blocked in its write, it holds SIGPIPE, so no notice can cut a line.
        if (!wrapped()) {
            ASSERT_TRUE(sleeping(client.pid()));
            EXPECT_TRUE(sigpipe_held(client.pid()));
        }
        const Lines out = Lines{kStart[0],
                                kStart[1],
                                kStart[2],
                                "Połączono",
                                "Otrzymana wiadomość: 1",
                                "Nr klienta odebrany w wiadomości: 1",
                                "Rzeczywisty port OK: 10001",
                                "Wpisz coś"} +
                          echo + echo;
        EXPECT_EQ(client.lines(out.size() + 1), out);
        EXPECT_EQ(client.wait_exit(), 0);
    }
}

TEST(Client, WaitsOnANonBlockingInput) {
    Udp reg(10000);
    Udp handler(10001);
    ASSERT_TRUE(reg.ok() && handler.ok());
    // Each line comes only once the client waits for it; its first wait says
    // a line has come when none has, as when another reader takes it first.
    Program client(in_shell(client_command(), with_faults(kInputTakenFirst)), "", "", kNonBlockingInput);
    ASSERT_NO_FATAL_FAILURE(echo_lines(client, reg, handler, {"one\n", "two\n"}, {}, true));
    EXPECT_EQ(client.wait_exit(), 0);
}
