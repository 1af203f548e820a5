# Cross build for Debian's arm64, with Debian's aarch64-linux-gnu cross compiler and the arm64
# libraries installed beside the machine's own (dpkg --add-architecture; scripts/ci-arm.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config and find_package look at the target's libraries only (libserialport, GoogleTest).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Programs the build runs itself (gtest_discover_tests) go through the emulator; the tests
# start further target programs by path, which needs qemu registered with binfmt_misc.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)

# The Debian architecture of the package CPack makes.
set(RENUMBER_DEB_ARCHITECTURE arm64 CACHE STRING "Debian architecture of the package")
