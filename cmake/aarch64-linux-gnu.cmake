# Cross-building for arm64 (aarch64) Debian on an amd64 Debian machine, with
# crossbuild-essential-arm64 and the arm64 libraries installed beside the native
# ones (multiarch): tools/lib/arm64-deps.sh installs them.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake [-DZANTROX_ARM64_SYSROOT=DIR] ...
#
# ZANTROX_ARM64_SYSROOT is a folder of arm64 packages unpacked for the build
# (those that cannot be installed beside their amd64 twins); it is searched first.
# Programs built here run under qemu-aarch64-static: tests and generators use
# CMAKE_CROSSCOMPILING_EMULATOR. qemu runs them without -L, against the multiarch
# libc6:arm64 in /usr/lib/aarch64-linux-gnu (with the cross toolchain's own
# loader as well, every thread start spins).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(ZANTROX_ARM64_SYSROOT "" CACHE PATH "arm64 packages unpacked for this build (searched before /)")
set(CMAKE_FIND_ROOT_PATH ${ZANTROX_ARM64_SYSROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the arm64 .pc files only (there is no aarch64-linux-gnu-pkg-config).
set(ENV{PKG_CONFIG_LIBDIR}
    "${ZANTROX_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")

find_program(ZANTROX_QEMU_AARCH64 qemu-aarch64-static)
if(ZANTROX_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ZANTROX_QEMU_AARCH64})
endif()

# Where Debian keeps arm64 libraries, and so where Wireshark's arm64 build looks
# for its plugins: GNUInstallDirs leaves the multiarch folder out when cross-compiling.
set(CMAKE_INSTALL_LIBDIR lib/aarch64-linux-gnu CACHE PATH "object code libraries")
# Debian's FLTK (fltk-config and its CMake files) asks dpkg-architecture for the
# multiarch folder.
set(ENV{DEB_HOST_MULTIARCH} aarch64-linux-gnu)
set(ENV{DEB_HOST_GNU_TYPE} aarch64-linux-gnu)
