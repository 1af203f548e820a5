# Release builds carry the distribution's hardening flags, as Debian builds its own packages:
# _FORTIFY_SOURCE, the stack protector, format checks, and full RELRO with immediate binding
# (bindnow). dpkg-buildflags (package dpkg-dev) gives them for the target architecture, so a cross
# build gets the target's. Included before any target is defined, so every target has them.
#
# RENUMBER_DISTRIBUTION_FLAGS: AUTO (the default) uses them in Release, RelWithDebInfo and
# MinSizeRel builds without sanitizers or fuzzing, when dpkg-buildflags is there; ON insists on
# them; OFF leaves them out.
set(RENUMBER_DISTRIBUTION_FLAGS AUTO CACHE STRING
    "Use dpkg-buildflags' hardening flags: AUTO (release builds), ON or OFF")
set_property(CACHE RENUMBER_DISTRIBUTION_FLAGS PROPERTY STRINGS AUTO ON OFF)

# The Debian architecture the build is for: the one a toolchain file in cmake/toolchains/ names,
# else the host's, or the cross compiler's target.
find_program(RENUMBER_DPKG_ARCHITECTURE dpkg-architecture)
set(RENUMBER_DEB_HOST_ARCH "")
if(RENUMBER_DEB_ARCHITECTURE)
  set(RENUMBER_DEB_HOST_ARCH ${RENUMBER_DEB_ARCHITECTURE})
elseif(RENUMBER_DPKG_ARCHITECTURE)
  set(target_option)
  if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
    set(target_option -t ${CMAKE_LIBRARY_ARCHITECTURE})
  endif()
  execute_process(
    COMMAND ${RENUMBER_DPKG_ARCHITECTURE} ${target_option} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE RENUMBER_DEB_HOST_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()

set(use_flags ${RENUMBER_DISTRIBUTION_FLAGS})
if(use_flags STREQUAL "AUTO")
  if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
     AND NOT RENUMBER_SANITIZE AND NOT RENUMBER_FUZZ)
    set(use_flags ON)
  else()
    set(use_flags OFF)
  endif()
endif()

if(use_flags)
  find_program(RENUMBER_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT RENUMBER_DPKG_BUILDFLAGS)
    if(RENUMBER_DISTRIBUTION_FLAGS STREQUAL "ON")
      message(FATAL_ERROR "dpkg-buildflags not found: install dpkg-dev, or set "
                          "RENUMBER_DISTRIBUTION_FLAGS=OFF")
    endif()
    message(WARNING "dpkg-buildflags not found (package dpkg-dev): this release build goes "
                    "without the distribution's hardening flags")
    set(use_flags OFF)
  endif()
endif()

if(use_flags)
  # hardening=+all adds bindnow to Debian's defaults; options already in the environment follow
  # and so take precedence.
  set(buildflags_env "DEB_BUILD_MAINT_OPTIONS=hardening=+all $ENV{DEB_BUILD_MAINT_OPTIONS}")
  if(RENUMBER_DEB_HOST_ARCH)
    list(APPEND buildflags_env DEB_HOST_ARCH=${RENUMBER_DEB_HOST_ARCH})
  endif()
  foreach(kind IN ITEMS CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env ${buildflags_env} ${RENUMBER_DPKG_BUILDFLAGS} --get ${kind}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE flags
      OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
    endif()
    # Optimisation and debug information stay the build type's choice.
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^(-g|-O.*)$")
    list(JOIN flags " " RENUMBER_${kind})
  endforeach()
  string(APPEND CMAKE_C_FLAGS " ${RENUMBER_CPPFLAGS} ${RENUMBER_CFLAGS}")
  string(APPEND CMAKE_CXX_FLAGS " ${RENUMBER_CPPFLAGS} ${RENUMBER_CXXFLAGS}")
  foreach(kind IN ITEMS EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${RENUMBER_LDFLAGS}")
  endforeach()
  message(STATUS "Distribution hardening flags: ${RENUMBER_CPPFLAGS} ${RENUMBER_CXXFLAGS} "
                 "${RENUMBER_LDFLAGS}")
endif()
unset(use_flags)
unset(target_option)
unset(buildflags_env)
unset(flags)
