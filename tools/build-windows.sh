#!/bin/sh
# Builds the Windows console on Linux with MinGW-w64 and packs the release:
#
#   tools/build-windows.sh            ->  out/zantrox-win64.zip (zantrox.exe, zantrox-cli.exe,
#                                         zantrox-extcap.exe, README.txt and the
#                                         Wireshark dissector zantrox.lua)
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
cmake --build "$build" --target zantrox zantrox_device_check zantrox-cli zantrox-extcap
programs="zantrox.exe zantrox-cli.exe zantrox-extcap.exe"

exe="$build/console/win32/zantrox.exe"
stage="$build/release"
rm -rf "$stage"
mkdir -p "$stage" "$out"
cp "$exe" "$stage/zantrox.exe"
cp "$build/cli/zantrox-cli.exe" "$stage/zantrox-cli.exe"
cp "$build/extcap/zantrox-extcap.exe" "$stage/zantrox-extcap.exe"
for program in $programs; do
    "$prefix-strip" "$stage/$program"
done

# The programs must run on a bare Windows: only system DLLs may be imported.
for program in $programs; do
    imports=$("$prefix-objdump" -p "$stage/$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
    for dll in $imports; do
        case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
            kernel32.dll | user32.dll | gdi32.dll | msvcrt.dll | winmm.dll | ws2_32.dll | setupapi.dll | advapi32.dll) ;;
            secur32.dll | crypt32.dll) ;;  # Schannel, for TLS network ports
            *) echo "build-windows: $program imports $dll, which Windows does not ship" >&2; exit 1 ;;
        esac
    done
    echo "  $program $(wc -c < "$stage/$program") bytes; imports: $imports"
done

# README with the version and Windows line ends, so Notepad shows it right everywhere.
version=$(sed -n 's/^#define ZANTROX_VERSION "\(.*\)"$/\1/p' "$build/generated/zantrox_version.h")
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$root/tools/windows-README.txt" > "$stage/README.txt"
# The dissector as it is: Wireshark reads Lua with either line end.
cp "$root/packaging/wireshark/zantrox.lua" "$stage/zantrox.lua"

zip="$out/zantrox-win64.zip"
rm -f "$zip"
# shellcheck disable=SC2086  # $programs is a list of names without blanks
(cd "$stage" && zip -q -X "$zip" $programs README.txt zantrox.lua)
echo "build-windows: wrote $zip ($programs README.txt zantrox.lua)"
