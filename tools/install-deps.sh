#!/usr/bin/env bash
# Installs the Debian packages the build, the console and the tests need.
# Only missing packages are installed; as root directly, otherwise through sudo.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    libgtest-dev libgmock-dev
    libfltk1.3-dev
    libcli11-dev nlohmann-json3-dev python3 libxml2-utils
    xvfb xdotool x11-apps x11-utils imagemagick fonts-dejavu-core
    clang libclang-rt-14-dev
    g++-mingw-w64-x86-64 wine64 wine fonts-wine zip
    libssl-dev openssl
    libgnutls30  # Wine's Schannel (TLS URLs under Wine) loads it at run time; wine only recommends it
    dpkg-dev file help2man lintian desktop-file-utils unzip
    ser2net
    tshark
    wixl msitools
    prometheus prometheus-cpp-dev libcivetweb-dev
    libcpp-httplib-dev libyaml-cpp-dev libcrypt-dev openssl curl apache2-utils
    libtomlplusplus-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether non-root users may capture; the tests only read files.
echo "wireshark-common wireshark-common/install-setuid boolean false" | run debconf-set-selections
run apt-get update -q
run apt-get install -y -q "${missing[@]}"
