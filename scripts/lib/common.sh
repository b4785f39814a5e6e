# Shared by the scripts: Debian packages and the build.
# shellcheck shell=bash

RFIDD_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# ensure_packages PKG...: installs what is missing when run as root (one
# apt-get update first); otherwise prints the exact apt-get line and fails.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
    echo "Installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q </dev/null
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# The packages every build needs (cpp-httplib for rfidctl's console).
BUILD_PACKAGES=(cmake make g++ pkg-config libsqlite3-dev libcjson-dev libcpp-httplib-dev)
# What the tests need beyond that (GoogleTest; ip and unshare for the
# network-namespace tests; headless Chromium for the console's page; curl
# for scripts/fleet).
TEST_PACKAGES=(libgtest-dev iproute2 util-linux chromium chromium-driver python3-selenium curl)
# What the package check needs: dpkg-shlibdeps (dpkg-dev) for the package's
# dependencies, lintian, mmdebstrap for a Debian root and systemd-nspawn
# (systemd-container) to boot it; nsenter comes with util-linux.
PACKAGE_TEST_PACKAGES=(dpkg-dev lintian mmdebstrap systemd-container util-linux)

# deb_build_flags ARCH: sets DEB_CMAKE_FLAGS to the cmake options that build
# with the compiler and linker flags of Debian's own packages for ARCH
# (dpkg-buildflags, all hardening: stack protector, fortified functions,
# read-only relocations resolved at start). Needs dpkg-dev.
deb_build_flags() {
    local get="env DEB_HOST_ARCH=$1 DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get"
    local cpp
    cpp=$($get CPPFLAGS)
    DEB_CMAKE_FLAGS=("-DCMAKE_C_FLAGS=$($get CFLAGS) $cpp" "-DCMAKE_CXX_FLAGS=$($get CXXFLAGS) $cpp"
        "-DCMAKE_EXE_LINKER_FLAGS=$($get LDFLAGS)")
}

# configure_and_build DIR [cmake options...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$RFIDD_TOP" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}

# ctest_report DIR OUTPUT: after a ctest run in DIR whose output is in the
# file OUTPUT, names each test that did not run as `SKIP ctest NAME: WHY`
# (WHY is the line of the test's own output that tells it, from
# DIR/Testing/Temporary/LastTest.log) and closes with the line
# `N passed, N failed, N skipped`. A run that found no test is a failure.
ctest_report() {
    local dir=$1 output=$2 total failed skipped=0 name state why
    total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$output" | tail -1)
    failed=$(sed -n 's/.* \([0-9]*\) tests failed out of [0-9]*$/\1/p' "$output" | tail -1)
    if [ -z "$total" ] || [ "$total" -eq 0 ]; then
        echo "FAIL ctest in $dir: no test ran"
        echo "0 passed, 1 failed, 0 skipped"
        return
    fi
    while IFS='|' read -r name state; do
        [ -n "$name" ] || continue
        skipped=$((skipped + 1))
        [ "$state" = Skipped ] && total=$((total - 1))
        # gtest writes "FILE:LINE: Skipped" and then the reason; a script, "skipped: REASON".
        why=$(awk -v name="$name" '
            /^[0-9]+\/[0-9]+ Test: / { inside = substr($0, index($0, ": ") + 2) == name; out = 0; next }
            inside && /^Output:$/ { out = 1; next }
            !inside || !out { next }
            /^<end of output>$/ { inside = 0; next }
            take { print; exit }
            /: Skipped$/ { take = 1; next }
            /[Ss]kipped: / { sub(/.*[Ss]kipped: /, ""); print; exit }' \
            "$dir/Testing/Temporary/LastTest.log" 2>/dev/null)
        echo "SKIP ctest $name: ${why:-$(echo "$state" | tr '[:upper:]' '[:lower:]'), no reason given}"
    done < <(awk '/^The following tests did not run:/ { on = 1; next } on && !/^\t/ { on = 0 } on' "$output" |
        sed -E 's/^[[:space:]]*[0-9]+ - (.*) \(([^)]*)\)$/\1|\2/')
    echo "$((total - failed)) passed, $failed failed, $skipped skipped"
}
