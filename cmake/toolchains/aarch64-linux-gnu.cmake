# Cross build for Debian's arm64 with Debian's aarch64-linux-gnu cross compiler.
set(RENUMBER_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(RENUMBER_CROSS_QEMU qemu-aarch64-static)
# The Debian architecture of the package CPack makes.
set(RENUMBER_DEB_ARCHITECTURE arm64 CACHE STRING "Debian architecture of the package")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
