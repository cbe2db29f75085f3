#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the Debian package in build/ and checks that it holds the two
# programs and their manual pages, and nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

build tolpan-server tolpan-client manpages
(cd build && cpack -G DEB)
deb=$(ls build/tolpan_*.deb)
dpkg-deb -c "$deb"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected="./usr/bin/tolpan-client
./usr/bin/tolpan-server
./usr/share/man/man1/tolpan-client.1.gz
./usr/share/man/man1/tolpan-server.1.gz"
if [ "$files" != "$expected" ]; then
    echo "The package holds other files than expected:" >&2
    diff <(echo "$expected") <(echo "$files") >&2 || true
    exit 1
fi
echo "Package $deb is complete."
