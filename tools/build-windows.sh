#!/bin/sh
# Builds the Windows console on Linux with MinGW-w64 and packs the release:
#
#   tools/build-windows.sh            ->  out/zantrox-win64.zip (zantrox.exe, README.txt)
#
# Needs: cmake, g++-mingw-w64-x86-64 (x86_64-w64-mingw32-g++-win32, -windres,
# -objdump, -strip), zip; ninja is used when present. BUILD_DIR (default
# build-win) and OUT_DIR (default out) may be set in the environment.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-win}
out=${OUT_DIR:-$root/out}
prefix=x86_64-w64-mingw32

generator=
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
    generator="-G Ninja"
fi
# shellcheck disable=SC2086  # $generator is empty or two words on purpose
cmake -S "$root" -B "$build" $generator \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DZANTROX_WERROR=ON
cmake --build "$build" --target zantrox zantrox_device_check

exe="$build/console/win32/zantrox.exe"
stage="$build/release"
rm -rf "$stage"
mkdir -p "$stage" "$out"
cp "$exe" "$stage/zantrox.exe"
"$prefix-strip" "$stage/zantrox.exe"

# The program must run on a bare Windows: only system DLLs may be imported.
imports=$("$prefix-objdump" -p "$stage/zantrox.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
for dll in $imports; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
        kernel32.dll | user32.dll | gdi32.dll | msvcrt.dll) ;;
        *) echo "build-windows: zantrox.exe imports $dll, which Windows does not ship" >&2; exit 1 ;;
    esac
done

# README with Windows line ends, so Notepad shows it right everywhere.
sed 's/$/\r/' "$root/tools/windows-README.txt" > "$stage/README.txt"

zip="$out/zantrox-win64.zip"
rm -f "$zip"
(cd "$stage" && zip -q -X "$zip" zantrox.exe README.txt)
echo "build-windows: wrote $zip"
echo "  zantrox.exe $(wc -c < "$stage/zantrox.exe") bytes; imports: $imports"
