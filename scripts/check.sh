#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The checks that keep the code clean: formatting, clang-tidy, cppcheck and
# the manual pages' lint. Prints what it finds and fails on any of it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
echo "== clang-format"
clang-format --dry-run --Werror "${sources[@]}"

# Both analysers read the compile commands of the ci build, in build-ci/.
cmake --preset ci >/dev/null
echo "== clang-tidy"
# Its counts of warnings suppressed in system headers are noise.
if ! tidy=$(git ls-files '*.cpp' | xargs -P "$(nproc)" -n 1 clang-tidy -p build-ci --quiet 2>&1); then
    grep -v ' warnings\? generated\.$' <<<"$tidy"
    exit 1
fi
echo "== cppcheck"
# useStlAlgorithm: a plain loop often reads better than the algorithm.
cppcheck --project=build-ci/compile_commands.json --enable=warning,style,performance,portability \
    --suppress=missingIncludeSystem --suppress=useStlAlgorithm --inline-suppr --error-exitcode=1 --quiet
echo "== manual pages"
mandoc -T lint -W warning docs/*.1
echo "All checks passed."
