# Installation and Debian packages.
#
#   cmake --install BUILD [--prefix DIR]
#       PREFIX/sbin/rfidd, PREFIX/bin/{rfidctl,rfidd-provision,rfid-sim},
#       PREFIX/lib/systemd/system/rfidd.service, PREFIX/share/rfidd/rfidd.init,
#       PREFIX/share/man/man{1,8}/*.gz, PREFIX/share/doc/rfidd/ (the documents,
#       copyright, changelog.Debian.gz); with the prefix /usr also
#       /etc/init.d/rfidd (below DESTDIR when that is set; file(INSTALL) adds it).
#   cd BUILD && cpack -G DEB
#       rfidd_VERSION-REVISION_ARCH.deb for the build's architecture (armhf
#       with cmake/toolchain-armhf.cmake), installing under /usr.
#
# The package's version and revision come from the newest entry of
# packaging/deb/changelog, whose upstream part must be the project's version.
# Its Maintainer field (and the changelog's signature) is the cache variable
# RFIDD_DEB_MAINTAINER: whoever builds the package for their boards sets
# their own, e.g. -DRFIDD_DEB_MAINTAINER="Board Team <boards@example.net>".
#
# The unit file and the init script name the daemon by its installed path.
# Nothing here installs or overwrites the settings file or the databases:
# provisioning (rfidd-provision) is a step of its own.

include(GNUInstallDirs)

