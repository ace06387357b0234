# Shared part of the cross toolchain files: Debian's cross compiler for the triplet, the
# target's -dev packages unpacked into the build tree (scripts/cross-sysroot), and its runtime
# libraries from the system's multiarch folder.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${LUMOSCAPE_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LUMOSCAPE_TRIPLET}-g++)

# The folder comes from the command line (make cross passes it); the checks CMake compiles
# on the side read this file again and must get the same folder.
if(NOT LUMOSCAPE_SYSROOT)
  message(FATAL_ERROR "cross builds need -DLUMOSCAPE_SYSROOT=FOLDER (see make cross)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMOSCAPE_SYSROOT)

# pkg-config looks only at the target's .pc files and prefixes their paths with the folder.
set(ENV{PKG_CONFIG_LIBDIR}
  "${LUMOSCAPE_SYSROOT}/usr/lib/${LUMOSCAPE_TRIPLET}/pkgconfig:${LUMOSCAPE_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${LUMOSCAPE_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

# The compiler's own sysroot holds the C library; the unpacked headers come after it.
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${LUMOSCAPE_SYSROOT}/usr/include/${LUMOSCAPE_TRIPLET} -isystem ${LUMOSCAPE_SYSROOT}/usr/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/${LUMOSCAPE_TRIPLET}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMOSCAPE_EMULATOR})
