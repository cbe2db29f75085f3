#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Mutation testing, the measure of the tests: applies each patch of a folder
# (tests/mutants/ by default) alone to a copy of the tree, builds it, runs
# the whole suite against it, and reports whether the suite caught the
# fault. A tool, not a test: CI does not run it.
#   scripts/mutate.sh [folder]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

folder=$(realpath "${1:-tests/mutants}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy_tree "$work/src"
cmake -S "$work/src" -B "$work/build" >/dev/null
caught=0
missed=()
for patch in "$folder"/*.patch; do
    name=$(basename "$patch" .patch)
    if ! patch -d "$work/src" -p1 -s --no-backup-if-mismatch <"$patch"; then
        echo "$name: does not apply"
        continue
    fi
    if ! cmake --build "$work/build" -j "$(nproc)" >/dev/null 2>&1; then
        echo "$name: does not build"
    elif (cd "$work/build" && ctest --timeout 300 --stop-on-failure >/dev/null 2>&1); then
        echo "$name: MISSED"
        missed+=("$name")
    else
        echo "$name: caught"
        caught=$((caught + 1))
    fi
    patch -d "$work/src" -p1 -R -s --no-backup-if-mismatch <"$patch"
done
echo "Caught $caught of $((caught + ${#missed[@]}))${missed[*]:+; missed: ${missed[*]}}"
