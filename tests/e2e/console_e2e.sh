#!/usr/bin/env bash
# End-to-end test of the Linux console: the real `zantrox` under Xvfb (no window
# manager) against `zantrox-sim` linked as COM1 in a temporary HOME. It types the
# hot keys, drives the menu from the keyboard, checks every frame that reached the
# simulator, takes a screenshot of the panel while the status loop runs, and
# closes the window while a status poll is stuck in its exchange.
#
# usage: console_e2e.sh ZANTROX ZANTROX_SIM CLOSE_HELPER [SCREENSHOT.png]
#   CLOSE_HELPER sends WM_DELETE_WINDOW (the close button) to a window id.
# Exit status: 0 passed, 1 failed, 77 skipped (Xvfb, xdotool, xwd, xprop,
# xwininfo or ImageMagick missing).
set -u

CONSOLE=${1:?usage: console_e2e.sh ZANTROX ZANTROX_SIM CLOSE_HELPER [SCREENSHOT.png]}
SIM=${2:?zantrox-sim path missing}
CLOSER=${3:?close helper path missing}
SCREENSHOT=${4:-}

TITLE='Zantrox Test Utility [2.00]  -  Mar 30 2016'
TITLE_PATTERN='^Zantrox Test Utility \[2\.00\]  -  Mar 30 2016$'
DEADLINE_S=10       # generous bound for anything the test waits for
CLOSE_BOUND_MS=6000 # the shutdown waits about 2 s for a stuck poll; allow 3x
UNMAP_BOUND_MS=200  # the window is hidden before that wait

HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/lib/harness.sh
. "$HERE/../../tools/lib/harness.sh"

missing=$(missing_tools Xvfb xdotool xwd xprop xwininfo convert)
if [ -n "$missing" ]; then
    echo "SKIP: not installed: $missing"
    exit 77
fi

# Under AddressSanitizer: fontconfig's caches are not the console's leaks.
case "${LSAN_OPTIONS:-}" in
*suppressions=*) ;;
*) export LSAN_OPTIONS="suppressions=$HERE/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" ;;
esac

make_work_dir WORK e2e || exit 1
CONSOLE_PID=

fail() {
    echo "FAIL: $*"
    if [ -f "$WORK/sim.log" ]; then
        echo "--- frames the simulator saw:"
        cat "$WORK/sim.log"
    fi
    if [ -s "$WORK/console.out" ]; then
        echo "--- the console's output:"
        cat "$WORK/console.out"
    fi
    exit 1
}

# await DESCRIPTION COMMAND...: waits for COMMAND (up to DEADLINE_S) or fails the test.
await() {
    local what=$1
    shift
    wait_for "$DEADLINE_S" "$@" || fail "timed out waiting for $what"
}

# The texts of the frames the simulator judged good, one a line (still escaped).
frames() { awk -F'\t' '$2 == "ok" { print $3 }' "$WORK/sim.log"; }
frame_count() { frames | wc -l; }
has_frames() { [ "$(frame_count)" -ge "$1" ]; }
file_has() { grep -q -- "$2" "$1" 2>/dev/null; }
# The simulator's fault mode by its log (the last mode line).
sim_mode_is() { awk -F'\t' -v want="$1" '$2 == "mode" { mode = $3 } END { exit mode != want }' "$WORK/sim.log"; }

# press KEY COUNT: types KEY into the console and waits until COUNT more frames
# have reached the simulator.
press() {
    local before
    before=$(frame_count)
    xdotool key --clearmodifiers "$1" || fail "xdotool could not type $1"
    await "$2 frame(s) after key $1" has_frames $((before + $2))
}

# --- the X server, the simulator and the console --------------------------------

start_xvfb "$WORK/xvfb.log" || fail "Xvfb did not start"

export HOME="$WORK/home"
mkdir -p "$HOME"
echo normal >"$WORK/control"

start_sim "$SIM" "$WORK/sim" --com 1 --log "$WORK/sim.log" --control "$WORK/control" ||
    fail "the simulator did not start: $(cat "$WORK/sim.err")"

# Sanitizer builds report on stderr; a report fails the test even where the exit
# status cannot carry it (the console may end with _Exit).
check_console_output() {
    if grep -qE 'WARNING: ThreadSanitizer|ERROR: (Address|Leak)Sanitizer|runtime error:' "$WORK/console.out"; then
        fail "the console reported an error ($1)"
    fi
}

start_console() {
    "$CONSOLE" >"$WORK/console.out" 2>&1 &
    CONSOLE_PID=$!
    track_pid "$CONSOLE_PID"
    WINDOW=$(find_window "$TITLE_PATTERN" "$DEADLINE_S")
    [ -n "$WINDOW" ] || fail "no window titled '$TITLE'"
    xdotool windowfocus --sync "$WINDOW" || fail "cannot focus the console window"
}

start_console

# --- window geometry and class ----------------------------------------------------

geometry=$(xdotool getwindowgeometry "$WINDOW")
echo "$geometry" | grep -q 'Position: 30,100' || fail "window not at (30, 100): $geometry"
echo "$geometry" | grep -q 'Geometry: 900x500' || fail "window not 900 x 500: $geometry"
xprop -id "$WINDOW" WM_CLASS 2>/dev/null | grep -qF "\"$TITLE\"" || fail "WM_CLASS is not the title"

# --- hot keys, pump 1 -------------------------------------------------------------