set(RFIDD_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
get_filename_component(RFIDD_PACKAGING_DIR ${RFIDD_PACKAGING_DIR} ABSOLUTE)

set(RFIDD_DEB_MAINTAINER "rfidd developers <rfidd-developers@example.org>" CACHE STRING
    "Maintainer field of the Debian package and signature of its changelog: \"Name <address>\"")
if(NOT RFIDD_DEB_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "RFIDD_DEB_MAINTAINER must read \"Name <user@host.domain>\", not \"${RFIDD_DEB_MAINTAINER}\"")
endif()

# The newest changelog entry, "rfidd (UPSTREAM-REVISION) ...", names the
# package's version.
file(STRINGS ${RFIDD_PACKAGING_DIR}/deb/changelog _rfidd_changelog_top LIMIT_COUNT 1)
if(NOT _rfidd_changelog_top MATCHES "^rfidd \\(([^)-]+)-([^)]+)\\) ")
  message(FATAL_ERROR "packaging/deb/changelog: first line \"${_rfidd_changelog_top}\" is not \"rfidd (VERSION-REVISION) ...\"")
endif()
set(RFIDD_DEB_UPSTREAM ${CMAKE_MATCH_1})
set(RFIDD_DEB_REVISION ${CMAKE_MATCH_2})
if(NOT RFIDD_DEB_UPSTREAM STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/deb/changelog is at ${RFIDD_DEB_UPSTREAM}, the project at ${PROJECT_VERSION}: add a changelog entry")
endif()

# --- files of the service --------------------------------------------------

# Written at install time, because only then is the prefix known
# (`cmake --install --prefix` may differ from the configured one). The
# templates name the daemon /usr/sbin/rfidd and the documents
# /usr/share/doc/rfidd.
install(CODE "set(RFIDD_PACKAGING_DIR \"${RFIDD_PACKAGING_DIR}\")
set(RFIDD_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
set(RFIDD_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
set(RFIDD_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
set(RFIDD_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
set(RFIDD_VERSION \"${PROJECT_VERSION}\")
set(RFIDD_DEB_MAINTAINER \"${RFIDD_DEB_MAINTAINER}\")
set(RFIDD_STAGE \"${CMAKE_BINARY_DIR}/packaging-stage\")"
  COMPONENT service)
install(CODE [[
  if(IS_ABSOLUTE "${RFIDD_SBINDIR}")
    set(_rfidd_daemon "${RFIDD_SBINDIR}/rfidd")
  else()
    set(_rfidd_daemon "${CMAKE_INSTALL_PREFIX}/${RFIDD_SBINDIR}/rfidd")
  endif()
  file(MAKE_DIRECTORY "${RFIDD_STAGE}")
  foreach(_rfidd_file rfidd.service rfidd.init)
    file(READ "${RFIDD_PACKAGING_DIR}/${_rfidd_file}" _rfidd_text)
    string(REPLACE "/usr/sbin/rfidd" "${_rfidd_daemon}" _rfidd_text "${_rfidd_text}")
    string(REPLACE "/usr/share/doc/rfidd" "${CMAKE_INSTALL_PREFIX}/${RFIDD_DOCDIR}" _rfidd_text "${_rfidd_text}")
    file(WRITE "${RFIDD_STAGE}/${_rfidd_file}" "${_rfidd_text}")
  endforeach()
  file(INSTALL "${RFIDD_STAGE}/rfidd.service"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  # A copy of the init script for boards whose init directory lies
  # elsewhere (the board bundle's install.sh links one).
  file(INSTALL "${RFIDD_STAGE}/rfidd.init"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/${RFIDD_DATADIR}/rfidd"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
  # A system-wide installation (the Debian package) also gets the init
  # script where SysV init looks for it.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    file(INSTALL "${RFIDD_STAGE}/rfidd.init" DESTINATION "/etc/init.d"
         RENAME rfidd
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
  endif()
]] COMPONENT service)

# Manual pages, the copyright file, the package's changelog (compressed the
# way Debian wants them: gzip -9 without a name or time stamp) and the
# reasoned exceptions to lintian's checks.
install(CODE [[
  # _rfidd_gzip SOURCE NAME DESTINATION: SOURCE with %VERSION% and
  # %MAINTAINER% filled in, as NAME.gz in DESTINATION.
  function(_rfidd_gzip source name destination)
    file(READ "${source}" _text)
    string(REPLACE "%VERSION%" "${RFIDD_VERSION}" _text "${_text}")
    string(REPLACE "%MAINTAINER%" "${RFIDD_DEB_MAINTAINER}" _text "${_text}")
    file(WRITE "${RFIDD_STAGE}/${name}" "${_text}")
    execute_process(COMMAND gzip -9nf "${RFIDD_STAGE}/${name}" RESULT_VARIABLE _result)
    if(NOT _result EQUAL 0)
      message(FATAL_ERROR "gzip ${RFIDD_STAGE}/${name} failed")
    endif()
    file(INSTALL "${RFIDD_STAGE}/${name}.gz" DESTINATION "${destination}"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endfunction()
  file(GLOB _rfidd_pages "${RFIDD_PACKAGING_DIR}/man/*.[1-8]")
  foreach(_rfidd_page IN LISTS _rfidd_pages)
    get_filename_component(_rfidd_name "${_rfidd_page}" NAME)
    string(REGEX REPLACE ".*\\." "" _rfidd_section "${_rfidd_name}")
    _rfidd_gzip("${_rfidd_page}" "${_rfidd_name}"
                "${CMAKE_INSTALL_PREFIX}/${RFIDD_MANDIR}/man${_rfidd_section}")
  endforeach()
  _rfidd_gzip("${RFIDD_PACKAGING_DIR}/deb/changelog" changelog.Debian
              "${CMAKE_INSTALL_PREFIX}/${RFIDD_DOCDIR}")
  file(INSTALL "${RFIDD_PACKAGING_DIR}/deb/copyright"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/${RFIDD_DOCDIR}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL "${RFIDD_PACKAGING_DIR}/deb/lintian-overrides"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/${RFIDD_DATADIR}/lintian/overrides"
       RENAME rfidd
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]] COMPONENT service)

install(FILES
  ${CMAKE_CURRENT_LIST_DIR}/../docs/deploy.md
  ${CMAKE_CURRENT_LIST_DIR}/../docs/protocol.md
  ${CMAKE_CURRENT_LIST_DIR}/../docs/security.md
  ${CMAKE_CURRENT_LIST_DIR}/../docs/site.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT service
  OPTIONAL)

# --- Debian package ---------------------------------------------------------

if(DEFINED RFIDD_DEB_ARCH)
  set(_rfidd_deb_arch ${RFIDD_DEB_ARCH})
else()
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE _rfidd_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE _rfidd_dpkg_result)
  if(NOT _rfidd_dpkg_result EQUAL 0 OR NOT _rfidd_deb_arch)
    set(_rfidd_deb_arch amd64)
  endif()
endif()

# SQLite linked statically (the armhf toolchain's default) needs no package.
set(_rfidd_sqlite_static OFF)
if(SQLite3_LIBRARY MATCHES "\\.a$")
  set(_rfidd_sqlite_static ON)
endif()

set(CPACK_PACKAGE_NAME rfidd)
set(CPACK_PACKAGE_VENDOR "rfidd developers")
set(CPACK_PACKAGE_CONTACT "${RFIDD_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${RFIDD_DEB_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${RFIDD_DEB_REVISION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "card-reader daemon for the RFID reader board")
set(CPACK_PACKAGE_DESCRIPTION
"rfidd polls an RFID reader module on the board's serial port, turns every card
into an upper-case hexadecimal card number and sends it to one upstream
server. It answers discovery on 8000/udp, takes JSON configuration commands
on 8001/tcp and relay/buzzer/light bit strings on 10001/tcp. The package
never creates the settings file or the databases: run rfidd-provision.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_rfidd_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The maintainer scripts call invoke-rc.d --skip-systemd-native.
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")

# The one file of the package below /etc is the init script; the settings
# file and the databases are not in the package, so an upgrade or a purge
# never touches them.
file(WRITE ${CMAKE_BINARY_DIR}/packaging-deb/conffiles "/etc/init.d/rfidd\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${RFIDD_PACKAGING_DIR}/deb/postinst
  ${RFIDD_PACKAGING_DIR}/deb/prerm
  ${RFIDD_PACKAGING_DIR}/deb/postrm
  ${CMAKE_BINARY_DIR}/packaging-deb/conffiles)

# Dependencies: dpkg-shlibdeps reads them off the binaries where it can see
# the libraries of the target architecture (for armhf: libc6:armhf,
# libstdc++6:armhf and libcjson1:armhf installed, as scripts/cross-armhf
# does); otherwise they are listed here.
find_program(RFIDD_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(_rfidd_shlibdeps OFF)
if(RFIDD_DPKG_SHLIBDEPS)
  if(NOT CMAKE_CROSSCOMPILING)
    set(_rfidd_shlibdeps ON)
  else()
    execute_process(COMMAND dpkg-query -W "-f=\${Status}\n"
                            libc6:${_rfidd_deb_arch} libstdc++6:${_rfidd_deb_arch}
                            libcjson1:${_rfidd_deb_arch}
                    OUTPUT_VARIABLE _rfidd_status ERROR_QUIET)
    string(REGEX MATCHALL "install ok installed" _rfidd_installed "${_rfidd_status}")
    list(LENGTH _rfidd_installed _rfidd_installed_count)
    if(_rfidd_installed_count EQUAL 3)
      set(_rfidd_shlibdeps ON)
    endif()
  endif()
endif()
set(RFIDD_DEB_SHLIBDEPS ${_rfidd_shlibdeps} CACHE BOOL
    "Let dpkg-shlibdeps work out the package's dependencies")
if(RFIDD_DEB_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(_rfidd_depends "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.5), libcjson1 (>= 1.7.15)")
  if(NOT _rfidd_sqlite_static)
    string(APPEND _rfidd_depends ", libsqlite3-0 (>= 3.40.1)")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_rfidd_depends}")
endif()

# dpkg-shlibdeps must look for the libraries of the package's architecture.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging-deb/cpack-config.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
  "set(ENV{DEB_HOST_ARCH} ${_rfidd_deb_arch})\n")
if(CMAKE_CROSSCOMPILING AND DEFINED RFIDD_CROSS_TRIPLET)
  file(APPEND ${CPACK_PROJECT_CONFIG_FILE}
    "set(ENV{DEB_HOST_GNU_TYPE} ${RFIDD_CROSS_TRIPLET})\n"
    "set(ENV{DEB_HOST_MULTIARCH} ${RFIDD_CROSS_TRIPLET})\n")
endif()

include(CPack)
