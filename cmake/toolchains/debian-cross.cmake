# What every Debian cross build here shares. The file for an architecture sets
# RENUMBER_CROSS_TRIPLET (Debian's multiarch triplet and compiler prefix), CMAKE_SYSTEM_PROCESSOR,
# RENUMBER_CROSS_QEMU and RENUMBER_DEB_ARCHITECTURE, then includes this one; the target's
# libraries are installed beside the machine's own (dpkg --add-architecture; scripts/ci-arm.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${RENUMBER_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${RENUMBER_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${RENUMBER_CROSS_TRIPLET})

# pkg-config and find_package look at the target's libraries only (libserialport, GoogleTest).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${RENUMBER_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH /usr/${RENUMBER_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Programs the build runs itself (gtest_discover_tests) go through the emulator; the tests
# start further target programs by path, which needs qemu registered with binfmt_misc.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${RENUMBER_CROSS_QEMU})
