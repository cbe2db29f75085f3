// SPDX-License-Identifier: ISC
#include "options.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "io.h"

namespace tolpan {

namespace {

bool either(const char* word, const char* one, const char* other) {
    return std::strcmp(word, one) == 0 || std::strcmp(word, other) == 0;
}

}  // namespace

int answer_options(int argc, char** argv, const char* program, const char* about) {
    // An answer that cannot go, as to a pipe whose reader has gone, ends the
    // program with status 1, not by the signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    const bool help = either(argv[1], "--help", "-h");
    const bool version = either(argv[1], "--version", "-V");
    if (argc == 2 && help) {
        print(
            "Użycie: %s [--help | --version]\n%s\nNie przyjmuje innych argumentów.\n"
            "  -h, --help     wypisuje tę pomoc i kończy działanie\n"
            "  -V, --version  wypisuje wersję i kończy działanie\n"
            "Więcej: man %s\n",
            program, about, program);
    } else if (argc == 2 && version) {
        print("%s, wersja %s\n", program, TOLPAN_VERSION);
    } else {
        // Name the first word that is not taken: after a lone option, the next.
        std::fprintf(stderr, "%s: nieprawidłowy argument „%s”; zobacz: %s --help\n", program,
                     argv[help || version ? 2 : 1], program);
        return kUsageStatus;
    }
    if (flush_output())
        return 0;
    std::fprintf(stderr, "%s: nie można wypisać odpowiedzi (%s)\n", program, failure_name(errno));
    return 1;
}

}  // namespace tolpan
