# big-endian IBM Z (s390x-linux-gnu), run through qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(triplet s390x-linux-gnu)
set(qemu s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
