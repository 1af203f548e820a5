# Cross build for Debian's armhf with Debian's arm-linux-gnueabihf cross compiler.
set(RENUMBER_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(RENUMBER_CROSS_QEMU qemu-arm-static)
# The Debian architecture of the package CPack makes.
set(RENUMBER_DEB_ARCHITECTURE armhf CACHE STRING "Debian architecture of the package")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
