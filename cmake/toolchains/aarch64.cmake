# 64-bit ARM (aarch64-linux-gnu), run through qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triplet aarch64-linux-gnu)
set(qemu aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
