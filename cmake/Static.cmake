# The libraries the programs link, and the static build of the board bundle.
#
# -DRFIDD_STATIC=ON links every program statically: no shared library, no
# program interpreter, so one program runs on any board of its architecture
# whatever C library (or none) the board has. What that needs:
#
#   SQLite   a static archive: -DSQLite3_LIBRARY=.../libsqlite3.a (Debian's
#            libsqlite3-dev has it) and its header, -DSQLite3_INCLUDE_DIR=...
#   cJSON    Debian ships it only as a shared library, so it is compiled
#            here from a source tree: -DRFIDD_CJSON_SOURCE=DIR (Debian's
#            source package, unpacked with its patches; scripts/cross
#            fetches it).
#
# Static glibc must not reach for anything that only the build machine's
# shared C library could give at run time: name-service lookups
# (getaddrinfo, getpwnam and their kin, through NSS modules) and dlopen. The
# linker warns about each such call; here every linker warning is an error.
# SQLite's extension loader, the one caller of dlopen in these programs, is
# sent to cmake/static/noload.c instead (ld --wrap), whose functions fail:
# no extension can be loaded.

option(RFIDD_STATIC "Link every program statically (board bundles)" OFF)
set(RFIDD_CJSON_SOURCE "" CACHE PATH "cJSON source tree a static build compiles cJSON from")

find_package(SQLite3 REQUIRED)
find_package(Threads REQUIRED)

if(NOT RFIDD_STATIC)
  find_package(cJSON REQUIRED)
  return()
endif()

if(NOT SQLite3_LIBRARY MATCHES "\\.a$")
  message(FATAL_ERROR "RFIDD_STATIC needs SQLite as a static archive: -DSQLite3_LIBRARY=.../libsqlite3.a, not \"${SQLite3_LIBRARY}\"")
endif()
if(NOT EXISTS "${RFIDD_CJSON_SOURCE}/cJSON.c" OR NOT EXISTS "${RFIDD_CJSON_SOURCE}/cJSON.h")
  message(FATAL_ERROR "RFIDD_STATIC needs -DRFIDD_CJSON_SOURCE=DIR, a cJSON source tree with cJSON.c and cJSON.h (\"${RFIDD_CJSON_SOURCE}\")")
endif()

# cJSON as the programs include it (<cjson/cJSON.h>), compiled as its own
# project compiles it: C, without this project's warnings.
configure_file(${RFIDD_CJSON_SOURCE}/cJSON.h ${CMAKE_BINARY_DIR}/cjson-include/cjson/cJSON.h COPYONLY)
add_library(cjson STATIC ${RFIDD_CJSON_SOURCE}/cJSON.c)
target_include_directories(cjson SYSTEM PUBLIC ${CMAKE_BINARY_DIR}/cjson-include)
target_compile_options(cjson PRIVATE -w)

add_library(rfidd_noload STATIC ${CMAKE_CURRENT_LIST_DIR}/static/noload.c)
set_property(TARGET SQLite::SQLite3 APPEND PROPERTY INTERFACE_LINK_LIBRARIES rfidd_noload m)

add_link_options(-static -Wl,--fatal-warnings
  -Wl,--wrap=dlopen,--wrap=dlsym,--wrap=dlclose,--wrap=dlerror)
