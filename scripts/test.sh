#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds everything and runs every test: scripts/test.sh [preset]
# The preset is "default" (in build/), "ci" (warnings as errors, in
# build-ci/) or "asan" (as ci, with AddressSanitizer and UBSan, in
# build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

preset=${1:-default}
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
