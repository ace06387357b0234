# Cross build for 32-bit ARM with hardware floating point (armhf): older boards and handhelds.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LUMOSCAPE_TRIPLET arm-linux-gnueabihf)
set(LUMOSCAPE_DEBIAN_ARCH armhf)
set(LUMOSCAPE_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
