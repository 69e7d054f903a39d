# 64-bit ARM (Debian arm64), little-endian; char is unsigned.
set(TRELVOX_CROSS_TRIPLE aarch64-linux-gnu)
set(TRELVOX_CROSS_CPU aarch64)
set(TRELVOX_CROSS_QEMU qemu-aarch64)
set(TRELVOX_CROSS_DEBARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
