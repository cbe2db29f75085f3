#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the Debian source package, the binary package and its debug
# symbols in build/package/, from the files that git knows, then runs
# lintian on them: a tag at any level fails it. DEB_BUILD_OPTIONS=nocheck
# leaves out the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

version=$(dpkg-parsechangelog -S Version)
out=build/package
rm -rf "$out"
copy_tree "$out/tolpan-$version"
# What the tools leave in a temporary folder, lintian's caches among them,
# stays here.
mkdir "$out/tmp"
TMPDIR=$(realpath "$out/tmp")
export TMPDIR

(cd "$out/tolpan-$version" && dpkg-buildpackage -us -uc)
changes=$out/tolpan_${version}_$(dpkg-architecture -q DEB_HOST_ARCH).changes
lintian --display-info --pedantic --fail-on error,warning,info,pedantic "$changes"
echo "Packages built and clean: $changes"
