# Cross-compiling the Linux native for aarch64 with Debian's aarch64-linux-gnu toolchain; the tests
# built here run under qemu-aarch64, with the cross C library as the root of its loader.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CALDRIX_LINUX_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER   ${CALDRIX_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CALDRIX_LINUX_TRIPLE}-g++)
set(CMAKE_OBJDUMP      ${CALDRIX_LINUX_TRIPLE}-objdump)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${CALDRIX_LINUX_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${CALDRIX_LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
