#!/usr/bin/env bash
# Builds the console and the controller simulator, links the simulator as COM1
# (the console's default port) and runs the console against it; the simulator
# stops when the console ends.
#
# Without a display (DISPLAY unset) the same console runs under Xvfb instead: a
# few hot keys are typed, the traffic the simulator saw is printed and a
# screenshot of the window is saved.
#
# usage: tools/run-console.sh [BUILD_DIR]   (from anywhere; builds into BUILD_DIR, default <repo>/build)
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(readlink -f "${1:-$ROOT/build}")
CONSOLE="$BUILD/console/linux/zantrox"
SIM="$BUILD/sim/zantrox-sim"
TITLE_PATTERN='^Zantrox Test Utility \[2\.00\]  -  Mar 30 2016$'

say() { echo "run-console: $*"; }
die() {
    echo "run-console: $*" >&2
    exit 1
}

"$ROOT/tools/install-deps.sh" || die "could not install the packages the build needs"
cmake -S "$ROOT" -B "$BUILD" >/dev/null || die "cmake could not configure $BUILD"
cmake --build "$BUILD" --target zantrox zantrox-sim -j "$(nproc 2>/dev/null || echo 2)" >/dev/null ||
    die "the build failed; run: cmake --build $BUILD --target zantrox zantrox-sim"

# shellcheck source=lib/harness.sh
. "$ROOT/tools/lib/harness.sh"
make_work_dir WORK run || die "no temporary folder"
SIM_PID=
CONSOLE_PID=

# run_sim: starts the simulator linked as COM1 of $HOME. Returns 1 (and says
# why) when it does not run: a COM1 link that is not the simulator's is the
# user's own port, which the simulator never replaces and the console uses as is.
run_sim() {
    local link="$HOME/.config/zantrox/com1"
    if start_sim "$SIM" "$WORK/sim" --com 1 --log "$WORK/sim.log"; then
        say "simulator: $(sed -n 's/^zantrox-sim: ready //p' "$WORK/sim.out" | head -n 1)"
        return 0
    fi
    if [ "$SIM_STATUS" = 2 ] && { [ -e "$link" ] || [ -L "$link" ]; }; then
        say "$link already exists and is not the simulator's ($(readlink "$link" 2>/dev/null || echo 'not a link'));"
        say "the console uses it as is, without the simulator."
        return 1
    fi
    die "the simulator failed: $(cat "$WORK/sim.err")"
}

stop_sim() {
    stop_pid "$SIM_PID"
    SIM_PID=
}

# --- with a display: the console for the operator ----------------------------------

if [ -n "${DISPLAY:-}" ]; then
    have_sim=0
    run_sim && have_sim=1
    say "starting the console; close its window (or File > Exit) to end."
    "$CONSOLE"
    status=$?
    stop_sim
    if [ "$have_sim" -eq 1 ]; then
        frames=$(awk -F'\t' '$2 != "mode"' "$WORK/sim.log" | wc -l)
        say "the simulator saw $frames frame(s); it has stopped."
    fi
    exit "$status"
fi

# --- without a display: the same console under Xvfb, driven by a few keys ----------

say "DISPLAY is not set: running the console under Xvfb, typing S, R, L and saving a screenshot."
missing=
for tool in Xvfb:xvfb xdotool:xdotool xwd:x11-apps convert:imagemagick; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || missing="$missing ${tool#*:}"
done
[ -z "$missing" ] || die "needs:$missing (apt-get install$missing)"

# A HOME of its own, so the demonstration never meets a port link of the user's.
export HOME="$WORK/home"
mkdir -p "$HOME"
run_sim || die "unexpected COM1 link in the temporary home"

start_xvfb "$WORK/xvfb.log" || die "Xvfb did not start: $(cat "$WORK/xvfb.log")"

start_console_window "$CONSOLE" "$WORK/console.out" "$TITLE_PATTERN" ||
    die "the console's window did not appear or take the focus"

frame_count() { awk -F'\t' '$2 != "mode"' "$WORK/sim.log" | wc -l; }
has_frames() { [ "$(frame_count)" -ge "$1" ]; }
press() {  # press KEY FRAMES: types KEY, waits for FRAMES more frames at the simulator
    local before
    before=$(frame_count)
    xdotool key --clearmodifiers "$1"
    wait_for 10 has_frames $((before + $2)) || die "no traffic after key $1"
}
press S 1   # status
press R 1   # sale read
press L 3   # status loop on: polls every 250 ms
xdotool key --clearmodifiers L   # and off again

SHOT="$BUILD/console-headless.png"
window_png "$WINDOW" "$SHOT" || die "could not take the screenshot"

xdotool key --clearmodifiers alt+f x   # File > Exit
wait_for 10 process_gone "$CONSOLE_PID" || die "the console did not end"
wait "$CONSOLE_PID"
untrack_pid "$CONSOLE_PID"
CONSOLE_PID=
stop_sim

echo "Frames the simulator received (ms since its start, verdict, text):"
awk -F'\t' '$2 != "mode"' "$WORK/sim.log"
say "screenshot: $SHOT"
