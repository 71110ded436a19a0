# 32-bit x86 (i686-linux-gnu), run through qemu-i386.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(triplet i686-linux-gnu)
set(qemu i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
