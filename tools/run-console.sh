#!/usr/bin/env bash
# Builds the console and the controller simulator, links the simulator as COM1
# (the console's default port) and runs the console against it; the simulator
# stops when the console ends.
#
# Without a display (DISPLAY unset) the same console runs under Xvfb instead: a
# few hot keys are typed, the traffic the simulator saw is printed and a
# screenshot of the window is saved.
#
# usage: tools/run-console.sh        (from anywhere; builds into <repo>/build)
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build"
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

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zantrox-run.XXXXXX") || die "no temporary folder"
SIM_PID=
XVFB_PID=
CONSOLE_PID=
cleanup() {
    for pid in $CONSOLE_PID $SIM_PID $XVFB_PID; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now_ms() { date +%s%3N; }

# wait_for SECONDS COMMAND...: polls COMMAND every 20 ms until it succeeds.
wait_for() {
    local end=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -lt "$end" ] || return 1
        sleep 0.02
    done
}

sim_ready() { grep -q '^zantrox-sim: ready ' "$WORK/sim.out" 2>/dev/null; }
sim_gone() { ! kill -0 "$SIM_PID" 2>/dev/null; }
sim_up_or_gone() { sim_ready || sim_gone; }

# start_sim: starts the simulator linked as COM1 of $HOME. Returns 1 (and says
# why) when it does not run: a COM1 link that is not the simulator's is the
# user's own port, which the simulator never replaces and the console uses as is.
start_sim() {
    local link="$HOME/.config/zantrox/com1"
    "$SIM" --com 1 --log "$WORK/sim.log" >"$WORK/sim.out" 2>"$WORK/sim.err" &
    SIM_PID=$!
    wait_for 10 sim_up_or_gone || die "the simulator did not start: $(cat "$WORK/sim.err")"
    if sim_ready; then
        say "simulator: $(sed -n 's/^zantrox-sim: ready //p' "$WORK/sim.out" | head -n 1)"
        return 0
    fi
    wait "$SIM_PID"
    local status=$?
    SIM_PID=
    if [ "$status" -eq 2 ] && { [ -e "$link" ] || [ -L "$link" ]; }; then
        say "$link already exists and is not the simulator's ($(readlink "$link" 2>/dev/null || echo 'not a link'));"
        say "the console uses it as is, without the simulator."
        return 1
    fi
    die "the simulator failed: $(cat "$WORK/sim.err")"
}

stop_sim() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null
        wait "$SIM_PID" 2>/dev/null
        SIM_PID=
    fi
}

# --- with a display: the console for the operator ----------------------------------

if [ -n "${DISPLAY:-}" ]; then
    have_sim=0
    start_sim && have_sim=1
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
start_sim || die "unexpected COM1 link in the temporary home"

# -noreset: the server would otherwise reset whenever its last client leaves,
# dropping whoever connects meanwhile.
exec 3>"$WORK/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
exec 3>&-
wait_for 10 test -s "$WORK/display" || die "Xvfb did not start: $(cat "$WORK/xvfb.log")"
DISPLAY=":$(head -n 1 "$WORK/display")"
export DISPLAY

"$CONSOLE" >"$WORK/console.out" 2>&1 &
CONSOLE_PID=$!
WINDOW=$(timeout 10 xdotool search --sync --name "$TITLE_PATTERN" | head -n 1)
[ -n "$WINDOW" ] || die "the console's window did not appear"
xdotool windowfocus --sync "$WINDOW" || die "cannot focus the console's window"

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
xwd -silent -id "$WINDOW" | convert xwd:- "$SHOT" || die "could not take the screenshot"

xdotool key --clearmodifiers alt+f x   # File > Exit
wait_for 10 eval '! kill -0 "$CONSOLE_PID" 2>/dev/null' || die "the console did not end"
wait "$CONSOLE_PID"
CONSOLE_PID=
stop_sim

echo "Frames the simulator received (ms since its start, verdict, text):"
awk -F'\t' '$2 != "mode"' "$WORK/sim.log"
say "screenshot: $SHOT"
