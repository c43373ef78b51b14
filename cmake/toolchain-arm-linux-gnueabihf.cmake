# Cross-compiling the Linux native for armhf with Debian's arm-linux-gnueabihf toolchain; the tests
# built here run under qemu-arm, with the cross C library as the root of its loader.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CALDRIX_LINUX_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER   ${CALDRIX_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CALDRIX_LINUX_TRIPLE}-g++)
set(CMAKE_OBJDUMP      ${CALDRIX_LINUX_TRIPLE}-objdump)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${CALDRIX_LINUX_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${CALDRIX_LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
