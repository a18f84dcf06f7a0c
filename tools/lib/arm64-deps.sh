#!/usr/bin/env bash
# What the arm64 build of the headless programs needs on this amd64 machine, in
# one place (tools/package.sh --arch arm64 and tools/test.sh call it):
#
#   tools/lib/arm64-deps.sh SYSROOT [--console]
#
# Installs with apt-get (once): the arm64 architecture, the cross compiler, qemu's
# user-mode emulator, and the arm64 libraries the programs and their tests link or
# run with. prometheus-cpp-dev:arm64 cannot stand beside the amd64 one (it depends
# on the civetweb program, which is not multi-arch), nor can libyaml-cpp-dev:arm64
# (not multi-arch at all), so their arm64 files (the CMake packages, the headers,
# the link-time .so) and their libraries are unpacked into SYSROOT, a folder private to the build, which the toolchain file
# (cmake/aarch64-linux-gnu.cmake) searches before /. The runtime libraries are
# installed as well, for qemu and for dpkg-shlibdeps. --console adds FLTK's arm64
# -dev with the X11 libraries under it (multi-arch, beside the amd64 ones).
set -euo pipefail

sysroot=${1:?usage: arm64-deps.sh SYSROOT [--console]}
run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive

packages=(
    crossbuild-essential-arm64 qemu-user-static
    libc6:arm64 libstdc++6:arm64
    libgtest-dev:arm64 libgmock-dev:arm64
    libcivetweb-dev:arm64 libcurl4-openssl-dev:arm64 zlib1g-dev:arm64
    libprometheus-cpp-core1.0:arm64 libprometheus-cpp-pull1.0:arm64 libprometheus-cpp-push1.0:arm64
    libssl-dev:arm64 libcpp-httplib-dev:arm64 libcrypt-dev:arm64 libyaml-cpp0.7:arm64
)
[ "${2:-}" != --console ] || packages+=(libfltk1.3-dev:arm64)
# Unpacked into SYSROOT instead of installed.
unpacked=(prometheus-cpp-dev libprometheus-cpp-core1.0 libprometheus-cpp-pull1.0 libprometheus-cpp-push1.0
          libyaml-cpp-dev libyaml-cpp0.7)

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    run dpkg --add-architecture arm64
    run apt-get update -q
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    run apt-get update -q
    run apt-get install -y -q "${missing[@]}"
fi

# The sysroot is made again when the versions apt offers change.
want=$(for p in "${unpacked[@]}"; do apt-cache policy "$p:arm64" | sed -n "s/^  Candidate: /$p /p"; done)
if [ -f "$sysroot/.versions" ] && [ "$(cat "$sysroot/.versions")" = "$want" ]; then
    exit 0
fi
rm -rf "$sysroot"
mkdir -p "$sysroot/debs"
# As root, apt fetches as its own user unless told otherwise, and that user
# cannot write here.
sandbox=()
[ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
(cd "$sysroot/debs" && apt-get download -q "${sandbox[@]}" "${unpacked[@]/%/:arm64}")
for deb in "$sysroot"/debs/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
done
rm -rf "$sysroot/debs"
printf '%s\n' "$want" >"$sysroot/.versions"
