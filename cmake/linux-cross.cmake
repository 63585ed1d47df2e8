# Shared part of the Linux cross toolchain files: they set LINUX_TRIPLE,
# CMAKE_SYSTEM_PROCESSOR and QEMU (the qemu-user program for that CPU), then
# include this. Debian's g++-<triple> and qemu-user-static provide the tools;
# built programs (tests included) run under qemu with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LINUX_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU} -L /usr/${LINUX_TRIPLE})
