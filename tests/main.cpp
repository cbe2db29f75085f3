// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include "support.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!ts::enter_private_network())
        std::fprintf(stderr, "note: no private network namespace here; the tests use the host's loopback\n");
    ts::guard_children();
    // A program that has ended must fail a write to its input, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
