# Cross-build for the board: 32-bit ARM, hard-float EABI (Debian's armhf:
# ARMv7 with VFPv3-D16 and Thumb-2).
#
# Needs Debian's cross compilers and the armhf libraries next to the host's
# (multiarch). scripts/cross --arch armhf installs them and builds; by hand:
#
#   dpkg --add-architecture armhf && apt-get update
#   apt-get install crossbuild-essential-armhf \
#       libsqlite3-dev:armhf libcjson-dev:armhf libgtest-dev:armhf
#   cmake -S . -B build-armhf --toolchain cmake/toolchain-armhf.cmake
#
# SQLite is linked statically (libsqlite3.a of libsqlite3-dev:armhf), so the
# board needs no SQLite library of its own; cJSON stays a shared library.
# Pass -DSQLite3_LIBRARY=/usr/lib/arm-linux-gnueabihf/libsqlite3.so to link
# SQLite dynamically instead. -DRFIDD_STATIC=ON links every program
# statically (the board bundle, see cmake/Static.cmake).

set(RFIDD_CROSS_TRIPLET arm-linux-gnueabihf)
# The Debian architecture name of what this toolchain builds (packages,
# bundles).
set(RFIDD_DEB_ARCH armhf)
# Debian's armhf compiler defaults (ARMv7-A, VFPv3-D16, Thumb-2).
set(RFIDD_ARCH_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-arm.cmake)
