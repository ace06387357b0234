# Cross build for 64-bit ARM (arm64): handhelds and boards such as the Raspberry Pi 3 and later.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LUMOSCAPE_TRIPLET aarch64-linux-gnu)
set(LUMOSCAPE_DEBIAN_ARCH arm64)
set(LUMOSCAPE_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
