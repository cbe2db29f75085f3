#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Checks that both programs are built hardened: position-independent,
# relocations read-only and bound at start, stack protector and checked
# calls linked in, the server static; and that the server's code lands at a
# new address in every run and every restarted image.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

build tolpan-server tolpan-client
failed=0
check() {  # check PROGRAM WHAT COMMAND...
    local program=$1 what=$2
    shift 2
    if "$@" >/dev/null 2>&1; then
        echo "$program: $what"
    else
        echo "$program: NOT $what" >&2
        failed=1
    fi
}
for program in build/server/tolpan-server build/client/tolpan-client; do
    headers=$(readelf -hldW "$program")
    symbols=$(readelf -sW "$program")
    check "$program" "position-independent" grep -q 'Flags:.*PIE' <<<"$headers"
    check "$program" "read-only relocations" grep -q 'GNU_RELRO' <<<"$headers"
    check "$program" "bound at start" grep -q 'Flags:.*NOW' <<<"$headers"
    check "$program" "stack protector" grep -q '__stack_chk_fail' <<<"$symbols"
    check "$program" "checked calls" grep -qE ' __[a-z_]+_chk(@|$)' <<<"$symbols"
done
check build/server/tolpan-server "static" bash -c '! readelf -lW build/server/tolpan-server | grep -q INTERP'

if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    # In a network namespace of its own: two runs, and a restart of the image
    # after 16 registrations, each with its code at an address of its own.
    # shellcheck disable=SC2016
    bases=$(unshare -n bash -c '
        ip link set lo up
        set -m  # each server in a process group of its own
        for run in 1 2; do
            build/server/tolpan-server >/dev/null &
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
    check build/server/tolpan-server "loaded at a new address each time" \
        test "$(sort -u <<<"$bases" | wc -l)" -eq 3
else
    echo "tolpan-server: load addresses not checked (needs root for a network namespace)"
fi
exit $failed
