#!/bin/sh
# Builds the Windows installer from packaging/zantrox.wxs with wixl (Debian: wixl,
# msitools):
#
#   tools/build-msi.sh VERSION STAGE OUT.msi
#
# STAGE holds zantrox.exe, zantrox-cli.exe, zantrox-extcap.exe, README.txt and
# zantrox.lua (tools/build-windows.sh stages them in
# BUILD/release, and the zip holds the same); VERSION is the project's (x.y.z). wixl does not
# know the Environment element, so the system PATH entry for the install folder is
# added here with msibuild: an Environment row and the two actions that write and
# remove it.
set -eu

if [ $# -ne 3 ]; then
    echo "usage: tools/build-msi.sh VERSION STAGE OUT.msi" >&2
    exit 2
fi
version=$1
stage=$2
msi=$3
root=$(cd "$(dirname "$0")/.." && pwd)

case $version in
    *[!0-9.]* | "" | .* | *. | *..*) echo "build-msi: version $version is not numbers and dots" >&2; exit 1 ;;
esac
files="zantrox.exe zantrox-cli.exe zantrox-extcap.exe README.txt zantrox.lua"
for f in $files; do
    [ -f "$stage/$f" ] || { echo "build-msi: $stage/$f is missing" >&2; exit 1; }
done
extcap="-D Extcap=1"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zantrox-msi.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

case $msi in /*) ;; *) msi=$(pwd)/$msi ;; esac
rm -f "$msi"
# wixl takes sources by relative names only: the files are linked into the work folder.
mkdir "$tmp/stage"
for f in $files; do
    ln -s "$(cd "$stage" && pwd)/$f" "$tmp/stage/$f"
done
ln -s "$root/console/win32/zantrox.ico" "$tmp/zantrox.ico"
cp "$root/packaging/zantrox.wxs" "$tmp/zantrox.wxs"
# shellcheck disable=SC2086  # $extcap is empty or two words on purpose
(cd "$tmp" && wixl -a x64 -D "Version=$version" -D Stage=stage -D Icon=zantrox.ico $extcap -o "$msi" zantrox.wxs)

# Environment: '=' sets it on install, '-' takes it away on removal, '*' the
# system's variable; [~] keeps what PATH holds. The folder goes at the front: taken
# from the end, Wine's msi leaves the separator behind (PATH ends in ';', and an
# upgrade then leaves an empty entry that stops cmd's search). The folder holds
# only these programs, the README and the dissector, so nothing of Windows' is
# shadowed.
{
    printf 'Environment\tName\tValue\tComponent_\r\n'
    printf 's72\tl255\tL255\ts72\r\n'
    printf 'Environment\tEnvironment\r\n'
    printf 'CliOnPath\t=-*PATH\t[INSTALLDIR];[~]\tCli\r\n'
} >"$tmp/Environment.idt"

(cd "$tmp" && msiinfo export "$msi" InstallExecuteSequence >InstallExecuteSequence.idt)
for row in 'RemoveEnvironmentStrings		3300' 'WriteEnvironmentStrings		5200'; do
    action=${row%%	*}
    grep -q "^$action	" "$tmp/InstallExecuteSequence.idt" ||
        printf '%s\r\n' "$row" >>"$tmp/InstallExecuteSequence.idt"
done
(cd "$tmp" && msibuild "$msi" -i Environment.idt InstallExecuteSequence.idt)

echo "build-msi: wrote $msi ($version)"
