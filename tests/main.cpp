// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <rapidcheck.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    // tolpan_tests --kill-on-execveat COMMAND...: COMMAND under a seccomp
    // filter that kills the process that calls execveat, as a sandbox may.
    if (argc > 2 && std::strcmp(argv[1], "--kill-on-execveat") == 0) {
        sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_execveat, 0, 1),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
        const sock_fprog program{std::size(filter), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0)
            execvp(argv[2], argv + 2);
        return 127;
    }
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
