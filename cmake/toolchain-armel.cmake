# Cross-build for boards of any 32-bit ARM core from ARMv5TE on: soft-float
# EABI (Debian's armel). One program runs on ARMv5TE, ARMv6 and ARMv7 cores
# whatever float ABI the board's own libraries use, when it is linked
# statically (-DRFIDD_STATIC=ON, see cmake/Static.cmake): scripts/bundle
# --arch armel builds it that way.
#
# Needs Debian's armel cross compilers (crossbuild-essential-armel: the C
# library and libstdc++ for armel come with them). SQLite and cJSON for armel
# are not installed through multiarch: scripts/cross --arch armel fetches
# Debian's libsqlite3-dev:armel and cJSON's source package into its cache and
# passes them in (SQLite3_INCLUDE_DIR, SQLite3_LIBRARY, RFIDD_CJSON_SOURCE).

set(RFIDD_CROSS_TRIPLET arm-linux-gnueabi)
set(RFIDD_DEB_ARCH armel)
# Named, although they are the compiler's defaults, so that another compiler
# of this triplet cannot raise the floor.
set(RFIDD_ARCH_FLAGS "-march=armv5te -marm -mfloat-abi=soft")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-arm.cmake)
