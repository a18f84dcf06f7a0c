#!/usr/bin/env bash
# Makes the README's two screenshots in the same state - pump 1, after a status
# exchange (S), with the status loop on (L) - each console against zantrox-sim on
# a private Xvfb display:
#
#   docs/console-linux.png     the FLTK console (the window's client area; no window manager)
#   docs/console-windows.png   zantrox.exe under Wine, with the frame Wine draws itself
#                              (its caption buttons need Wine's Marlett font: fonts-wine)
#
# usage: tools/screenshots.sh [BUILD_DIR]     (default <repo>/build; configured with
#        ZANTROX_WIN_TESTS=ON, which cross-builds zantrox.exe and the Wine test driver)
#
#   tools/screenshots.sh --wireshark [BUILD_DIR]
#        docs/wireshark.png alone: Wireshark with packaging/wireshark/zantrox.lua on
#        twelve exchanges written by bench/capture_bench, the third packet (a reply)
#        selected and its Zantrox tree open. Needs Debian's wireshark (the Qt program),
#        which nothing else here installs.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WIRESHARK_ONLY=0
if [ "${1:-}" = --wireshark ]; then
    WIRESHARK_ONLY=1
    shift
fi
BUILD=$(readlink -f "${1:-$ROOT/build}")
TITLE_PATTERN='^Zantrox Test Utility \[2\.00\]  -  Mar 30 2016$'
VK_S=83  # the Windows virtual-key codes of the hot keys S and L
VK_L=76

say() { echo "screenshots: $*"; }
die() {
    echo "screenshots: $*" >&2
    exit 1
}

# shellcheck source=lib/harness.sh
. "$ROOT/tools/lib/harness.sh"

# docs/wireshark.png. The window has a fixed size and no window manager, so the
# Zantrox line of the packet details is always at the same place to be clicked.
wireshark_screenshot() {
    local missing home window
    missing=$(missing_tools wireshark Xvfb xdotool xwd convert)
    [ -z "$missing" ] || die "not installed: $missing (Debian: wireshark, xvfb, xdotool, x11-apps, imagemagick)"
    cmake -S "$ROOT" -B "$BUILD" >/dev/null || die "cmake could not configure $BUILD"
    cmake --build "$BUILD" --target capture_bench >"$BUILD/screenshots-build.log" 2>&1 ||
        die "the build failed; see $BUILD/screenshots-build.log"
    make_work_dir WORK shots || die "no temporary folder"
    "$BUILD/bench/capture_bench" "$WORK/zantrox.pcapng" 12 >/dev/null || die "capture_bench wrote no capture"

    # Wireshark's settings in a HOME of its own: the columns (the answer time and
    # the packet comments as columns of their own), no bytes pane, no update check.
    home=$WORK/home
    mkdir -p "$home/.config/wireshark"
    cat >"$home/.config/wireshark/preferences" <<'EOF'
gui.column.format: "No.", "%m", "Time", "%t", "Protocol", "%p", "Info", "%i", "Answer after", "%Cus:zantrox.time:0:R", "Comment", "%Cus:frame.comment:0:R"
gui.layout_content_3: NONE
gui.update.enabled: FALSE
EOF
    cat >"$home/.config/wireshark/recent" <<'EOF'
column.width: %m, 56, %t, 80, %p, 70, %i, 620, %Cus:zantrox.time:0:R, 100, %Cus:frame.comment:0:R, 300
EOF
    start_xvfb "$WORK/xvfb.log" 1400x700x24 || die "Xvfb did not start: $(cat "$WORK/xvfb.log")"
    (cd "$WORK" && HOME=$home exec wireshark -g 3 -X lua_script:"$ROOT/packaging/wireshark/zantrox.lua" \
        -r "$WORK/zantrox.pcapng") >"$WORK/wireshark.out" 2>&1 &
    track_pid $!
    window=$(find_window 'zantrox\.pcapng' 60)
    [ -n "$window" ] || die "no Wireshark window: $(tail -5 "$WORK/wireshark.out")"
    xdotool windowmove "$window" 0 0 windowsize --sync "$window" 1400 700
    sleep 1  # the packet list is filled and laid out after the window shows
    { xdotool mousemove --window "$window" 140 439 click 1 && xdotool key Right; } || die "could not open the Zantrox tree"
    xdotool mousemove --window "$window" 1300 650
    sleep 0.5  # the tree repaints
    # 64 colours are plenty for a program window and keep the file small.
    xwd -root -silent | convert xwd:- -resize 1200x -colors 64 PNG8:"$ROOT/docs/wireshark.png" ||
        die "could not save docs/wireshark.png"
    say "wrote docs/wireshark.png"
}
if [ "$WIRESHARK_ONLY" = 1 ]; then
    wireshark_screenshot
    exit 0
fi

