// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include "support.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    if (!ts::enter_private_network()) {
        // Never greet a server that the tests did not start.
        if (const auto port = ts::taken_port()) {
            std::fprintf(stderr,
                         "UDP port %u of 127.0.0.1 is taken, and no network namespace can be made here: "
                         "stop what holds it (a tolpan-server?), or run the tests as root.\n",
                         *port);
            return 1;
        }
        std::fprintf(stderr, "note: no private network namespace here; the tests use the host's loopback\n");
    }
    ts::guard_children();
    // A program that has ended must fail a write to its input, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
