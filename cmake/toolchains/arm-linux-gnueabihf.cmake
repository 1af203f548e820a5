# Cross build for Debian's armhf, with Debian's arm-linux-gnueabihf cross compiler and the armhf
# libraries installed beside the machine's own (dpkg --add-architecture; scripts/ci-arm.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# pkg-config and find_package look at the target's libraries only (libserialport, GoogleTest).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Programs the build runs itself (gtest_discover_tests) go through the emulator; the tests
# start further target programs by path, which needs qemu registered with binfmt_misc.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static)

# The Debian architecture of the package CPack makes.
set(RENUMBER_DEB_ARCHITECTURE armhf CACHE STRING "Debian architecture of the package")