# Upper and lower case alike: the letter keys' codes do not depend on Shift.
press S 1
press r 1
press A 1
press c 1
press P 1
press m 1
press 0 1
press 1 1
press 2 2
press 3 3
# Keys without a binding send nothing, and Escape does not close the window: the
# next frame after them is the status request of S.
for key in KP_1 KP_End F1 F12 4 9 x Escape space; do
    xdotool key --clearmodifiers "$key" || fail "xdotool could not type $key"
done
press s 1

# --- a menu command from the keyboard: Alt+F, over to "PUMP#", down to "7" --------

xdotool key --clearmodifiers alt+f Right Down Down Down Down Down Down Down Return ||
    fail "xdotool could not drive the menu"
press p 1

expected=$(cat <<'EOF'
FE
B01EHMS$VLPT
A0104000000000000
B01C
C01
D01
J011W000000000000
J011W001199001099
J011W001199001099
J012W002199002099
J011W001199001099
J012W002199002099
J013W003199003099
FE
C07
EOF
)
got=$(frames)
[ "$got" = "$expected" ] || fail "frames differ from the expected ones:
--- expected:
$expected
--- got:
$got"

# --- the status loop --------------------------------------------------------------

before=$(frame_count)
xdotool key --clearmodifiers l || fail "xdotool could not type l"
await "three status polls after L" has_frames $((before + 3))
polls=$(frames | tail -n +$((before + 1)))
! echo "$polls" | grep -qv '^FE$' || fail "the loop sent something else than FE: $polls"

# The screenshot: the window's own picture once the panel shows a reply, a sent
# frame and the loop marker (each region holds some dark pixels).
panel_shows_loop() {
    window_png "$WINDOW" "$WORK/shot.png" || return 1
    # Client offsets: the panel starts below the 25 px menu bar.
    region_has_ink "$WORK/shot.png" 300x14+5+95 &&       # TX line 1 (y 70)
        region_has_ink "$WORK/shot.png" 300x14+5+245 &&  # RX line 1 (y 220)
        region_has_ink "$WORK/shot.png" 80x14+805+135    # "  (looping)" after the legend line (y 110)
}
await "the panel to show the loop" panel_shows_loop
if [ -n "$SCREENSHOT" ]; then
    cp "$WORK/shot.png" "$SCREENSHOT" || fail "cannot write $SCREENSHOT"
    echo "screenshot: $SCREENSHOT"
fi

# --- closing while a poll is stuck in its exchange --------------------------------

# In chatter mode the line is never quiet for a receive window, so a poll never
# gets past draining the line: once the polls stop arriving, one is in flight.
echo chatter >"$WORK/control.new" && mv "$WORK/control.new" "$WORK/control"
await "the simulator to switch to chatter" sim_mode_is chatter
polls_stalled() {
    local last
    last=$(frame_count)
    sleep 1  # a poll is due every 250 ms plus its exchange
    [ "$(frame_count)" -eq "$last" ]
}
await "the status polls to stall" polls_stalled

# The window leaves the screen at once; the process follows after the bounded
# wait for the stuck poll.
window_unmapped() { ! xwininfo -id "$WINDOW" 2>/dev/null | grep -q 'Map State: IsViewable'; }
window_unmapped && fail "the console's window is not mapped before the close"
start_ms=$(now_ms)
"$CLOSER" "$WINDOW" || fail "could not send WM_DELETE_WINDOW"
until window_unmapped; do
    [ $(($(now_ms) - start_ms)) -lt "$CLOSE_BOUND_MS" ] || fail "window still mapped ${CLOSE_BOUND_MS} ms after close"
    sleep 0.005
done
unmap_ms=$(($(now_ms) - start_ms))
[ "$unmap_ms" -le "$UNMAP_BOUND_MS" ] ||
    fail "the window was unmapped ${unmap_ms} ms after the close (bound ${UNMAP_BOUND_MS} ms)"
echo "closed with a poll in flight: window unmapped after ${unmap_ms} ms"
console_exited() { process_gone "$CONSOLE_PID"; }
while ! console_exited; do
    [ $(($(now_ms) - start_ms)) -lt "$CLOSE_BOUND_MS" ] || fail "console still running ${CLOSE_BOUND_MS} ms after close"
    sleep 0.01
done
close_ms=$(($(now_ms) - start_ms))
wait "$CONSOLE_PID"
status=$?
untrack_pid "$CONSOLE_PID"
CONSOLE_PID=
[ "$status" -eq 0 ] || fail "console exited with status $status after close"
check_console_output "closing with a poll in flight"
echo "closed with a poll in flight: process ended after ${close_ms} ms"

# --- "E&xit" from the keyboard ------------------------------------------------------

echo normal >"$WORK/control.new" && mv "$WORK/control.new" "$WORK/control"
await "the simulator to switch back to normal" sim_mode_is normal
start_console
press S 1  # the console is up and its port open
start_ms=$(now_ms)
xdotool key --clearmodifiers alt+f x || fail "xdotool could not type Alt+F X"
while ! console_exited; do
    [ $(($(now_ms) - start_ms)) -lt "$CLOSE_BOUND_MS" ] || fail "console still running after E&xit"
    sleep 0.01
done
wait "$CONSOLE_PID"
status=$?
untrack_pid "$CONSOLE_PID"
CONSOLE_PID=
[ "$status" -eq 0 ] || fail "console exited with status $status after E&xit"
check_console_output "E&xit"
echo "E&xit: process ended after $(($(now_ms) - start_ms)) ms"

bad=$(awk -F'\t' '$2 != "ok" && $2 != "mode"' "$WORK/sim.log")
[ -z "$bad" ] || fail "frames the simulator did not judge good: $bad"

echo "PASS: $(frame_count) frames checked"
exit 0
