# Cross-build for 32-bit x86 Linux with Debian's g++-i686-linux-gnu; runs under qemu.
set(LINUX_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QEMU qemu-i386-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# Linked statically: under qemu-i386, glibc's dynamically linked
# pthread_create never returns, while the static one starts threads.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
