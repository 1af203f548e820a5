# Manual pages, documentation and the Debian package. Included after every subdirectory, so the
# install rules of all targets are known when CPack is configured.
include(GNUInstallDirs)

# Every page under man/ is installed, compressed as Debian policy asks (gzip -9n: no name or
# time stamp, so the package is reproducible). man-db reads plain and compressed pages alike.
# The pages carry @PROJECT_VERSION@ where the version goes; BUILD/man/ holds them filled in,
# readable with man ./BUILD/man/renumber.1, and the compressed copies in BUILD/man/gz/.
file(GLOB RENUMBER_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.[1-9])
find_program(RENUMBER_GZIP gzip REQUIRED)
set(RENUMBER_COMPRESSED_MAN_PAGES)
foreach(page IN LISTS RENUMBER_MAN_PAGES)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "^.*\\.([1-9])$" "\\1" section ${name})
  set(configured ${CMAKE_BINARY_DIR}/man/${name})
  set(copy ${CMAKE_BINARY_DIR}/man/gz/${name})
  configure_file(${page} ${configured} @ONLY)
  add_custom_command(
    OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${configured} ${copy}
    COMMAND ${RENUMBER_GZIP} -9nf ${copy}
    DEPENDS ${configured}
    COMMENT "Compressing manual page ${name}"
    VERBATIM)
  list(APPEND RENUMBER_COMPRESSED_MAN_PAGES ${copy}.gz)
  # A page goes with the program it documents, so a component install stays self-contained.
  if(name MATCHES "^motor-sim\\.")
    set(component motor-sim)
  else()
    set(component renumber)
  endif()
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          COMPONENT ${component})
endforeach()
add_custom_target(man-pages ALL DEPENDS ${RENUMBER_COMPRESSED_MAN_PAGES})

# The bench troubleshooting is most useful on the robot itself; it is written for someone who
# installed the tools, unlike the project's README.
install(FILES ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT renumber)
# The licence goes with every installed part, in Debian's machine-readable form.
foreach(component IN ITEMS renumber motor-sim)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT ${component})
endforeach()

set(RENUMBER_PACKAGE_MAINTAINER
    "renumber maintainers <maintainers@users.noreply.c-seed-a9ef1d65.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME renumber)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${RENUMBER_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "change the bus identifier of a KV-R2730-4 motor")
# Lines of the long description stay under 80 columns, as dpkg and apt show them unwrapped.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "renumber changes the bus identifier of a KV-R2730-4 motor on an RS-485\n"
  "bus, through a USB-to-RS-485 adapter. Every motor leaves the factory with\n"
  "the same identifier, so each one must be renumbered, alone on the bus,\n"
  "before several can share a cable.\n"
  "\n"
  "renumber-doctor checks a machine before the bench: the adapter's chip and\n"
  "driver at 4,000,000 baud, access to the port, and programs such as\n"
  "ModemManager or brltty that would take it.\n"
  "\n"
  "motor-sim runs a command against simulated motors behind a simulated\n"
  "adapter and traces every frame on the wire, for rehearsing a renumbering\n"
  "without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The umask of whoever builds the package must not leak into its directories.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A package built on Debian 12 needs that release's libc6 and libstdc++6 or later, one built on
# Debian 13 needs 13's: the release it was built for goes into its version as Debian's own
# rebuilds mark it (1.4.0-1~deb12u1), so the two never share a file name and the newer release's
# package sorts higher. Off Debian the release stays plain.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
if(EXISTS /etc/os-release)
  file(STRINGS /etc/os-release RENUMBER_OS_ID REGEX "^ID=")
  file(STRINGS /etc/os-release RENUMBER_OS_VERSION_ID REGEX "^VERSION_ID=")
  string(REGEX REPLACE "^VERSION_ID=\"?([0-9]+)\"?$" "\\1" RENUMBER_OS_VERSION_ID
                       "${RENUMBER_OS_VERSION_ID}")
  if(RENUMBER_OS_ID STREQUAL "ID=debian" AND RENUMBER_OS_VERSION_ID MATCHES "^[0-9]+$")
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1~deb${RENUMBER_OS_VERSION_ID}u1)
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from dpkg-shlibdeps over the installed binaries (libserialport0, libacl1, libc6,
# libstdc++6, libgcc-s1), so it follows whatever the build actually linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A cross build is labelled with its target's architecture (cmake/BuildFlags.cmake), unless the
# packager names one; left alone, CPack would ask dpkg, which answers for the build machine.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE AND RENUMBER_DEB_HOST_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${RENUMBER_DEB_HOST_ARCH})
endif()

# Stripping (the target's strip tool), changelog.Debian and the lintian overrides are added to
# the staged files; the ldconfig scripts CPack adds for the private layer are taken out again.
# Variables named CPACK_* reach those scripts through CPackConfig.cmake.
set(CPACK_RENUMBER_STRIP ${CMAKE_STRIP})
set(CPACK_RENUMBER_GZIP ${RENUMBER_GZIP})
set(CPACK_RENUMBER_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian)
# The changelog names the release of each entry; its newest must be the one project() sets.
file(STRINGS ${CPACK_RENUMBER_CHANGELOG} RENUMBER_CHANGELOG_TOP LIMIT_COUNT 1)
string(FIND "${RENUMBER_CHANGELOG_TOP}" "renumber (${PROJECT_VERSION}-" RENUMBER_CHANGELOG_AT)
if(NOT RENUMBER_CHANGELOG_AT EQUAL 0)
  message(FATAL_ERROR "packaging/changelog.Debian starts with '${RENUMBER_CHANGELOG_TOP}': "
                      "give release ${PROJECT_VERSION} its entry first")
endif()
set(CPACK_RENUMBER_LINTIAN_OVERRIDES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebPreBuild.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebPostBuild.cmake)

# One package with every component; source packages are not made with CPack.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
