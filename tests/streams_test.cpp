// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <csignal>

#include "support.h"

using namespace ts;

namespace {

constexpr Kind kOutputs[] = {Kind::Pipe, Kind::Fifo, Kind::Socket, Kind::Terminal, Kind::Master, Kind::File};
constexpr Kind kInputs[] = {Kind::Pipe, Kind::Fifo, Kind::Socket, Kind::Terminal};

// Steps a program, each step an exchange that it completes only while it
// can print. Read at once, each step's lines come with it. Read late, it
// goes on until its output is full, unless that is a file: then it waits to
// write, with SIGPIPE held and no loop spinning, and once the output is
// read every line comes, and the step held up goes on.
void expect_every_line(Program& program, const std::function<bool(Ms)>& step, const Lines& per_step,
                       Lines expected, bool late, bool fills) {
    const std::size_t most = late ? 1000 : 50;
    std::size_t steps = 0;
    for (; steps < most; ++steps) {
        const long before = cpu_ticks(program.pid());
        if (!step(late ? Ms{100} : kWait)) {
            ASSERT_TRUE(late);
            ASSERT_TRUE(sigpipe_held(program.pid()));
            ASSERT_LE(cpu_ticks(program.pid()) - before, 3);
            expected = expected + per_step;
            break;
        }
        expected = expected + per_step;
        if (!late) {
            ASSERT_EQ(program.lines(expected.size()), expected);
            expected.clear();
        }
    }
    ASSERT_EQ(steps < most, late && fills) << steps << " steps";
    ASSERT_EQ(program.lines(expected.size()), expected);
    ASSERT_TRUE(program.still_nonblocking()) << "the shared output was changed";
    // Filled by another holder while the program waits for input, the
    // output takes the notice once it is read.
    if (const std::string filled = program.fill_output(); !filled.empty()) {
        ASSERT_EQ(kill(program.pid(), SIGPIPE), 0);
        const Lines lines = split(filled + notice(program.pid()) + "\n");
        ASSERT_EQ(program.lines(lines.size()), lines);
    }
}

}  // namespace

TEST(Streams, NoLineIsLostOnAnyStandardStream) {
    std::size_t run = 0;
    for (const Kind kind : kOutputs)
        for (const Blocking blocking : {Blocking::Yes, Blocking::AtStart, Blocking::Later})
            for (const bool late : {false, true}) {
                const Stream input{kInputs[run++ % std::size(kInputs)], blocking};
                SCOPED_TRACE(describe({kind, blocking}) + (late ? ", read late" : ", read at once") +
                             "; client's input " + describe(input));
                {
                    // The client: each line typed is echoed.
                    Udp reg(10000);
                    Udp handler(10001);
                    ASSERT_TRUE(reg.ok() && handler.ok());
                    Program client(client_command(), {kind, blocking}, input, {});
                    client.make_nonblocking();
                    const auto greeting = reg.receive();
                    ASSERT_TRUE(greeting && handler.send(greeting->port, std::string("1\0", 2)));
                    std::optional<Datagram> sent;
                    auto exchange = [&](Ms wait) {
                        if (sent && !handler.send(sent->port, sent->bytes.substr(0, 99)))
                            return false;
                        return client.write("a line\n") && (sent = handler.receive(wait)).has_value();
                    };
                    ASSERT_TRUE(exchange(kWait));
                    ASSERT_NO_FATAL_FAILURE(expect_every_line(
                        client, exchange,
                        {"Udany odbiór wiadomości: a line", "", "Wpisz coś", "Wysłano z sukcesem"},
                        client_started("1", 1, 10001) + Lines{"Wysłano z sukcesem"}, late,
                        kind != Kind::File));
                }
                {
                    // The server: each datagram is echoed.
                    Program server(server_command(), {kind, blocking}, {}, {});
                    ASSERT_EQ(server.lines(4), kServerStart);
                    server.make_nonblocking();
                    Udp a;
                    ASSERT_TRUE(a.send(10000, kGreeting) && a.receive());
                    auto echo = [&](Ms wait) { return a.send(10001, "fill") && a.receive(wait).has_value(); };
                    ASSERT_NO_FATAL_FAILURE(expect_every_line(server, echo, echoed(10001, 4),
                                                              registered(1, 8), late, kind != Kind::File));
                    ASSERT_TRUE(!late || kind == Kind::File || a.receive());
                }
            }
}
