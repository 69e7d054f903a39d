# 32-bit ARM with hardware floating point (Debian armhf), little-endian;
# char is unsigned, long and size_t are 32 bits wide. The project builds
# every 32-bit target with 64-bit time_t and file offsets (CMakeLists.txt).
set(TRELVOX_CROSS_TRIPLE arm-linux-gnueabihf)
set(TRELVOX_CROSS_CPU armv7l)
set(TRELVOX_CROSS_QEMU qemu-arm)
set(TRELVOX_CROSS_DEBARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
