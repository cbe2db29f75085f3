#!/usr/bin/env bash
# Builds the programs and the benchmark, then measures tolpan-server against
# a bare reference that makes the same system calls without output:
# scripts/bench.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

build tolpan-bench
build/bench/tolpan-bench "$@"
