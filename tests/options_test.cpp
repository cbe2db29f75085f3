// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include "support.h"

using namespace ts;

TEST(CommandLine, AnsweredOrRefusedBeforeAnythingIsSent) {
    const std::vector<std::string> server = server_command();
    const std::vector<std::string> client = client_command();
    struct Start {
        std::vector<std::string> command;
        std::string script;
        Lines out;  // a usage by its first and last lines
        int status;
    };
    const Start starts[] = {
        {.command = server,
         .script = "exec \"$@\" --help",
         .out = {"Użycie: tolpan-server [--help | --version]", "Więcej: man tolpan-server"},
         .status = 0},
        {.command = client,
         .script = "exec \"$@\" -h",
         .out = {"Użycie: tolpan-client [--help | --version]", "Więcej: man tolpan-client"},
         .status = 0},
        {.command = server,
         .script = "exec \"$@\" -V",
         .out = {"tolpan-server, wersja " TOLPAN_VERSION},
         .status = 0},
        {.command = client,
         .script = "exec \"$@\" --version",
         .out = {"tolpan-client, wersja " TOLPAN_VERSION},
         .status = 0},
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
        Lines out = program.lines(20);
        if (out.size() > 2 && start.out.size() == 2)
            out.erase(out.begin() + 1, out.end() - 1);
        EXPECT_EQ(out, start.out);
        EXPECT_EQ(program.wait_exit(), start.status);
        EXPECT_FALSE(reg.receive(Ms{0})) << "a greeting was sent";
    }
}
