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

struct Programs {
    std::string name;
    std::vector<std::string> command;
    Lines help;
};

const Programs kPrograms[] = {
    {"tolpan-server", server_command(),
     usage("tolpan-server", {"Rejestruje klientów na porcie UDP 10000 adresu 127.0.0.1: każdemu daje kolejny",
                             "numer N i port 10000 + N, na którym odsyła nadawcy każdy datagram."})},
    {"tolpan-client", client_command(),
     usage("tolpan-client",
           {"Rejestruje się u tolpan-server (port UDP 10000 na tym komputerze), potem wysyła",
            "mu każdy wiersz ze standardowego wejścia i wypisuje jego echo."})},
};

}  // namespace

TEST(CommandLine, EveryWordIsAnsweredOrRefusedBeforeAnythingIsSent) {
    // Each option, words like them, and any word, alone or followed by any,
    // given with SIGPIPE let through, each to every output: read; a full
    // device, which the program says it could not write to; a pipe whose
    // reader has gone or a terminal that hung up by the time it starts.
    const Lines words = {"--help", "-h", "--version", "-V", "-", "--", "--hel", "-hV", "--help=1", "", "x y"};
    Udp reg(10000);
    ASSERT_TRUE(reg.ok());
    for (const auto& program : kPrograms)
        for (const auto& first : words)
            for (std::size_t second = 0; second <= words.size(); ++second)
                for (const int output : {0, 1, 2, 3}) {
                    std::vector<std::string> command = program.command + Lines{first};
                    if (second < words.size())
                        command.push_back(words[second]);
                    SCOPED_TRACE(program.name + " '" + first + "' " +
                                 (second < words.size() ? words[second] : "") + ", output " +
                                 std::to_string(output));
                    const bool help = first == "--help" || first == "-h";
                    const bool version = first == "--version" || first == "-V";
                    const bool answered = command.size() == 2 && (help || version);
                    Program run(in_shell(command, output == 1 ? "read -r go && exec \"$@\" >/dev/full"
                                                              : "read -r go && exec \"$@\""),
                                {output == 3 ? Kind::Terminal : Kind::Pipe}, {}, {});
                    if (output >= 2)
                        run.close_output();
                    ASSERT_TRUE(run.write("go\n"));
                    const Lines out =
                        !answered     ? Lines{refused(program.name, command[help || version ? 2 : 1])}
                        : output == 1 ? Lines{program.name + ": nie można wypisać odpowiedzi (ENOSPC)"}
                        : help        ? program.help
                                      : Lines{program.name + ", wersja " TOLPAN_VERSION};
                    if (output <= 1) {
                        ASSERT_EQ(run.lines(20), out);
                    }
                    ASSERT_EQ(run.wait_exit(), answered ? (output == 0 ? 0 : 1) : 2);
                }
    EXPECT_FALSE(reg.receive(Ms{0})) << "a greeting was sent";
}
