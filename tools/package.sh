#!/usr/bin/env bash
# Builds the release packages from this tree, installing what it needs first:
#
#   tools/package.sh   ->  out/zantrox_<version>_<arch>.deb   (console, zantrox-cli, zantrox-sim)
#                          out/zantrox-win64.zip              (tools/build-windows.sh)
#                          out/zantrox-<version>-win64.msi    (tools/build-msi.sh, the zip's files)
#
# The .deb is CPack's package of the CMake install rules (packaging/CMakeLists.txt),
# built with Debian's hardening flags; its dependencies come from dpkg-shlibdeps.
# PKG_BUILD_DIR (default build-pkg), WIN_BUILD_DIR (default build-pkg-win) and
# OUT_DIR (default out) may be set in the environment. tests/package/check_packages.sh
# checks what this makes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${PKG_BUILD_DIR:-$root/build-pkg}
win_build=${WIN_BUILD_DIR:-$root/build-pkg-win}
out=${OUT_DIR:-$root/out}
case $build in /*) ;; *) build=$root/$build ;; esac
case $win_build in /*) ;; *) win_build=$root/$win_build ;; esac
case $out in /*) ;; *) out=$root/$out ;; esac

"$root/tools/install-deps.sh"

# The man pages' dates and the archives' times: the release's date in the changelog.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH

# Debian's hardening flags (stack protector, fortified functions, full RELRO, PIE).
flags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)
flags="$flags $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)"
ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)

generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DZANTROX_WERROR=ON -DZANTROX_TESTS=OFF -DZANTROX_WIN_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags"
cmake --build "$build" -j"$(nproc)"

version=$(sed -n 's/^#define ZANTROX_VERSION "\(.*\)"$/\1/p' "$build/generated/zantrox_version.h")
logged=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Version)
if [ "$logged" != "$version" ]; then
    echo "package: the project is version $version, packaging/changelog's newest entry $logged;" \
         "add an entry for $version" >&2
    exit 1
fi

deb=zantrox_${version}_$(dpkg --print-architecture).deb
rm -f "$build/$deb"
(cd "$build" && cpack -G DEB) >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/zantrox_*.deb
cp "$build/$deb" "$out/$deb"
echo "package: wrote $out/$deb"
dpkg-deb --field "$out/$deb" Version Depends Installed-Size | sed 's/^/  /'

BUILD_DIR=$win_build OUT_DIR=$out "$root/tools/build-windows.sh"

# The Windows installer holds what the zip holds (build-windows.sh's staging folder).
rm -f "$out"/zantrox-*-win64.msi
"$root/tools/build-msi.sh" "$version" "$win_build/release" "$out/zantrox-$version-win64.msi"
