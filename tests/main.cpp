// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support.h"

namespace ts {

void sweep(const char* name, int cases, const std::function<void()>& property) {
    rc::detail::TestParams params = rc::detail::configuration().testParams;
    params.maxSuccess = client_wrapped() ? std::max(1, cases / 4) : cases;
    // Choices widen with a case's size, up to 100: from the second, all are open.
    params.maxSize = 100 * params.maxSuccess;
    params.disableShrinking = std::getenv("TOLPAN_NO_SHRINK") != nullptr;  // as scripts/mutate.sh runs it
    const rc::detail::TestMetadata metadata{name, name};
    const auto result = rc::detail::checkTestable(property, metadata, params);
    if (!result.is<rc::detail::SuccessResult>()) {
        std::ostringstream failure;
        rc::detail::printResultMessage(result, failure);
        ADD_FAILURE() << failure.str() << "\nRun it again with RC_PARAMS=\"seed=" << params.seed << "\"";
    }
}

}  // namespace ts

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    if (!ts::enter_private_network()) {
        // Never greet a server that the tests did not start.
        for (std::uint16_t port = 10000; port <= 10300; ++port)
            if (!ts::Udp(port).ok()) {
                std::fprintf(stderr,
                             "UDP port %u is taken and no network namespace can be made: stop what "
                             "holds it (a tolpan-server?), or run the tests as root.\n",
                             port);
                return 1;
            }
        std::fprintf(stderr, "note: no private network namespace here; the tests use the host's loopback\n");
    }
    ts::guard_children();
    // A program that has ended must fail a write to its input, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
