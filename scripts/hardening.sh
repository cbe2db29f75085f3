#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Checks the hardening that CMakeLists.txt sets up, in the programs that a preset
# builds (scripts/hardening.sh [preset], the default one at first):
# position-independent, relocations read-only and bound at start, stack
# protector and stack-clash protection in each of our units as the compiler
# recorded its flags, format checks in each compile command, checked calls
# linked in, the server static; and that the server's code lands at a new
# address in every run and every restarted image.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

preset=${1:-default}
dir=$(build_dir "$preset")
build "$preset" tolpan-server tolpan-client
server=$dir/server/tolpan-server
failed=0
check() { # check PROGRAM WHAT COMMAND...
    local program=$1 what=$2
    shift 2
    if "$@" >/dev/null 2>&1; then
        echo "$program: $what"
    else
        echo "$program: NOT $what" >&2
        failed=1
    fi
}
# last_is FLAG FAMILY: whether standard input has lines, and in each the
# last option of FAMILY (a regular expression) is FLAG, so in force.
last_is() {
    awk -v flag="$1" -v family="$2" '{
        last = ""
        for (i = 1; i <= NF; ++i) if ($i ~ family) last = $i
        if (last != flag) bad = 1
    } END { exit bad || NR == 0 }'
}

for program in "$server" "$dir/client/tolpan-client"; do
    headers=$(readelf -hldW "$program")
    symbols=$(readelf -sW "$program")
    producers=$(readelf --debug-dump=info "$program" | grep 'DW_AT_producer' || true)
    check "$program" "position-independent" grep -q 'Flags:.*PIE' <<<"$headers"
    check "$program" "read-only relocations" grep -q 'GNU_RELRO' <<<"$headers"
    check "$program" "bound at start" grep -q 'Flags:.*NOW' <<<"$headers"
    check "$program" "stack protector in each unit" \
        last_is -fstack-protector-strong '^-f(no-)?stack-protector' <<<"$producers"
    check "$program" "stack-clash protection in each unit" \
        last_is -fstack-clash-protection '^-f(no-)?stack-clash-protection$' <<<"$producers"
    check "$program" "checked calls" grep -qE ' __[a-z_]+_chk(@|$)' <<<"$symbols"
done
commands=$(grep '"command"' "$dir/compile_commands.json")
check "$dir" "format checks in each compile command" last_is -Wformat '^-W(no-)?format$' <<<"$commands"
check "$dir" "format security errors in each compile command" \
    last_is -Werror=format-security '^-W(no-)?(error=)?format-security$' <<<"$commands"
check "$server" "static" bash -c "! readelf -lW '$server' | grep -q INTERP"

if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    # In a network namespace of its own: two runs, and a restart of the image
    # after 16 registrations, each with its code at an address of its own.
    # shellcheck disable=SC2016
    bases=$(SERVER=$server unshare -n bash -c '
        ip link set lo up
        set -m  # each server in a process group of its own
        for run in 1 2; do
            "$SERVER" >/dev/null &
            pid=$!
            sleep 0.2
            grep -m1 tolpan-server "/proc/$pid/maps" | cut -d- -f1
            if [ $run -eq 2 ]; then
                for _ in $(seq 17); do echo -n x >/dev/udp/127.0.0.1/10000 && sleep 0.02; done
                sleep 0.2
                grep -m1 tolpan-server "/proc/$(pgrep -n -g "$pid")/maps" | cut -d- -f1
            fi
            # The next run needs port 10000 free.
            { kill -KILL -- -"$pid" && wait "$pid"; } 2>/dev/null || true
        done')
    echo "$bases" | sed 's/^/tolpan-server loaded at 0x/'
    check "$server" "loaded at a new address each time" test "$(sort -u <<<"$bases" | wc -l)" -eq 3
else
    echo "$server: load addresses not checked (needs root for a network namespace)"
fi
exit $failed
