# Cross-compiling the Windows console on Linux with Debian's MinGW-w64 packages
# (g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The result is one statically linked .exe that needs no DLL beyond Windows' own.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZANTROX_MINGW_PREFIX x86_64-w64-mingw32)

# The win32 thread model keeps winpthreads (and its DLL) out of the picture; the
# code uses _beginthread and SRW locks, never std::thread.
find_program(ZANTROX_MINGW_CXX NAMES ${ZANTROX_MINGW_PREFIX}-g++-win32 ${ZANTROX_MINGW_PREFIX}-g++ REQUIRED)
find_program(ZANTROX_MINGW_CC NAMES ${ZANTROX_MINGW_PREFIX}-gcc-win32 ${ZANTROX_MINGW_PREFIX}-gcc REQUIRED)
find_program(ZANTROX_MINGW_WINDRES NAMES ${ZANTROX_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_C_COMPILER ${ZANTROX_MINGW_CC})
set(CMAKE_CXX_COMPILER ${ZANTROX_MINGW_CXX})
set(CMAKE_RC_COMPILER ${ZANTROX_MINGW_WINDRES})

set(CMAKE_FIND_ROOT_PATH /usr/${ZANTROX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc/libstdc++ DLLs next to the program: everything of the compiler's
# runtime is linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
