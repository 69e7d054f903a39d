# 64-bit IBM Z (Debian s390x), big-endian; char is unsigned.
set(TRELVOX_CROSS_TRIPLE s390x-linux-gnu)
set(TRELVOX_CROSS_CPU s390x)
set(TRELVOX_CROSS_QEMU qemu-s390x)
set(TRELVOX_CROSS_DEBARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
