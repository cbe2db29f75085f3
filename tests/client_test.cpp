// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "support.h"

using namespace ts;

namespace {

const Lines kStart = {"Program TOLPAN - KLIENT zaczyna działanie", "klient: bind()=0", "próba połączenia"};

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
        receive(line + '\0');
    }
    void receive(const std::string& d) { bytes.replace(0, d.size(), d); }
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

// The lines of a client that the real server registers as client n.
void expect_registered(Program& client, int n) {
    const std::string num = std::to_string(n);
    ASSERT_EQ(client.lines(8),
              (Lines{kStart[0], kStart[1], kStart[2], "Połączono", "Otrzymana wiadomość: " + num,
                     "Nr klienta odebrany w wiadomości: " + num,
                     "Rzeczywisty port OK: " + std::to_string(10000 + n), "Wpisz coś"}));
}

struct Exchange {
    std::string line;
    bool from_other = false;  // the echo comes from a third party
    bool signal_at_input = false;
    bool signal_at_echo = false;
};

const Exchange kExchanges[] = {
    {"abc\n"},
    {"\n", false, true},
    {std::string(98, 'x') + "\n", false, false, true},
    {std::string("ab\0cd\xff\xfe", 7) + "\n"},
    {std::string(150, 'y') + "\n"},
    {"to a stranger\n", true},
    {"back home\n"},
    {std::string(70000, 'z') + "\n"},
    {std::string(1 << 20, 'w') + "\n"},
    {"short again\n"},
    {"no final newline"},
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
        buffer.type(x.line, sent->bytes.size());
        ASSERT_EQ(sent->bytes.size(), buffer.datagram().size());
        EXPECT_TRUE(sent->bytes == buffer.datagram());
        ASSERT_EQ(client.line(), "Wysłano z sukcesem");
        if (x.signal_at_echo) {
            ASSERT_NO_FATAL_FAILURE(interrupt(client));
        }

        // Echo as a handler does: the first 99 bytes.
        peer = x.from_other ? &other : &handler;
        const std::string echo = sent->bytes.substr(0, 99);
        ASSERT_TRUE(peer->send(sent->port, echo));
        buffer.receive(echo);
        const Lines expected = split("Udany odbiór wiadomości: " + buffer.text() + "\nWpisz coś\n");
        ASSERT_EQ(client.lines(expected.size()), expected);
    }
    client.close_input();
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_EQ(client.stop(), "");
}

TEST(Client, ReadsTheNumberAsDecimalAndEndsWithItsInput) {
    struct Case {
        std::string reply;
        std::string input;  // file for standard input
        int number;
        int status;
    };
    const Case cases[] = {
        {std::string("7\0", 2), "/dev/null", 7, 0},
        {"  -42abc", "/dev/null", -42, 0},
        {"x1", "/dev/null", 0, 0},
        {"99999999999", "/dev/null", 0, 0},
        {std::string(120, '5'), "/", 0, 1},  // a directory: reading fails
    };
    Udp reg(10000);
    ASSERT_TRUE(reg.ok());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        Program client(client_command(), c.input);
        // The reply comes from the registration port itself here.
        ASSERT_NO_FATAL_FAILURE(register_client(client, reg, reg, c.reply, c.number));
        if (c.status != 0) {
            EXPECT_EQ(client.line(), "Błąd getline");
        }
        EXPECT_EQ(client.wait_exit(), c.status);
        EXPECT_EQ(client.stop(), "");
    }
}

TEST(Client, AskForTheNextLineWhenALineCannotBeSent) {
    if (!private_network())
        GTEST_SKIP() << "needs a network namespace of its own";
    Udp reg(10000);
    Udp handler(10001);
    Program client(client_command());
    ASSERT_NO_FATAL_FAILURE(register_client(client, reg, handler, std::string("1\0", 2), 1));

    // Without local routes no datagram can leave; bringing loopback down and
    // up again restores them.
    ASSERT_EQ(std::system("ip route flush table local"), 0);  // NOLINT(cert-env33-c): a fixed command
    ASSERT_TRUE(client.write("lost\n"));
    EXPECT_EQ(client.lines(2), (Lines{"Błąd sendto", "Wpisz coś"}));
    ASSERT_TRUE(set_loopback(false) && set_loopback(true));

    ASSERT_TRUE(client.write("found\n"));
    const auto sent = handler.receive();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->bytes.substr(0, 7), std::string("found\n\0", 7));
}

TEST(Client, TwoClientsTalkToTheRealServer) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4).size(), 4U);
    // One after the other, so that their numbers are known.
    Program first(client_command());
    ASSERT_NO_FATAL_FAILURE(expect_registered(first, 1));
    Program second(client_command());
    ASSERT_NO_FATAL_FAILURE(expect_registered(second, 2));
    for (int round = 0; round < 3; ++round)
        for (Program* client : {&first, &second}) {
            const std::string line = "line " + std::to_string(round) + " of " + std::to_string(client->pid());
            ASSERT_TRUE(client->write(line + "\n"));
            EXPECT_EQ(client->lines(4),
                      (Lines{"Wysłano z sukcesem", "Udany odbiór wiadomości: " + line, "", "Wpisz coś"}));
        }
}

TEST(Client, GoesOnWithoutItsOutputAndEndsWithoutInput) {
    struct Case {
        const char* redirect;  // for the shell that starts the client
        Lines typed;
    };
    const Case cases[] = {{"", {"one\n", "two\n"}}, {">&-", {"one\n", "two\n"}}, {"<&-", {}}};
    Udp reg(10000);
    Udp handler(10001);
    ASSERT_TRUE(reg.ok() && handler.ok());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.redirect);
        Program client(in_shell(client_command(), std::string("exec \"$@\" ") + c.redirect));
        client.close_output();  // a pipe without reader, where output is not closed already

        const auto greeting = reg.receive();
        ASSERT_TRUE(greeting);
        ASSERT_TRUE(handler.send(greeting->port, std::string("1\0", 2)));
        for (const auto& line : c.typed) {
            ASSERT_TRUE(client.write(line));
            const auto sent = handler.receive();
            ASSERT_TRUE(sent);
            EXPECT_EQ(sent->bytes.substr(0, line.size() + 1), line + '\0');
            ASSERT_TRUE(handler.send(sent->port, sent->bytes.substr(0, 99)));
        }
        client.close_input();
        EXPECT_EQ(client.wait_exit(), 0);
    }
}
