// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <csignal>

#include "support.h"

using namespace ts;

namespace {

constexpr Kind kOutputs[] = {Kind::Pipe, Kind::Socket, Kind::Terminal, Kind::Master, Kind::File};
constexpr Kind kInputs[] = {Kind::Pipe, Kind::Socket, Kind::Terminal};

// What program sends to `at`, or nullopt once it waits to write instead:
// asleep with SIGPIPE held, as in no other wait of its.
std::optional<Datagram> unless_held(const Udp& at, const Program& program) {
    std::optional<Datagram> got;
    EXPECT_TRUE(eventually([&] {
        return (got = at.receive(Ms{5})) || (sleeping(program.pid(), Ms{0}) && sigpipe_held(program.pid()));
    })) << "neither sent nor held";
    return got ? got : at.receive(Ms{0});  // or sent just before it began to wait
}

// Steps a program, each step an exchange that it completes only while it
// can print. Read at once, each step's lines come with it. Read late, it
// goes on until its output is full, unless that is a file: then it waits to
// write, spending no CPU, and once the output is read every line comes, and
// the step held up goes on.
void expect_every_line(Program& program, const std::function<bool()>& step, const Lines& per_step,
                       Lines expected, bool late, bool fills) {
    const std::size_t most = late ? 1000 : 50;
    std::size_t steps = 0;
    for (bool done = true; done && steps < most; ++steps) {
        done = step();
        expected = expected + per_step;
        if (!done) {
            ASSERT_TRUE(late && idle(program.pid()));
        } else if (!late) {
            ASSERT_EQ(program.lines(expected.size()), expected);
            expected.clear();
        }
    }
    ASSERT_EQ(steps < most, late && fills) << steps << " steps";
    ASSERT_EQ(program.lines(expected.size()), expected);
    ASSERT_TRUE(program.still_nonblocking()) << "the shared output was changed";
    // Filled by another holder as it waits for input, the output takes the notice.
    if (const std::string filled = program.fill_output(); !filled.empty()) {
        ASSERT_EQ(kill(program.pid(), SIGPIPE), 0);
        const Lines lines = split(filled + notice(program.pid()) + "\n");
        ASSERT_EQ(program.lines(lines.size()), lines);
    }
}

}  // namespace

TEST(Streams, NoLineIsLostOnAnyStandardStream) {
    // The client, with every kind of output in every state, read at once or
    // late, each pair of them met with every kind of input.
    for (std::size_t k = 0; k < std::size(kOutputs); ++k)
        for (const Blocking blocking : {Blocking::Yes, Blocking::AtStart, Blocking::Later})
            for (const bool late : {false, true}) {
                const Kind kind = kOutputs[k];
                const Stream input{
                    kInputs[(k + static_cast<std::size_t>(blocking) + late) % std::size(kInputs)], blocking};
                SCOPED_TRACE(describe({kind, blocking}) + (late ? ", read late" : ", read at once") +
                             "; client's input " + describe(input));
                Udp reg(10000);
                Udp handler(10001);
                ASSERT_TRUE(reg.ok() && handler.ok());
                Program client(client_command(), {kind, blocking}, input, {});
                client.make_nonblocking();
                const auto greeting = reg.receive();
                ASSERT_TRUE(greeting && handler.send(greeting->port, std::string("1\0", 2)));
                std::optional<Datagram> sent;
                auto exchange = [&] {
                    if (sent && !handler.send(sent->port, sent->bytes.substr(0, 99)))
                        return false;
                    return client.write("a line\n") && (sent = unless_held(handler, client)).has_value();
                };
                ASSERT_TRUE(exchange());
                ASSERT_NO_FATAL_FAILURE(expect_every_line(
                    client, exchange,
                    {"Udany odbiór wiadomości: a line", "", "Wpisz coś", "Wysłano z sukcesem"},
                    client_started("1", 1, 10001) + Lines{"Wysłano z sukcesem"}, late, kind != Kind::File));
            }
}
