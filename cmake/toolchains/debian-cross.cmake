# Shared part of the toolchain files beside it: Debian's cross compiler for
# TRELVOX_CROSS_TRIPLE (package crossbuild-essential-<arch>) with the
# target's libraries and headers under /usr/<triple>, and the target's
# programs run under qemu's user-mode emulation (package qemu-user) through
# qemu-run, on the target's runtime installed beside the host's (multiarch
# libc6:<arch>, libstdc++6:<arch>; scripts/setup.sh cross-<arch>).
#
# The including file sets TRELVOX_CROSS_TRIPLE (GNU triple), TRELVOX_CROSS_CPU
# (CMAKE_SYSTEM_PROCESSOR), TRELVOX_CROSS_QEMU (the emulator's name) and
# TRELVOX_CROSS_DEBARCH (Debian's name of the architecture).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TRELVOX_CROSS_CPU})
set(CMAKE_LIBRARY_ARCHITECTURE ${TRELVOX_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${TRELVOX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TRELVOX_CROSS_TRIPLE}-g++)

# Headers, libraries and packages of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TRELVOX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-run ${TRELVOX_CROSS_QEMU})

# The Debian package is made for the target: its architecture, and its
# library dependencies read from the target's libraries (packaging/).
set(TRELVOX_DEB_ARCH ${TRELVOX_CROSS_DEBARCH})
