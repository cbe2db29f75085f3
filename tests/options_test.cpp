// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include "support.h"

using namespace ts;

namespace {

// The whole usage of program, which says what it does in about.
Lines usage(const std::string& program, const Lines& about) {
    return Lines{"Użycie: " + program + " [--help | --version]"} + about +
           Lines{"Nie przyjmuje innych argumentów.", "  -h, --help     wypisuje tę pomoc i kończy działanie",
                 "  -V, --version  wypisuje wersję i kończy działanie", "Więcej: man " + program};
}

}  // namespace

TEST(CommandLine, AnsweredOrRefusedBeforeAnythingIsSent) {
    const std::vector<std::string> server = server_command();
    const std::vector<std::string> client = client_command();
    struct Start {
        std::vector<std::string> command;
        std::string script;
        Lines out;
        int status;
    };
    // A pipe whose reader has gone by the time of the answer, in bash.
    const std::string gone = "exec bash -c 'set -o pipefail; { sleep 0.2; \"$0\" \"$@\"; } | true' \"$@\" ";
    const Start starts[] = {
        {.command = server,
         .script = "exec \"$@\" --help",
         .out = usage("tolpan-server",
                      {"Rejestruje klientów na porcie UDP 10000 adresu 127.0.0.1: każdemu daje kolejny",
                       "numer N i port 10000 + N, na którym odsyła nadawcy każdy datagram."}),
         .status = 0},
        {.command = client,
         .script = "exec \"$@\" -h",
         .out = usage("tolpan-client",
                      {"Rejestruje się u tolpan-server (port UDP 10000 na tym komputerze), potem wysyła",
                       "mu każdy wiersz ze standardowego wejścia i wypisuje jego echo."}),
         .status = 0},
        {.command = server,
         .script = "exec \"$@\" -V",
         .out = {"tolpan-server, wersja " TOLPAN_VERSION},
         .status = 0},
        {.command = client,
         .script = "exec \"$@\" --version",
         .out = {"tolpan-client, wersja " TOLPAN_VERSION},
         .status = 0},
        // Answers that cannot be written: a full disk, a reader gone.
        {.command = server, .script = "exec \"$@\" --help >/dev/full", .out = {}, .status = 1},
        {.command = client, .script = gone + "--version", .out = {}, .status = 1},
        {.command = server,
         .script = "exec \"$@\" --help me 2>&1",
         .out = {refused("tolpan-server", "me")},
         .status = 2},
        {.command = client,
         .script = "exec \"$@\" - 2>&1",
         .out = {refused("tolpan-client", "-")},
         .status = 2},
    };
    Udp reg(10000);
    ASSERT_TRUE(reg.ok());
    for (const auto& start : starts) {
        SCOPED_TRACE(start.script);
        Program program(in_shell(start.command, start.script), "/dev/null");
        EXPECT_EQ(program.lines(20), start.out);
        EXPECT_EQ(program.wait_exit(), start.status);
        EXPECT_FALSE(reg.receive(Ms{0})) << "a greeting was sent";
    }
}
