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
     usage("tolpan-client", {"Rejestruje się u tolpan-server (port UDP 10000 na tym komputerze), potem wysyła",
                             "mu każdy wiersz ze standardowego wejścia i wypisuje jego echo."})},
};

}  // namespace

TEST(CommandLine, EveryWordIsAnsweredOrRefusedBeforeAnythingIsSent) {
    // Each option, words like them, and any word, alone or followed by any.
    const Lines words = {"--help", "-h", "--version", "-V", "-", "--", "--hel", "-hV", "--help=1", "", "x y"};
    Udp reg(10000);
    ASSERT_TRUE(reg.ok());
    for (const auto& program : kPrograms)
        for (const auto& first : words)
            for (std::size_t second = 0; second <= words.size(); ++second) {
                std::vector<std::string> command = program.command + Lines{first};
                if (second < words.size())
                    command.push_back(words[second]);
                SCOPED_TRACE(program.name + " '" + first + "' " + (second < words.size() ? words[second] : ""));
                const bool help = first == "--help" || first == "-h";
                const bool version = first == "--version" || first == "-V";
                Lines out = {refused(program.name, command[second < words.size() && (help || version) ? 2 : 1])};
                if (command.size() == 2 && help)
                    out = program.help;
                if (command.size() == 2 && version)
                    out = {program.name + ", wersja " TOLPAN_VERSION};
                Program run(in_shell(command, "exec \"$@\" 2>&1"));
                EXPECT_EQ(run.lines(20), out);
                EXPECT_EQ(run.wait_exit(), command.size() == 2 && (help || version) ? 0 : 2);
            }
    EXPECT_FALSE(reg.receive(Ms{0})) << "a greeting was sent";
}

TEST(CommandLine, AnAnswerThatCannotBeWrittenEndsWithStatusOne) {
    // A full device; a pipe whose reader has gone, and a terminal that hung
    // up, by the time the program starts on a line of its input.
    for (const auto& program : kPrograms)
        for (const std::string option : {"--help", "-V"})
            for (const Kind kind : {Kind::File, Kind::Pipe, Kind::Terminal}) {
                SCOPED_TRACE(program.name + " " + option + ", " + describe({kind}));
                const bool full = kind == Kind::File;
                Program run(in_shell(program.command + Lines{option},
                                     full ? "exec \"$@\" >/dev/full" : "read -r go && exec \"$@\""),
                            {kind});
                run.close_output();
                ASSERT_TRUE(full || run.write("go\n"));
                EXPECT_EQ(run.wait_exit(), 1);
            }
}
