# Sourced by the scripts here: what they install and how they build.
# SPDX-License-Identifier: ISC

# What the build needs (configuring needs GoogleTest and RapidCheck too),
# then what the tests, the code checks and the Debian package need beyond it.
BUILD_PACKAGES=(g++ cmake make libgtest-dev librapidcheck-dev)
TEST_PACKAGES=(valgrind iproute2 strace mount)
CHECK_PACKAGES=(clang-format clang-tidy cppcheck mandoc)
PACKAGE_PACKAGES=(dpkg-dev debhelper lintian)

# build_dir PRESET: the folder that a preset builds in; build/ is the
# default's, every other preset has build-PRESET/ of its own.
build_dir() {
    if [ "$1" = default ]; then echo build; else echo "build-$1"; fi
}

# build PRESET TARGET...: configures a preset's build and builds those targets.
build() {
    local preset=$1
    shift
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target "$@" >/dev/null
}

# copy_tree DEST: copies the files that git knows, tracked and new, as they
# stand in the work tree, to DEST.
copy_tree() {
    mkdir -p "$1"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
        tar --null -T - -cf - | tar -xf - -C "$1"
}

# ensure_packages PKG...: installs the Debian packages of the list that are
# missing, as root, from the package lists as they are, or fetched anew if
# that fails; otherwise prints the command to run and stops. Does nothing
# when all are there. A failure ends it with apt-get's last line: the rest
# is in build/apt.log.
ensure_packages() {
    command -v dpkg-query >/dev/null || return 0  # not Debian: the build names what it lacks
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local install=(apt-get install -y -q --no-install-recommends "${missing[@]}")
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]}. Install them as root, then run this again:" >&2
        echo "  ${install[*]}" >&2
        exit 1
    fi
    echo "Installing missing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    mkdir -p build
    if ! { "${install[@]}" || { apt-get update -q && "${install[@]}"; }; } >build/apt.log 2>&1; then
        echo "apt-get could not install them: $(grep -v '^W:' build/apt.log | tail -n 1) (all in build/apt.log)" >&2
        exit 1
    fi
}
