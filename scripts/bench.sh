#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the programs and the benchmark, then measures:
#   scripts/bench.sh [rounds]          tolpan-server against a bare reference
#                                      that makes the same system calls
#                                      without output (9 rounds by default)
#   scripts/bench.sh --scale [clients] clients registered one after another
#                                      (30000 by default, at most 55535)
#   scripts/bench.sh --burst [n]       greetings at once (10000 by default)
# A scale run needs a process for each client: as root, the kernel's limit
# on process ids goes up to the most it takes for the run, and back after.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" iproute2  # ss, for the burst

build default tolpan-bench
if [ "${1:-}" = --scale ] && [ "$(id -u)" -eq 0 ]; then
    pid_max=$(cat /proc/sys/kernel/pid_max)
    trap 'echo "$pid_max" >/proc/sys/kernel/pid_max' EXIT
    echo 4194304 >/proc/sys/kernel/pid_max 2>/dev/null || true
fi
build/bench/tolpan-bench "$@"
