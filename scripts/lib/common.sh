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
