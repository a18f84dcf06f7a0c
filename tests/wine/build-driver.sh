#!/bin/sh
# Cross-builds the Wine test driver: build-driver.sh OUTPUT.exe
# Needs the MinGW-w64 cross compiler (Debian: g++-mingw-w64-x86-64).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build-driver.sh OUTPUT.exe}
cxx=${ZANTROX_MINGW_CXX:-}
if [ -z "$cxx" ]; then
    for candidate in x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++; do
        if command -v "$candidate" >/dev/null 2>&1; then cxx=$candidate; break; fi
    done
fi
[ -n "$cxx" ] || { echo "build-driver.sh: no x86_64-w64-mingw32-g++ found" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
exec "$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -static -static-libgcc -static-libstdc++ \
    -o "$out" "$here/driver.cpp" -luser32 -lversion -lwinmm
