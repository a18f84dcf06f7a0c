#!/usr/bin/env bash
# Checks the packages tools/package.sh made, the way a user gets them:
#   the two .debs, zantrox-cli (headless) and zantrox (the console): lintian on
#     each (no errors; its other tags are printed), their files (each file in one
#     package), their computed dependencies (nothing of X11 or FLTK for
#     zantrox-cli), the console's desktop entry (desktop-file-validate); then they
#     are installed with apt-get over a stand-in for the single zantrox package of
#     2.1.0 (files move to zantrox-cli without a conflict), the programs are run
#     from /usr/bin, the installed console is started under Xvfb against the
#     installed simulator (its window is found by its title and a hot key reaches
#     the simulator), and both are removed again at the end whatever happened;
#   an arm64 zantrox-cli, when tools/package.sh --arch arm64 made one (and the arm64
#     console, when --console made it: lintian, its dependency): lintian, its
#     files where arm64 Debian keeps them, arm64 programs; unpacked, its programs
#     run under qemu-aarch64-static against its own simulator
#     (tests/package/programs_smoke.sh; ARM64_SMOKE=0 leaves that to the caller:
#     tools/test.sh runs it alone, as its 100 ms windows want);
#   Wireshark's files in the .deb: the dissector in Wireshark's global Lua plugin
#     folder and the extcap program in its extcap folder (the folders tshark -G
#     folders names), with their modes; tshark loads the dissector from the
#     unpacked package as a user's plugin folder and, once the package is
#     installed, from the global folder, and dissects a capture text2pcap made;
#   the zip: exactly the expected files, every program a Windows executable that
#     imports only DLLs Windows ships, the README with Windows line ends;
#   the MSI, in a fresh Wine prefix: msiexec /i /qn installs the zip's files into
#     Program Files with a Start-menu shortcut and zantrox-cli on the system PATH;
#     an installer one version up (tools/build-msi.sh) replaces it and the older one
#     then refuses to go over it; msiexec /x /qn removes it, leaving no file,
#     shortcut, PATH entry or registration.
#
# usage: tests/package/check_packages.sh [OUT_DIR]      (default: out)
# Needs root or sudo (apt-get), lintian, desktop-file-utils, Xvfb, xdotool, xprop,
# unzip, MinGW-w64's objdump, Wine, wixl, msitools and tshark (with text2pcap):
# tools/install-deps.sh installs them.
# Exit status: 0 when every check passed, 1 otherwise.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tools/lib/harness.sh
. "$root/tools/lib/harness.sh"

out=$(cd "${1:-$root/out}" && pwd) || exit 1
TITLE_PATTERN='^Zantrox Test Utility \[2\.00\]  -  Mar 30 2016$'
# Windows' own DLLs a program of this kind may import; anything else (the
# compiler's runtime DLLs above all) would have to be shipped next to it.
WINDOWS_DLLS=' kernel32.dll user32.dll gdi32.dll msvcrt.dll winmm.dll advapi32.dll shell32.dll
 comdlg32.dll comctl32.dll ole32.dll oleaut32.dll ws2_32.dll setupapi.dll cfgmgr32.dll
 bcrypt.dll ntdll.dll shlwapi.dll version.dll secur32.dll crypt32.dll '

passed=0
failed=0
# check WHAT COMMAND...: runs COMMAND (in this shell, so the processes it starts
# are tracked) and counts it; its output is shown when it fails.
check() {
    local what=$1
    shift
    if "$@" >"$work/check.out" 2>&1; then
        passed=$((passed + 1))
        echo "ok    $what"
    else
        failed=$((failed + 1))
        echo "FAIL  $what"
        sed 's/^/      /' "$work/check.out" | tail -30
        return 1
    fi
}
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
contains() { grep -qF -- "$2" <<<"$1"; }

work=
make_work_dir work package || exit 1


# Where Wireshark looks for every user's Lua plugins and for extcap programs, as
# Debian's tshark says; without tshark, where Debian's Wireshark has them.
wireshark_folder() {
    local folder
    folder=$(tshark -G folders 2>/dev/null | sed -n "s/^$1:[[:space:]]*//p" | sed 's|/*$||')
    [ -n "$folder" ] || folder=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/$2
    printf '%s\n' "$folder"
}
lua_plugins=$(wireshark_folder 'Global Lua Plugins' plugins)
extcap_folder=$(wireshark_folder 'Extcap path' extcap)

