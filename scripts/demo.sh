#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the programs, starts the server in the background with its output
# in build/tolpan-server.log, and runs a client here. When the client ends
# (Ctrl-D or Ctrl-C), every server process ends with it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

echo "Building the programs in build/ (the first time takes a minute)..."
build default tolpan-server tolpan-client

log=build/tolpan-server.log
set -m  # job control: the server gets a process group of its own
build/server/tolpan-server >"$log" &
server=$!
trap 'kill -KILL -- -"$server" 2>/dev/null' EXIT

for _ in $(seq 50); do
    grep -q '^Port serwera' "$log" && break
    sleep 0.1
done
if ! grep -q '^serwer: bind()=0$' "$log"; then
    echo "The server could not take UDP port 10000 (is another one running?); see $log." >&2
    exit 1
fi
echo "Server started; its output goes to $log."
build/client/tolpan-client
