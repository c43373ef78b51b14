# Cross-compiling the Linux native for armhf with Debian's arm-linux-gnueabihf toolchain; the tests
# built here run under qemu-arm, with the cross C library as the root of its loader.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CALDRIX_LINUX_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER   ${CALDRIX_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CALDRIX_LINUX_TRIPLE}-g++)
set(CMAKE_OBJDUMP      ${CALDRIX_LINUX_TRIPLE}-objdump)
# 64-bit file offsets and inode numbers, so that a directory or file whose numbers pass 32 bits
# (large XFS or btrfs volumes; any directory at all when the tests run under qemu-user, which
# the kernel takes for a 64-bit program) is read rather than refused with EOVERFLOW.
set(CMAKE_C_FLAGS_INIT   -D_FILE_OFFSET_BITS=64)
set(CMAKE_CXX_FLAGS_INIT -D_FILE_OFFSET_BITS=64)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${CALDRIX_LINUX_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${CALDRIX_LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
