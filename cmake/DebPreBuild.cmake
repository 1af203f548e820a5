# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staged files, before the .deb is made.
#   1. Strips every ELF file as dh_strip does, .comment and .note sections included: CMake's own
#      stripping keeps those, and lintian asks for them gone (binary-has-unneeded-section).
#   2. Adds what a Debian package carries beside the program: changelog.Debian.gz, compressed as
#      policy asks, and the lintian overrides, each with its reason.
set(staged ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
if(NOT CPACK_RENUMBER_STRIP)
  message(FATAL_ERROR "no strip tool for the target (CMAKE_STRIP is empty)")
endif()

file(GLOB_RECURSE files LIST_DIRECTORIES false ${staged}/*)
foreach(file IN LISTS files)
  if(IS_SYMLINK ${file})
    continue()
  endif()
  file(READ ${file} magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  set(options --remove-section=.comment --remove-section=.note)
  # A shared library keeps the symbols others link or preload against.
  if(file MATCHES "\\.so(\\.[0-9.]+)?$")
    list(APPEND options --strip-unneeded)
  endif()
  execute_process(COMMAND ${CPACK_RENUMBER_STRIP} ${options} ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# The newest entry must be this very package's version, or the changelog has not been updated. A
# release's rebuild suffix (~deb12u1) is the build's own: the entry carries the plain version and
# the installed copy gets the suffix.
set(version ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
string(REGEX REPLACE "~.*$" "" entry_version ${version})
file(STRINGS ${CPACK_RENUMBER_CHANGELOG} first LIMIT_COUNT 1)
if(NOT first MATCHES "^${CPACK_PACKAGE_NAME} \\(([^)]+)\\) ")
  message(FATAL_ERROR "${CPACK_RENUMBER_CHANGELOG} does not begin with a changelog entry")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL entry_version)
  message(FATAL_ERROR "the newest entry of ${CPACK_RENUMBER_CHANGELOG} is ${CMAKE_MATCH_1}, "
                      "the package is ${entry_version}: add an entry for ${entry_version}")
endif()
set(docdir ${staged}/share/doc/${CPACK_PACKAGE_NAME})
file(MAKE_DIRECTORY ${docdir})
file(READ ${CPACK_RENUMBER_CHANGELOG} changelog)
string(REPLACE "${CPACK_PACKAGE_NAME} (${entry_version})" "${CPACK_PACKAGE_NAME} (${version})"
               changelog "${changelog}")
file(WRITE ${docdir}/changelog.Debian "${changelog}")
execute_process(COMMAND ${CPACK_RENUMBER_GZIP} -9nf ${docdir}/changelog.Debian
                COMMAND_ERROR_IS_FATAL ANY)
# file(COPY_FILE) rather than file(INSTALL), which would put DESTDIR, set by CPack, in front.
file(MAKE_DIRECTORY ${staged}/share/lintian/overrides)
file(COPY_FILE ${CPACK_RENUMBER_LINTIAN_OVERRIDES}
     ${staged}/share/lintian/overrides/${CPACK_PACKAGE_NAME})
file(CHMOD ${docdir}/changelog.Debian.gz ${staged}/share/lintian/overrides/${CPACK_PACKAGE_NAME}
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
