# Cross-build for big-endian IBM Z Linux with Debian's g++-s390x-linux-gnu; runs under qemu.
set(LINUX_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QEMU qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
