# What the two 32-bit ARM toolchains share (cmake/toolchain-armhf.cmake and
# cmake/toolchain-armel.cmake include this after they have set
# RFIDD_CROSS_TRIPLET, RFIDD_DEB_ARCH and their compiler flags).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER ${RFIDD_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${RFIDD_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${RFIDD_CROSS_TRIPLET})
# 64-bit file offsets: directory reads (readdir) of a 32-bit program must not
# fail on file systems with 64-bit directory cookies, as under qemu-arm on a
# 64-bit build machine. g++ notes every std::vector<T>::iterator parameter
# whose passing changed in GCC 7.1; the whole program is built by one
# compiler, so that note is silenced.
set(CMAKE_C_FLAGS_INIT "${RFIDD_ARCH_FLAGS} -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "${RFIDD_ARCH_FLAGS} -D_FILE_OFFSET_BITS=64 -Wno-psabi")

# Headers are shared between architectures (/usr/include); libraries and
# CMake package files come from the multiarch directories. Programs (cmake
# helpers, pkg-config) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${RFIDD_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config, where a find module asks it, must answer for the target.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${RFIDD_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

if(NOT DEFINED SQLite3_LIBRARY AND EXISTS /usr/lib/${RFIDD_CROSS_TRIPLET}/libsqlite3.a)
  set(SQLite3_LIBRARY /usr/lib/${RFIDD_CROSS_TRIPLET}/libsqlite3.a
      CACHE FILEPATH "SQLite library (static for the board)")
endif()

# Test programs built here run under qemu-arm on the build machine
# (scripts/test-armhf). The C library and libstdc++ come from the cross
# toolchain's directory, so that they match its dynamic loader; cJSON comes
# from the multiarch directory.
# qemu-arm is looked up afresh at every configure (never cached), so a build
# directory configured before qemu-user was installed picks it up later.
# Without it the test lists are made when ctest runs, not right after
# linking, so the build never runs an ARM program on the host.
find_program(RFIDD_QEMU_ARM qemu-arm NO_CACHE)
if(RFIDD_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${RFIDD_QEMU_ARM} -L /usr/${RFIDD_CROSS_TRIPLET}
      -E LD_LIBRARY_PATH=/usr/${RFIDD_CROSS_TRIPLET}/lib:/usr/lib/${RFIDD_CROSS_TRIPLET})
else()
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