# --- the Debian packages, as built ----------------------------------------------

native=$(dpkg --print-architecture)
# one_deb PATTERN: the single file matching PATTERN, else a failure and exit.
one_deb() {
    local debs
    mapfile -t debs < <(compgen -G "$1")
    if [ ${#debs[@]} -ne 1 ]; then
        echo "FAIL  exactly one $1 (found: ${debs[*]})" >&2
        exit 1
    fi
    printf '%s\n' "${debs[0]}"
}
deb=$(one_deb "$out/zantrox_*_$native.deb") || exit 1
cli_deb=$(one_deb "$out/zantrox-cli_*_$native.deb") || exit 1
version=$(dpkg-deb --field "$deb" Version)
echo "checking $deb and $cli_deb (version $version)"

check "packages named after their version and architecture" \
    test "$(basename "$deb") $(basename "$cli_deb")" = \
         "zantrox_${version}_$(dpkg-deb --field "$deb" Architecture).deb zantrox-cli_${version}_$(dpkg-deb --field "$cli_deb" Architecture).deb"
check "package version is the project's (packaging/changelog), the same in both" \
    test "$version/$(dpkg-deb --field "$cli_deb" Version)" = \
         "$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Version)/$version"

# lintian_clean DEB: no error from lintian; what it says is in $work/lintian.txt.
lintian_clean() {
    local tags
    tags=$(lintian --pedantic --display-info "$1" 2>&1)
    local status=$?
    tags=$(grep -v '^running with root privileges' <<<"$tags")
    [ -z "$tags" ] || printf '%s\n' "$tags" >"$work/lintian.txt"
    [ $status -eq 0 ] && ! grep -q '^E: ' <<<"$tags"
}
# lintian_check DEB: lintian_clean counted, its other tags shown.
lintian_check() {
    rm -f "$work/lintian.txt"
    check "lintian $(basename "$1"): no errors" lintian_clean "$1"
    if [ -s "$work/lintian.txt" ]; then
        echo "      lintian says:"
        sed 's/^/        /' "$work/lintian.txt"
    fi
}
lintian_check "$cli_deb"
lintian_check "$deb"

# contents_of DEB: the package's paths, one a line, from /.
contents_of() { dpkg-deb --contents "$1" | awk '{ print $NF }' | sed 's|^\./|/|'; }
contents=$(contents_of "$deb")
cli_contents=$(contents_of "$cli_deb")
programs=(zantrox zantrox-sim zantrox-cli)
console_expected=(/usr/bin/zantrox /usr/share/man/man1/zantrox.1.gz
                  /usr/share/applications/zantrox.desktop
                  /usr/share/icons/hicolor/32x32/apps/zantrox.png
                  /usr/share/icons/hicolor/48x48/apps/zantrox.png
                  /usr/share/icons/hicolor/256x256/apps/zantrox.png
                  /usr/share/icons/hicolor/scalable/apps/zantrox.svg
                  /usr/share/doc/zantrox/copyright
                  /usr/share/doc/zantrox/changelog.gz)
# cli_expected MULTIARCH: the headless package's files, Wireshark's in that multiarch folder.
cli_expected() {
    local p
    printf '%s\n' /usr/share/doc/zantrox-cli/copyright \
                  /usr/share/doc/zantrox-cli/changelog.gz \
                  /usr/lib/systemd/system/zantrox-tap@.service \
                  /usr/share/doc/zantrox-cli/examples/tap-example.conf \
                  /usr/share/doc/zantrox-cli/examples/web-config.example.yml \
                  /usr/share/zantrox/prometheus/zantrox.rules.yml \
                  /usr/share/zantrox/grafana/zantrox-dashboard.json \
                  "/usr/lib/$1/wireshark/plugins/zantrox.lua" "/usr/lib/$1/wireshark/extcap/zantrox-extcap"
    for p in zantrox-cli zantrox-sim; do
        printf '%s\n' "/usr/bin/$p" "/usr/share/man/man1/$p.1.gz"
    done
}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# holds CONTENTS FILE...: every FILE is in CONTENTS.
holds() {
    local list=$1 f gone=0
    shift
    for f in "$@"; do
        grep -qxF -- "$f" <<<"$list" || { echo "missing: $f"; gone=1; }
    done
    return $gone
}
mapfile -t cli_files < <(cli_expected "$multiarch")
check "zantrox-cli holds zantrox-cli, zantrox-sim, their man pages, Wireshark's files, the unit, rules, dashboard" \
    holds "$cli_contents" "${cli_files[@]}"
check "zantrox holds the console, its man page, desktop entry, icons, copyright, changelog" \
    holds "$contents" "${console_expected[@]}"
check "Wireshark's files where this tshark looks: $lua_plugins, $extcap_folder" \
    holds "$cli_contents" "$lua_plugins/zantrox.lua" "$extcap_folder/zantrox-extcap"
# No file in both packages (folders may be shared).
no_shared_file() {
    local shared
    shared=$(comm -12 <(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort) \
                      <(dpkg-deb --contents "$cli_deb" | awk '$1 !~ /^d/ { print $NF }' | sort))
    [ -z "$shared" ] || { echo "in both packages:"; echo "$shared"; return 1; }
}
check "no file in both packages" no_shared_file
# mode DEB FILE: the permissions and owner dpkg-deb lists for FILE in the package.
mode() { dpkg-deb --contents "$1" | awk -v f=".$2" '$NF == f { print $1, $2 }'; }
check "the dissector: $lua_plugins/zantrox.lua, -rw-r--r-- root/root" \
    test "$(mode "$cli_deb" "$lua_plugins/zantrox.lua")" = "-rw-r--r-- root/root"
check "the extcap program: $extcap_folder/zantrox-extcap, -rwxr-xr-x root/root" \
    test "$(mode "$cli_deb" "$extcap_folder/zantrox-extcap")" = "-rwxr-xr-x root/root"
console_depends() {
    local depends
    depends=$(dpkg-deb --field "$deb" Depends)
    grep -Eq "zantrox-cli \(= $version\)" <<<"$depends" && grep -Eq 'libfltk1\.3' <<<"$depends" &&
        grep -Eq 'libc6' <<<"$depends" || { echo "Depends: $depends"; return 1; }
}
check "zantrox depends on zantrox-cli (= $version), libfltk and libc (computed)" console_depends
# headless DEB: the package needs libc and nothing of a display.
headless() {
    local depends
    depends=$(dpkg-deb --field "$1" Depends)
    grep -q 'libc6' <<<"$depends" || { echo "no libc6 in: $depends"; return 1; }
    ! grep -Eqi 'fltk|libx11|libxft|libxext|libxrender|libxinerama|libxfixes|libxcursor|libxcb|wayland|gtk|libqt' <<<"$depends" || { echo "a display's library in: $depends"; return 1; }
}
check "zantrox-cli needs no display (Depends: $(dpkg-deb --field "$cli_deb" Depends))" headless "$cli_deb"
# takes_over DEB: Replaces and Breaks name the single package of before the split.
takes_over() {
    [ "$(dpkg-deb --field "$1" Replaces)" = "zantrox (<< 2.2.0~)" ] &&
        [ "$(dpkg-deb --field "$1" Breaks)" = "zantrox (<< 2.2.0~)" ]
}
check "zantrox-cli replaces and breaks zantrox (<< 2.2.0~)" takes_over "$cli_deb"

dpkg-deb -x "$deb" "$work/deb" || exit 1
dpkg-deb -x "$cli_deb" "$work/deb" || exit 1
check "desktop-file-validate: clean" desktop-file-validate "$work/deb/usr/share/applications/zantrox.desktop"
desktop_field() { sed -n "s/^$1=//p" "$work/deb/usr/share/applications/zantrox.desktop"; }
check "desktop entry: no terminal, the console's icon and program" \
    test "$(desktop_field Terminal)/$(desktop_field Icon)/$(desktop_field Exec)" = "false/zantrox/zantrox"

# A capture made by Wireshark's own text2pcap, not by our writer: a request, its
# ACK and its reply as exported PDUs for the dissector "zantrox" (-P), each the
# line's bytes and the 8-byte trailer (microseconds from the first byte to the
# last, kind, version 1, length 8); O outbound (host), I inbound (controller).
printf '%s\n' 'O 10:30:01.000000 0242303745484d5324564c5054033b000038fc02010008' \
              'I 10:30:01.014888 060000000001010008' \
              'I 10:30:01.019888 0262303745303030313233340313000034ea02010008' >"$work/capture.txt"
capture=$work/capture.pcapng
wireshark_ok=0
if [ -n "$(missing_tools tshark text2pcap)" ]; then
    failed=$((failed + 1))
    echo "FAIL  Wireshark checks: not installed: $(missing_tools tshark text2pcap)"
elif text2pcap -q -P zantrox -t '%H:%M:%S.%f' -r '^(?<dir>[IO]) (?<time>[0-9:.]+) (?<data>[0-9a-f]+)$' \
        "$work/capture.txt" "$capture" >"$work/text2pcap.log" 2>&1; then
    wireshark_ok=1
else
    failed=$((failed + 1))
    echo "FAIL  text2pcap made no capture:"
    sed 's/^/      /' "$work/text2pcap.log"
fi
# dissected HOME: tshark, with that HOME for its personal plugin folder, reads the
# capture without -X: the dissector must come from a plugin folder, load without a
# Lua error, and name, judge and pair the three pieces.
dissected() {
    local out want
    out=$(HOME=$1 tshark -2 -R frame -r "$capture" -T fields -e frame.protocols -e zantrox.kind \
          -e zantrox.text -e zantrox.checksum.status -e zantrox.request_in -e _ws.col.Info 2>"$work/tshark.err")
    if grep -v '^Running as user' "$work/tshark.err" | grep -q .; then
        echo "tshark complained:"; cat "$work/tshark.err"; return 1
    fi
    # shellcheck disable=SC2016  # a dollar sign of the frame's text, not an expansion
    want=$(printf '%s\t%s\t%s\t%s\t%s\t%s\n' \
        exported_pdu:zantrox frame 'B07EHMS$VLPT' 1 '' 'host >  frame  (CheckSum = OK)     [02]B07EHMS$VLPT [03];' \
        exported_pdu:zantrox ack '' '' 1 '< ctrl  ACK' \
        exported_pdu:zantrox frame b07E0001234 1 1 '< ctrl  frame  (CheckSum = OK)     [02]b07E0001234 [03] [13]')
    [ "$out" = "$want" ] || { printf 'tshark gave:\n%s\nexpected:\n%s\n' "$out" "$want"; return 1; }
}
# The unpacked package's plugin folder as a user's own (~/.local/lib/wireshark/plugins).
dissected_from_package_tree() {
    local home=$work/wireshark-home
    [ -d "$work/deb$lua_plugins" ] || { echo "no $lua_plugins in the package"; return 1; }
    mkdir -p "$home/.local/lib/wireshark"
    ln -sfn "$work/deb$lua_plugins" "$home/.local/lib/wireshark/plugins"
    dissected "$home"
}
if [ $wireshark_ok -eq 1 ]; then
    check "tshark with the unpacked package's plugin folder dissects a capture" dissected_from_package_tree
fi

# --- installed -------------------------------------------------------------------

export DEBIAN_FRONTEND=noninteractive
apt_get() { as_root apt-get -q -y -o DPkg::Lock::Timeout=120 "$@"; }
is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
remove_packages() {
    local p
    for p in zantrox zantrox-cli; do
        if is_installed "$p"; then
            apt_get remove "$p" >"$work/remove.log" 2>&1 || { echo "apt-get remove $p failed:"; cat "$work/remove.log"; }
        fi
    done
}
at_exit remove_packages   # whatever happens from here on

# The single package of 2.1.0, as far as an upgrade sees it: zantrox with files
# that are zantrox-cli's now. Installing the split packages over it must move
# them without dpkg refusing to overwrite.
old_single_package() {
    local tree=$work/old-zantrox f
    mkdir -p "$tree/DEBIAN"
    for f in /usr/bin/zantrox /usr/bin/zantrox-cli /usr/bin/zantrox-sim /usr/share/man/man1/zantrox-cli.1.gz \
             /usr/lib/systemd/system/zantrox-tap@.service /usr/share/doc/zantrox/examples/tap-example.conf \
             "$lua_plugins/zantrox.lua" "$extcap_folder/zantrox-extcap"; do
        mkdir -p "$tree$(dirname "$f")"
        echo "zantrox 2.1.0" >"$tree$f"
    done
    printf '%s\n' "Package: zantrox" "Version: 2.1.0" "Architecture: $native" \
        "Maintainer: Zantrox developers <zantrox@example.invalid>" \
        "Description: test console for a fuel-dispenser controller (2.1.0, one package)" >"$tree/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$tree" "$work/zantrox_2.1.0_$native.deb" >/dev/null &&
        apt_get install "$work/zantrox_2.1.0_$native.deb"
}
installed=0
if check "the single zantrox 2.1.0 installed (a stand-in)" old_single_package; then
    upgraded() {
        apt_get install "$cli_deb" "$deb" || return 1
        [ "$(dpkg-query -W -f='${Version}' zantrox)/$(dpkg-query -W -f='${Version}' zantrox-cli)" = "$version/$version" ] ||
            { echo "installed: zantrox $(dpkg-query -W -f='${Version}' zantrox)"; return 1; }
        [ "$(dpkg -S /usr/bin/zantrox-cli)" = "zantrox-cli: /usr/bin/zantrox-cli" ] || { dpkg -S /usr/bin/zantrox-cli; return 1; }
        # What 2.1.0 had and 2.2.0 does not is gone.
        [ ! -e /usr/share/doc/zantrox/examples/tap-example.conf ] || { echo "2.1.0's example conf stayed"; return 1; }
        grep -q '^zantrox 2.1.0$' /usr/bin/zantrox-cli && { echo "2.1.0's zantrox-cli stayed"; return 1; }
        return 0
    }
    check "apt-get install ./$(basename "$cli_deb") ./$(basename "$deb") over it: files move to zantrox-cli" upgraded &&
        installed=1
fi

if [ $installed -eq 1 ]; then
    sim_help() { /usr/bin/zantrox-sim --help | grep -q 'zantrox-sim'; }
    check "zantrox-sim --help (from /usr/bin)" sim_help
    check "zantrox-sim --version says $version" test "$(/usr/bin/zantrox-sim --version)" = "zantrox-sim $version"
    cli_version() { /usr/bin/zantrox-cli --version | grep -qF -- "$version"; }
    check "zantrox-cli --version says $version (from /usr/bin)" cli_version
    check "man pages found by man" man -w "${programs[@]}"
    if [ $wireshark_ok -eq 1 ]; then
        mkdir -p "$work/empty-home"
        check "installed: tshark finds the dissector in its global plugin folder" dissected "$work/empty-home"
    fi
    extcap_lists() { "$extcap_folder/zantrox-extcap" --extcap-interfaces | grep -q '^extcap {version='; }
    check "installed: zantrox-extcap --extcap-interfaces answers as an extcap" extcap_lists

    # The console, as the menu starts it, against the simulator in a temporary HOME.
    console_runs() {
        local missing window wm_class
        missing=$(missing_tools Xvfb xdotool xprop)
        [ -z "$missing" ] || { echo "not installed: $missing"; return 1; }
        start_xvfb "$work/xvfb.log" || { echo "Xvfb did not start"; return 1; }
        local HOME="$work/home"
        export HOME
        mkdir -p "$HOME"
        start_sim /usr/bin/zantrox-sim "$work/sim" --com 1 --log "$work/sim.log" ||
            { echo "simulator did not start (status $SIM_STATUS)"; cat "$work/sim.err"; return 1; }
        (cd "$HOME" && exec "$(command -v "$(desktop_field Exec)")") >"$work/console.out" 2>&1 &
        local console=$!
        track_pid "$console"
        window=$(find_window "$TITLE_PATTERN" 10)
        [ -n "$window" ] || { echo "no window titled like $TITLE_PATTERN"; cat "$work/console.out"; return 1; }
        # The desktop entry's StartupWMClass is what the window calls itself.
        wm_class=$(xprop -id "$window" WM_CLASS)
        contains "$wm_class" "\"$(desktop_field StartupWMClass)\"" ||
            { echo "WM_CLASS $wm_class does not match the desktop entry"; return 1; }
        # A hot key reaches the simulator: S sends the status request.
        xdotool windowfocus --sync "$window" && xdotool key --clearmodifiers s || return 1
        # shellcheck disable=SC2317  # called through wait_for
        status_seen() { grep -qP '\tok\tFE$' "$work/sim.log"; }
        wait_for 10 status_seen || { echo "the simulator saw no status request:"; cat "$work/sim.log"; return 1; }
        stop_pid "$console"
        stop_pid "$SIM_PID"
    }
    check "installed console: window under its title, talks to the simulator" console_runs
fi

# --- the Windows zip ---------------------------------------------------------------

zip=$out/zantrox-win64.zip
zip_files() {
    local want got
    local names=(README.txt zantrox.exe zantrox.lua zantrox-cli.exe zantrox-extcap.exe)
    want=$(printf '%s\n' "${names[@]}" | sort)
    got=$(unzip -Z1 "$zip" | sort) || return 1
    [ "$got" = "$want" ] || { printf 'expected:\n%s\ngot:\n%s\n' "$want" "$got"; return 1; }
}
check "zip holds exactly README.txt, zantrox.exe, zantrox.lua, zantrox-cli.exe, zantrox-extcap.exe" zip_files
mkdir -p "$work/zip" && unzip -q -o "$zip" -d "$work/zip"
check "zip's zantrox.lua is the dissector of this tree" cmp "$work/zip/zantrox.lua" "$root/packaging/wireshark/zantrox.lua"

# windows_program EXE SUBSYSTEM: a 64-bit Windows program of that subsystem
# ("GUI" or "console") importing only Windows' own DLLs.
windows_program() {
    local exe=$work/zip/$1 kind dll bad=0
    kind=$(file -b "$exe")
    contains "$kind" "PE32+ executable ($2) x86-64" || { echo "$1: $kind"; bad=1; }
    for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
        dll=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
        contains "$WINDOWS_DLLS" " $dll " || { echo "$1 imports $dll, which Windows does not ship"; bad=1; }
    done
    return $bad
}
check "zantrox.exe: 64-bit GUI program, only Windows' own DLLs" windows_program zantrox.exe GUI
check "zantrox-cli.exe: 64-bit console program, only Windows' own DLLs" windows_program zantrox-cli.exe console
check "zantrox-extcap.exe: 64-bit console program, only Windows' own DLLs" windows_program zantrox-extcap.exe console
readme_ok() {
    [ "$(grep -c $'\r$' "$work/zip/README.txt")" -eq "$(wc -l <"$work/zip/README.txt")" ] ||
        { echo "README.txt has lines without CR"; return 1; }
    grep -qF "Release $version" "$work/zip/README.txt" || { echo "README.txt does not name $version"; return 1; }
    grep -qF '%APPDATA%\Wireshark\plugins' "$work/zip/README.txt" ||
        { echo "README.txt does not say where zantrox.lua goes"; return 1; }
    grep -qF '%APPDATA%\Wireshark\extcap' "$work/zip/README.txt" ||
        { echo "README.txt does not say where zantrox-extcap.exe goes"; return 1; }
}
check "README.txt: Windows line ends, names version $version, says where Wireshark's files go" readme_ok

# --- the Windows installer, under Wine ------------------------------------------------

msis=("$out"/zantrox-*-win64.msi)
msi=${msis[0]}
check "one installer, named after version $version" \
    test "${#msis[@]}/$(basename "$msi")" = "1/zantrox-$version-win64.msi"

# win_path FILE: the Windows name of a file under Wine's Z: drive (msiexec reads
# a Unix path as switches).
win_path() { printf 'Z:%s' "${1//\//\\}"; }
# One number up from VERSION's last: an installer that must replace this one.
next_version=${version%.*}.$((${version##*.} + 1))
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
# products: "VERSION" of each installed product named Zantrox Test Utility, one a line.
products() {
    wine reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
        /^HKEY_/ { if (name == "Zantrox Test Utility") print ver; name = ""; ver = "" }
        $1 == "DisplayName" { sub(/^[ \t]*DisplayName[ \t]+REG_SZ[ \t]+/, ""); name = $0 }
        $1 == "DisplayVersion" { ver = $3 }
        END { if (name == "Zantrox Test Utility") print ver }'
}
# system_path: the system PATH as the registry holds it.
system_path() { wine reg query "$environment_key" /v PATH 2>/dev/null | tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]* *//p'; }
# path_entries: how many times the install folder stands in the system PATH.
path_entries() {
    system_path | tr ';' '\n' | grep -ciF 'C:\Program Files\Zantrox' || true
}

msi_ok=0
if [ -f "$msi" ] && [ -z "$(missing_tools wine wineboot wineserver wixl msibuild)" ]; then
    msi_ok=1
else
    failed=$((failed + 1))
    echo "FAIL  installer checks: no installer, or not installed: $(missing_tools wine wineboot wineserver wixl msibuild)"
fi
if [ $msi_ok -eq 1 ]; then
    mkdir -p "$work/wine" "$work/upgrade"
    check "fresh Wine prefix" wine_prefix "$work/wine" "$work/wine.log" || msi_ok=0
fi
if [ $msi_ok -eq 1 ]; then
    program_files="$WINEPREFIX/drive_c/Program Files/Zantrox"
    # The installer asks for the all-users Start menu (ALLUSERS=1); Wine 8's msi puts
    # the shortcut into the user's own, so either counts, and neither may stay.
    shortcuts=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Zantrox Test Utility.lnk"
               "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Zantrox Test Utility.lnk")
    # shortcut: prints the installed shortcut; 1 when there is none.
    shortcut() {
        local f
        for f in "${shortcuts[@]}"; do
            [ -f "$f" ] && { printf '%s\n' "$f"; return 0; }
        done
        return 1
    }
    msiexec() { (cd "$work" && wine msiexec "$@" /qn); }
    # cli_from_path: zantrox-cli, found by cmd on the PATH a new Windows process gets.
    cli_from_path() { (cd "$work" && wine cmd /c zantrox-cli --version) | tr -d '\r'; }

    path_before=$(system_path)
    check "msiexec /i $(basename "$msi") /qn" msiexec /i "$(win_path "$msi")"
    installed_files() {
        local f bad=0
        for f in $(unzip -Z1 "$zip"); do
            cmp -s "$program_files/$f" "$work/zip/$f" || { echo "not installed as shipped: $program_files/$f"; bad=1; }
        done
        return $bad
    }
    check "Program Files\\Zantrox holds every file of the zip" installed_files
    shortcut_ok() {
        local lnk
        lnk=$(shortcut) || { echo "no shortcut; looked for:"; printf '  %s\n' "${shortcuts[@]}"; return 1; }
        # A shell link names its target in UTF-16 or in the ANSI code page.
        grep -aq 'zantrox\.exe' <(tr -d '\0' <"$lnk") || { echo "the shortcut does not point at zantrox.exe"; return 1; }
    }
    check "Start menu: Zantrox Test Utility -> zantrox.exe" shortcut_ok
    check "one product registered, version $version" test "$(products)" = "$version"
    cli_version_from_path() { cli_from_path | grep -qF -- "$version"; }
    check "wine cmd /c zantrox-cli --version: found on PATH, says $version" cli_version_from_path

    # A newer version replaces this one: the same files, one number up.
    check "installer for $next_version built" \
        "$root/tools/build-msi.sh" "$next_version" "$work/zip" "$work/upgrade/zantrox-$next_version-win64.msi"
    check "msiexec /i zantrox-$next_version-win64.msi /qn (upgrade)" \
        msiexec /i "$(win_path "$work/upgrade/zantrox-$next_version-win64.msi")"
    check "after the upgrade: one product, version $next_version" test "$(products)" = "$next_version"
    upgraded_in_place() {
        installed_files || return 1
        shortcut >/dev/null || { echo "no shortcut"; return 1; }
        [ "$(path_entries)" = 1 ] || { echo "the install folder stands $(path_entries) times in PATH"; return 1; }
        cli_version_from_path || { echo "zantrox-cli from PATH:"; cli_from_path; system_path; return 1; }
    }
    check "after the upgrade: files, shortcut, one PATH entry, zantrox-cli found" upgraded_in_place
    # The older installer refuses to go over the newer version and changes nothing.
    downgrade_refused() {
        ! msiexec /i "$(win_path "$msi")" || { echo "msiexec installed $version over $next_version"; return 1; }
        [ "$(products)" = "$next_version" ] || { echo "installed now: $(products)"; return 1; }
    }
    check "msiexec /i $(basename "$msi") /qn over $next_version: refused" downgrade_refused

    check "msiexec /x zantrox-$next_version-win64.msi /qn" \
        msiexec /x "$(win_path "$work/upgrade/zantrox-$next_version-win64.msi")"
    nothing_left() {
        local bad=0
        [ ! -e "$program_files" ] || { echo "left behind:"; ls -la "$program_files"; bad=1; }
        ! shortcut || { echo "left behind: the shortcut"; bad=1; }
        [ "$(system_path)" = "$path_before" ] ||
            { printf 'PATH was:\n  %s\nit is:\n  %s\n' "$path_before" "$(system_path)"; bad=1; }
        [ -z "$(products)" ] || { echo "still registered: $(products)"; bad=1; }
        ! wine reg query 'HKLM\Software\Zantrox' >/dev/null 2>&1 || { echo "left behind: HKLM\\Software\\Zantrox"; bad=1; }
        return $bad
    }
    check "removed: no files, no shortcut, PATH as before, no registration" nothing_left
    wine_stop
fi

# --- removed again -------------------------------------------------------------------

if [ $installed -eq 1 ]; then
    # The console goes alone; the headless package stays until it is removed too.
    removed() { apt_get remove zantrox && [ ! -e /usr/bin/zantrox ] && [ -x /usr/bin/zantrox-cli ]; }
    check "apt-get remove zantrox: the console goes, zantrox-cli stays" removed
    cli_removed() { apt_get remove zantrox-cli && [ ! -e /usr/bin/zantrox-cli ] && [ ! -e /usr/bin/zantrox-sim ]; }
    check "apt-get remove zantrox-cli" cli_removed
fi

# --- the arm64 headless package -------------------------------------------------------

arm64_deb=$(compgen -G "$out/zantrox-cli_*_arm64.deb" | head -n 1)
if [ -n "$arm64_deb" ]; then
    lintian_check "$arm64_deb"
    check "$(basename "$arm64_deb"): version $version, Architecture arm64" \
        test "$(dpkg-deb --field "$arm64_deb" Version)/$(dpkg-deb --field "$arm64_deb" Architecture)" = "$version/arm64"
    mapfile -t arm64_files < <(cli_expected aarch64-linux-gnu)
    check "arm64 zantrox-cli holds its files, Wireshark's under /usr/lib/aarch64-linux-gnu" \
        holds "$(contents_of "$arm64_deb")" "${arm64_files[@]}"
    check "arm64 zantrox-cli needs no display (Depends: $(dpkg-deb --field "$arm64_deb" Depends))" headless "$arm64_deb"
    check "arm64 zantrox-cli replaces and breaks zantrox (<< 2.2.0~)" takes_over "$arm64_deb"
    # The console's arm64 package, when --console made one.
    arm64_console=$(compgen -G "$out/zantrox_*_arm64.deb" | head -n 1)
    if [ -n "$arm64_console" ]; then
        lintian_check "$arm64_console"
        check "arm64 zantrox depends on zantrox-cli (= $version)" \
            grep -q "zantrox-cli (= $version)" <<<"$(dpkg-deb --field "$arm64_console" Depends)"
    fi
    arm64_tree=$work/arm64
    dpkg-deb -x "$arm64_deb" "$arm64_tree" || exit 1
    arm64_programs() {
        local p bad=0
        for p in usr/bin/zantrox-cli usr/bin/zantrox-sim usr/lib/aarch64-linux-gnu/wireshark/extcap/zantrox-extcap; do
            file -b "$arm64_tree/$p" | grep -q 'ELF 64-bit LSB pie executable, ARM aarch64' ||
                { echo "$p: $(file -b "$arm64_tree/$p")"; bad=1; }
        done
        return $bad
    }
    check "arm64 programs are ARM aarch64 executables (PIE)" arm64_programs
    if command -v qemu-aarch64-static >/dev/null; then
        arm64_extcap() {
            qemu-aarch64-static "$arm64_tree/usr/lib/aarch64-linux-gnu/wireshark/extcap/zantrox-extcap" \
                --extcap-interfaces | grep -q '^extcap {version='
        }
        check "arm64 zantrox-extcap --extcap-interfaces under qemu" arm64_extcap
        check "arm64 zantrox-sim --version under qemu says $version" \
            test "$(qemu-aarch64-static "$arm64_tree/usr/bin/zantrox-sim" --version)" = "zantrox-sim $version"
        if [ "${ARM64_SMOKE:-1}" != 0 ]; then
            check "arm64 zantrox-cli and zantrox-sim under qemu: send, check, run, watch --tap --metrics" \
                bash "$root/tests/package/programs_smoke.sh" "$arm64_tree/usr/bin/zantrox-cli" \
                     "$arm64_tree/usr/bin/zantrox-sim" qemu-aarch64-static
            grep 'CPU per transaction' "$work/check.out" | sed 's/^/      /'
        fi
    else
        failed=$((failed + 1))
        echo "FAIL  arm64 programs: qemu-aarch64-static is not installed (tools/lib/arm64-deps.sh)"
    fi
fi

echo "package checks: $passed passed, $failed failed"
[ $failed -eq 0 ]
