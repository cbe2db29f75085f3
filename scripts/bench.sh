#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the programs and the benchmark, then measures:
#   scripts/bench.sh [rounds]          tolpan-server against a bare reference
#                                      that makes the same system calls
#                                      without output (9 rounds by default)
#   scripts/bench.sh --scale [clients] clients registered one after another
#                                      (30000 by default, at most 55535)
# A scale run that needs more processes than kernel.pid_max allows raises it
# for the run, as root, and puts it back afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

build default tolpan-bench
if [ "${1:-}" = --scale ]; then
    need=$((${2:-30000} + 1000))
    pid_max=$(cat /proc/sys/kernel/pid_max)
    if [ "$need" -gt "$pid_max" ] && [ "$(id -u)" -eq 0 ]; then
        trap 'echo "$pid_max" >/proc/sys/kernel/pid_max' EXIT
        echo "$need" >/proc/sys/kernel/pid_max
    fi
fi
build/bench/tolpan-bench "$@"
