#!/usr/bin/env bash
# Checks the packages tools/package.sh made, the way a user gets them:
#   the .deb: lintian (no errors; its other tags are printed), its files, its
#     computed dependencies, its desktop entry (desktop-file-validate); then it is
#     installed with apt-get, the programs are run from /usr/bin, the installed
#     console is started under Xvfb against the installed simulator (its window is
#     found by its title and a hot key reaches the simulator), and it is removed
#     again at the end whatever happened;
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

# --- the Debian package, as built ----------------------------------------------

debs=("$out"/zantrox_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL  exactly one $out/zantrox_*.deb (found: ${debs[*]})"
    exit 1
fi
deb=${debs[0]}
version=$(dpkg-deb --field "$deb" Version)
echo "checking $deb (version $version)"

check "package named after its version and architecture" \
    test "$(basename "$deb")" = "zantrox_${version}_$(dpkg-deb --field "$deb" Architecture).deb"
check "package version is the project's (packaging/changelog)" \
    test "$version" = "$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Version)"

lintian_clean() {
    local tags
    tags=$(lintian --pedantic --display-info "$deb" 2>&1)
    local status=$?
    tags=$(grep -v '^running with root privileges' <<<"$tags")
    [ -z "$tags" ] || printf '%s\n' "$tags" >"$work/lintian.txt"
    [ $status -eq 0 ] && ! grep -q '^E: ' <<<"$tags"
}
check "lintian: no errors" lintian_clean
if [ -s "$work/lintian.txt" ]; then
    echo "      lintian says:"
    sed 's/^/        /' "$work/lintian.txt"
fi

contents=$(dpkg-deb --contents "$deb" | awk '{ print $NF }' | sed 's|^\./|/|')
programs=(zantrox zantrox-sim zantrox-cli)
expected=(/usr/share/applications/zantrox.desktop
          /usr/share/icons/hicolor/32x32/apps/zantrox.png
          /usr/share/icons/hicolor/48x48/apps/zantrox.png
          /usr/share/icons/hicolor/256x256/apps/zantrox.png
          /usr/share/icons/hicolor/scalable/apps/zantrox.svg
          /usr/share/doc/zantrox/copyright
          /usr/share/doc/zantrox/changelog.gz
          /usr/lib/systemd/system/zantrox-tap@.service
          /usr/share/doc/zantrox/examples/tap-example.conf
          /usr/share/zantrox/prometheus/zantrox.rules.yml
          /usr/share/zantrox/grafana/zantrox-dashboard.json)
for p in "${programs[@]}"; do
    expected+=("/usr/bin/$p" "/usr/share/man/man1/$p.1.gz")
done
expected+=("$lua_plugins/zantrox.lua" "$extcap_folder/zantrox-extcap")
missing_files() {
    local f gone=0
    for f in "${expected[@]}"; do
        grep -qxF -- "$f" <<<"$contents" || { echo "missing: $f"; gone=1; }
    done
    return $gone
}
check "package holds the programs, man pages, desktop entry, icons, copyright, changelog, Wireshark's files" missing_files
# mode FILE: the permissions and owner dpkg-deb lists for FILE in the package.
mode() { dpkg-deb --contents "$deb" | awk -v f=".$1" '$NF == f { print $1, $2 }'; }
check "the dissector: $lua_plugins/zantrox.lua, -rw-r--r-- root/root" \
    test "$(mode "$lua_plugins/zantrox.lua")" = "-rw-r--r-- root/root"
check "the extcap program: $extcap_folder/zantrox-extcap, -rwxr-xr-x root/root" \
    test "$(mode "$extcap_folder/zantrox-extcap")" = "-rwxr-xr-x root/root"
check "dependencies computed from the binaries (libfltk, libc)" \
    grep -Eq 'libfltk1\.3.*libc6|libc6.*libfltk1\.3' <<<"$(dpkg-deb --field "$deb" Depends)"

dpkg-deb -x "$deb" "$work/deb" || exit 1
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
remove_package() {
    if dpkg-query -W -f='${Status}' zantrox 2>/dev/null | grep -q 'ok installed'; then
        apt_get remove zantrox >"$work/remove.log" 2>&1 || { echo "apt-get remove zantrox failed:"; cat "$work/remove.log"; }
    fi
}
at_exit remove_package   # whatever happens from here on

installed=0
if check "apt-get install ./$(basename "$deb")" apt_get install --reinstall "$deb"; then
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
    removed() { apt_get remove zantrox && [ ! -e /usr/bin/zantrox ]; }
    check "apt-get remove zantrox" removed
fi

echo "package checks: $passed passed, $failed failed"
[ $failed -eq 0 ]
