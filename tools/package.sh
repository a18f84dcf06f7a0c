#!/usr/bin/env bash
# Builds the release packages from this tree, installing what it needs first:
#
#   tools/package.sh   ->  out/zantrox-cli_<version>_<arch>.deb  (zantrox-cli, zantrox-sim, extcap,
#                                                              dissector, systemd unit, rules, dashboard)
#                          out/zantrox_<version>_<arch>.deb      (the console; depends on zantrox-cli)
#                          out/zantrox-win64.zip                 (tools/build-windows.sh)
#                          out/zantrox-<version>-win64.msi       (tools/build-msi.sh, the zip's files)
#
#   tools/package.sh --arch arm64 [--console] [--unit-tests]
#                      ->  out/zantrox-cli_<version>_arm64.deb   (cross-built on this amd64 machine)
#                          out/zantrox_<version>_arm64.deb       (with --console)
#
# The .debs are CPack's packages of the CMake install rules (packaging/CMakeLists.txt),
# built with Debian's hardening flags; their dependencies come from dpkg-shlibdeps.
#
# --arch arm64 installs the cross toolchain, qemu and the arm64 libraries
# (tools/lib/arm64-deps.sh), builds the native programs for their man pages
# (help2man cannot run arm64 programs), then cross-builds the headless package
# without the console (cmake/aarch64-linux-gnu.cmake). --console builds the
# console's package as well (FLTK's arm64 -dev and its X11 libraries are installed
# for it). --unit-tests also builds the unit tests for arm64 and runs them under
# qemu-aarch64-static.
#
# PKG_BUILD_DIR (default build-pkg), ARM64_BUILD_DIR (default build-pkg-arm64),
# WIN_BUILD_DIR (default build-pkg-win) and OUT_DIR (default out) may be set in the
# environment. tests/package/check_packages.sh checks what this makes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${PKG_BUILD_DIR:-$root/build-pkg}
win_build=${WIN_BUILD_DIR:-$root/build-pkg-win}
out=${OUT_DIR:-$root/out}
case $build in /*) ;; *) build=$root/$build ;; esac
case $win_build in /*) ;; *) win_build=$root/$win_build ;; esac
arm64_build=${ARM64_BUILD_DIR:-$root/build-pkg-arm64}
case $out in /*) ;; *) out=$root/$out ;; esac
case $arm64_build in /*) ;; *) arm64_build=$root/$arm64_build ;; esac

arch=
unit_tests=0
console=0
while [ $# -gt 0 ]; do
    case $1 in
        --arch) arch=${2:-}; shift 2 || { echo "package: --arch needs an architecture" >&2; exit 2; } ;;
        --arch=*) arch=${1#--arch=}; shift ;;
        --unit-tests) unit_tests=1; shift ;;
        --console) console=1; shift ;;
        *) echo "usage: tools/package.sh [--arch arm64 [--console] [--unit-tests]]" >&2; exit 2 ;;
    esac
done
case $arch in
    ''|"$(dpkg --print-architecture)") arch= ;;
    arm64) ;;
    *) echo "package: --arch: only arm64 is cross-built (not $arch)" >&2; exit 2 ;;
esac
[ -n "$arch" ] || [ $((unit_tests + console)) -eq 0 ] ||
    { echo "package: --unit-tests and --console go with --arch arm64" >&2; exit 2; }

"$root/tools/install-deps.sh"

# The man pages' dates and the archives' times: the release's date in the changelog.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH

# without_g FLAGS: FLAGS less -g. The packages' programs are stripped
# (CPACK_STRIP_FILES), so Debian's -g would be compiled only to be thrown away; it
# changes no generated code, and leaving it out takes a fifth off the build.
without_g() { local f=" $1 "; f=${f// -g / }; f=${f# }; printf '%s' "${f% }"; }
# Debian's hardening flags (stack protector, fortified functions, full RELRO, PIE).
flags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)
flags=$(without_g "$flags $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)")
ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)

generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DZANTROX_WERROR=ON -DZANTROX_TESTS=OFF -DZANTROX_WIN_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags"
if [ -n "$arch" ]; then
    # Only what the man pages need: the native zantrox-cli and zantrox-sim.
    cmake --build "$build" -j"$(nproc)" --target zantrox_install_data
else
    cmake --build "$build" -j"$(nproc)"
fi

version=$(sed -n 's/^#define ZANTROX_VERSION "\(.*\)"$/\1/p' "$build/generated/zantrox_version.h")
logged=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Version)
if [ "$logged" != "$version" ]; then
    echo "package: the project is version $version, packaging/changelog's newest entry $logged;" \
         "add an entry for $version" >&2
    exit 1
fi

mkdir -p "$out"

# cpack_debs BUILD ARCH: the packages of BUILD into OUT_DIR, replacing those of
# that architecture. dpkg-shlibdeps looks for the libraries (and picks its objdump)
# by the architecture dpkg-architecture names as the host.
cpack_debs() {
    local build=$1 arch=$2 deb cc=gcc
    [ "$arch" != arm64 ] || cc=aarch64-linux-gnu-gcc
    rm -f "$build"/zantrox*_"$arch".deb
    (cd "$build" && CC=$cc dpkg-architecture -a"$arch" -c cpack -G DEB) >"$build/cpack.log" 2>&1 ||
        { cat "$build/cpack.log" >&2; exit 1; }
    rm -f "$out"/zantrox_*_"$arch".deb "$out"/zantrox-cli_*_"$arch".deb
    for deb in "$build"/zantrox*_"${version}_$arch".deb; do
        [ -f "$deb" ] || { echo "package: cpack made no $arch package" >&2; exit 1; }
        cp "$deb" "$out/"
        echo "package: wrote $out/$(basename "$deb")"
        dpkg-deb --field "$deb" Architecture Version Depends Installed-Size | sed 's/^/  /'
    done
}

if [ "$arch" = arm64 ]; then
    rm -f "$out"/zantrox*_arm64.deb   # none of an older build stands in for a failed one
    sysroot=$arm64_build/sysroot
    deps_args=()
    [ $console -eq 0 ] || deps_args=(--console)
    "$root/tools/lib/arm64-deps.sh" "$sysroot" "${deps_args[@]}"
    # Debian's hardening flags as they are for arm64 (branch protection besides).
    arm64_flags() {
        CC=aarch64-linux-gnu-gcc DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-architecture -aarm64 -c \
            dpkg-buildflags --get "$1"
    }
    aflags=$(without_g "$(arm64_flags CPPFLAGS) $(arm64_flags CXXFLAGS)")
    aldflags=$(arm64_flags LDFLAGS)
    with_console=OFF
    [ $console -eq 0 ] || with_console=ON
    tests=OFF
    [ $unit_tests -eq 0 ] || tests=ON
    generator=()
    if [ ! -f "$arm64_build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
        generator=(-G Ninja)
    fi
    cmake -S "$root" -B "$arm64_build" "${generator[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DZANTROX_ARM64_SYSROOT="$sysroot" \
        -DCMAKE_BUILD_TYPE=Release -DZANTROX_WERROR=ON -DZANTROX_CONSOLE=$with_console -DZANTROX_TESTS=$tests \
        -DZANTROX_WIN_TESTS=OFF -DZANTROX_MAN_PAGES_FROM="$build" \
        -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS=$aflags" "-DCMAKE_EXE_LINKER_FLAGS=$aldflags"
    if [ $unit_tests -eq 1 ]; then
        cmake --build "$arm64_build" -j"$(nproc)" --target all zantrox_unit_tests
        # Under qemu, as the tests run natively (the emulator comes from the toolchain file).
        (cd "$arm64_build" && ctest --output-on-failure --timeout 600 -j3 -L unit)
    else
        cmake --build "$arm64_build" -j"$(nproc)"
    fi
    # dpkg-shlibdeps reads the arm64 libraries' symbols from the dpkg database.
    cpack_debs "$arm64_build" arm64
    exit 0
fi

cpack_debs "$build" "$(dpkg --print-architecture)"

BUILD_DIR=$win_build OUT_DIR=$out "$root/tools/build-windows.sh"

# The Windows installer holds what the zip holds (build-windows.sh's staging folder).
rm -f "$out"/zantrox-*-win64.msi
"$root/tools/build-msi.sh" "$version" "$win_build/release" "$out/zantrox-$version-win64.msi"
