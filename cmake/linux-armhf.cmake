# Cross-build for 32-bit ARM Linux (armhf, as on Raspberry Pi OS) with g++-arm-linux-gnueabihf; runs under qemu.
set(LINUX_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)  # notes about an ABI change in GCC 7, which nothing here spans