"$ROOT/tools/install-deps.sh" || die "could not install the packages the build needs"
missing=$(missing_tools Xvfb xdotool xwd convert wine wineboot wineserver)
[ -z "$missing" ] || die "not installed: $missing"
[ -f /usr/share/wine/fonts/marlett.ttf ] || say "warning: Wine's Marlett font (fonts-wine) is missing; caption buttons will not draw"

cmake -S "$ROOT" -B "$BUILD" -DZANTROX_WIN_TESTS=ON >/dev/null || die "cmake could not configure $BUILD"
cmake --build "$BUILD" --target zantrox zantrox-sim zantrox_win zantrox_wine_driver -j "$(nproc 2>/dev/null || echo 2)" \
    >"$BUILD/screenshots-build.log" 2>&1 ||
    die "the build failed; see $BUILD/screenshots-build.log"
CONSOLE="$BUILD/console/linux/zantrox"
SIM="$BUILD/sim/zantrox-sim"
EXE="$BUILD/win/console/win32/zantrox.exe"
DRIVER="$BUILD/tests/wine/driver.exe"
for f in "$CONSOLE" "$SIM" "$EXE" "$DRIVER"; do
    [ -f "$f" ] || die "missing $f"
done

make_work_dir WORK shots || die "no temporary folder"
export HOME="$WORK/home"
mkdir -p "$HOME"
start_xvfb "$WORK/xvfb.log" 1280x800x24 || die "Xvfb did not start: $(cat "$WORK/xvfb.log")"

# polls LOG: the number of frames the simulator judged good.
polls() { awk -F'\t' '$2 == "ok"' "$1" 2>/dev/null | wc -l; }
has_polls() { [ "$(polls "$1")" -ge "$2" ]; }

# after_next_poll LOG: waits for the next frame at LOG and for its answer to be painted.
after_next_poll() {
    local count
    count=$(polls "$1")
    wait_for 10 has_polls "$1" $((count + 1)) || return 1
    sleep 0.15  # the exchange ends a receive window after the frame; then the panel repaints
}

# --- Linux ---------------------------------------------------------------------------

start_sim "$SIM" "$WORK/sim-linux" --com 1 --log "$WORK/sim-linux.log" ||
    die "the simulator did not start: $(cat "$WORK/sim-linux.err")"
linux_sim=$SIM_PID
start_console_window "$CONSOLE" "$WORK/console.out" "$TITLE_PATTERN" ||
    die "the Linux console's window did not appear or take the focus"
xdotool key --clearmodifiers s
wait_for 10 has_polls "$WORK/sim-linux.log" 1 || die "no status exchange on Linux"
xdotool key --clearmodifiers l
wait_for 10 has_polls "$WORK/sim-linux.log" 3 || die "no status polls on Linux"
after_next_poll "$WORK/sim-linux.log" || die "the Linux status loop stopped"
window_png "$WINDOW" "$ROOT/docs/console-linux.png" || die "could not save the Linux screenshot"
say "wrote docs/console-linux.png"
stop_pid "$CONSOLE_PID"
stop_pid "$linux_sim"

# --- Windows under Wine ----------------------------------------------------------------

wine_prefix "$WORK/prefix" "$WORK/wine.log" || die "could not make a Wine prefix: $(tail -5 "$WORK/wine.log")"
start_sim "$SIM" "$WORK/sim-windows" --no-link --log "$WORK/sim-windows.log" ||
    die "the simulator did not start: $(cat "$WORK/sim-windows.err")"
wine_com_port 1 "$SIM_PTY" "$WORK/wine.log" || die "could not map COM1"
wine_restart || die "Wine's server did not start again"
wine_com_links 1="$SIM_PTY" >"$WORK/links.out" || die "COM1 is not linked to the simulator: $(cat "$WORK/links.out")"

(cd "$WORK" && wine "$EXE" >"$WORK/exe.out" 2>&1) &
track_pid $!
wine "$DRIVER" wait-window 60000 >"$WORK/driver.out" 2>&1 || die "the Windows console did not come up: $(cat "$WORK/driver.out")"
wine "$DRIVER" key "$VK_S"
wait_for 10 has_polls "$WORK/sim-windows.log" 1 || die "no status exchange under Wine"
wine "$DRIVER" key "$VK_L"
wait_for 10 has_polls "$WORK/sim-windows.log" 3 || die "no status polls under Wine"
read -r wx wy ww wh _ < <(wine "$DRIVER" rect) || die "no window rectangle"
after_next_poll "$WORK/sim-windows.log" || die "the Windows status loop stopped"
xwd -root -silent | convert xwd:- -crop "${ww}x${wh}+${wx}+${wy}" +repage "$ROOT/docs/console-windows.png" ||
    die "could not save the Windows screenshot"
say "wrote docs/console-windows.png"
