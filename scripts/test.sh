#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds everything and runs every test: scripts/test.sh [preset]
# The preset is "default" (in build/), "ci" (warnings as errors, in
# build-ci/) or "asan" (as ci, with AddressSanitizer and UBSan, in
# build-asan/). Each test or setting skipped is named, with why, in a line.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

preset=${1:-default}
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
status=0
ctest --preset "$preset" || status=$?
awk '/^[0-9]+\/[0-9]+ Testing: / { test = $3 }
     skipped { print "skipped " test ": " $0; skipped = 0 }
     /: Skipped$/ { skipped = 1 }
     /^skipped a setting: / { print "skipped a setting of " test ": " substr($0, 20) }' \
    "$(build_dir "$preset")/Testing/Temporary/LastTest.log"
exit $status
