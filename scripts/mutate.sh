#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Mutation testing, the measure of the tests: applies each fault of a table
# (tests/mutants.txt by default) alone to a copy of the tree, builds it,
# runs the whole suite against it, and reports whether the suite caught the
# fault. A tool, not a test: CI does not run it. It builds only what the
# tests run, and the sweeps look for no smaller failing case: the first
# failure is the answer.
#   scripts/mutate.sh [table]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
shopt -u patsub_replacement 2>/dev/null || true  # & in a replacement is itself

table=$(realpath "${1:-tests/mutants.txt}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy_tree "$work/src"
cmake -S "$work/src" -B "$work/build" >/dev/null
caught=0
missed=()
# try FILE TEXT INTO FAULT: one mutant, the file put back after it.
try() {
    local path=$work/src/$1 body
    body=$(cat "$path" && printf x) && body=${body%x}
    if [[ $body != *"$2"* || ${body#*"$2"} == *"$2"* ]]; then
        echo "does not apply: $4"
        missed+=("$4")
        return
    fi
    printf '%s' "${body/"$2"/"$3"}" >"$path"
    if ! cmake --build "$work/build" -j "$(nproc)" --target tolpan_tests >/dev/null 2>&1; then
        echo "does not build: $4"
        missed+=("$4")
    elif (cd "$work/build" && TOLPAN_NO_SHRINK=1 ctest --timeout 300 --stop-on-failure >/dev/null 2>&1); then
        echo "MISSED: $4"
        missed+=("$4")
    else
        echo "caught: $4"
        caught=$((caught + 1))
    fi
    printf '%s' "$body" >"$path"
}
# Read whole first: the table may be edited while a run goes on.
mapfile -t rows <"$table"
for row in "${rows[@]}"; do
    case $row in '#'* | '') continue ;; esac
    file=${row%%" | "*} && row=${row#*" | "}
    text=${row%%" | "*} && row=${row#*" | "}
    into=${row%%" | "*}
    try "$file" "$text" "$into" "${row#*" | "}"
done
echo "Caught $caught of $((caught + ${#missed[@]}))"
[ ${#missed[@]} -eq 0 ]
