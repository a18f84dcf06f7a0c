#!/usr/bin/env bash
# Benchmark of the Linux console under Xvfb against zantrox-sim (a report, not a
# test): the time from starting the process to its window being mapped and to
# its first paint, over several starts; then the resident memory and CPU time
# idle (up to 10 s) and over a minute with the status loop on.
#
# usage: startup_bench.sh ZANTROX ZANTROX_SIM PAINT_PROBE [STARTS [SOAK_SECONDS]]
#   PAINT_PROBE is zantrox-e2e-paint-probe (built with the tests).
set -u

CONSOLE=${1:?usage: startup_bench.sh ZANTROX ZANTROX_SIM PAINT_PROBE [STARTS [SOAK_SECONDS]]}
SIM=${2:?zantrox-sim path missing}
PROBE=${3:?paint probe path missing}
STARTS=${4:-10}
SOAK_SECONDS=${5:-60}

TITLE='Zantrox Test Utility [2.00]  -  Mar 30 2016'
TITLE_PATTERN='^Zantrox Test Utility \[2\.00\]  -  Mar 30 2016$'
# The legend's heading "      Hot Keys" (client y = 25 px menu bar + 20).
PAINT_REGION="690 45 80 14"

for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null 2>&1 || { echo "needs $tool"; exit 77; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zantrox-bench.XXXXXX") || exit 1
XVFB_PID=
SIM_PID=
CONSOLE_PID=
cleanup() {
    for pid in $CONSOLE_PID $SIM_PID $XVFB_PID; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
die() {
    echo "startup_bench: $*" >&2
    exit 1
}
wait_for() {  # wait_for SECONDS COMMAND...
    local end=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -lt "$end" ] || return 1
        sleep 0.02
    done
}

# -noreset: the server would otherwise reset whenever its last client leaves,
# dropping whoever connects meanwhile.
exec 3>"$WORK/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
exec 3>&-
wait_for 10 test -s "$WORK/display" || die "Xvfb did not start"
DISPLAY=":$(head -n 1 "$WORK/display")"
export DISPLAY
export HOME="$WORK/home"
mkdir -p "$HOME"

"$SIM" --com 1 --log "$WORK/sim.log" >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
wait_for 10 grep -q '^zantrox-sim: ready ' "$WORK/sim.out" || die "the simulator did not start"

probe_watching() { grep -q '^watching' "$WORK/probe.out" 2>/dev/null; }
stop_console() {
    kill "$CONSOLE_PID" 2>/dev/null
    wait "$CONSOLE_PID" 2>/dev/null
    CONSOLE_PID=
}

# --- start-up ---------------------------------------------------------------------

echo "start-up: $STARTS starts, ms from exec to window mapped / first paint"
maps=()
paints=()
for ((i = 1; i <= STARTS; i++)); do
    # shellcheck disable=SC2086  # the region is four numbers
    "$PROBE" "$TITLE" $PAINT_REGION 10000 >"$WORK/probe.out" 2>&1 &
    probe=$!
    wait_for 10 probe_watching || die "the paint probe did not start: $(cat "$WORK/probe.out")"
    start=$(now_ms)
    "$CONSOLE" >"$WORK/console.out" 2>&1 &
    CONSOLE_PID=$!
    wait "$probe" || die "run $i: $(cat "$WORK/probe.out")"
    mapped=$(($(awk '$1 == "mapped" { print $2 }' "$WORK/probe.out") - start))
    painted=$(($(awk '$1 == "painted" { print $2 }' "$WORK/probe.out") - start))
    printf '  run %2d: mapped %4d ms, painted %4d ms\n' "$i" "$mapped" "$painted"
    maps+=("$mapped")
    paints+=("$painted")
    stop_console
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "  median: mapped $(median "${maps[@]}") ms, painted $(median "${paints[@]}") ms" \
     "(min $(printf '%s\n' "${paints[@]}" | sort -n | head -n 1), max $(printf '%s\n' "${paints[@]}" | sort -n | tail -n 1))"

# --- idle, then a minute of the status loop ------------------------------------------

status_field() { awk -v key="$1:" '$1 == key { print $2, $3 }' "/proc/$CONSOLE_PID/status"; }
cpu_ms() {  # user + system time of the console, in ms
    local ticks
    ticks=$(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$CONSOLE_PID/stat")
    echo $((ticks * 1000 / $(getconf CLK_TCK)))
}
frame_count() { awk -F'\t' '$2 == "ok"' "$WORK/sim.log" | wc -l; }

"$CONSOLE" >"$WORK/console.out" 2>&1 &
CONSOLE_PID=$!
window=$(timeout 10 xdotool search --sync --name "$TITLE_PATTERN" | head -n 1)
[ -n "$window" ] || die "no console window"
xdotool windowfocus --sync "$window" || die "cannot focus the console"
idle_seconds=$((SOAK_SECONDS < 10 ? SOAK_SECONDS : 10))
cpu_before=$(cpu_ms)
sleep "$idle_seconds"  # the measuring period itself
echo "loop off, ${idle_seconds} s: VmRSS $(status_field VmRSS), CPU $(($(cpu_ms) - cpu_before)) ms"
before=$(frame_count)
xdotool key l
more_frames() { [ "$(frame_count)" -gt "$before" ]; }
wait_for 10 more_frames || die "the status loop did not start"
polls_before=$(frame_count)
cpu_before=$(cpu_ms)
sleep "$SOAK_SECONDS"  # the measuring period itself
polls=$(($(frame_count) - polls_before))
cpu=$(($(cpu_ms) - cpu_before))
echo "after ${SOAK_SECONDS} s: VmRSS $(status_field VmRSS), VmHWM $(status_field VmHWM)," \
     "threads $(status_field Threads | cut -d' ' -f1), $polls polls ($((SOAK_SECONDS * 1000 / (polls > 0 ? polls : 1))) ms apart)," \
     "CPU ${cpu} ms ($((cpu * 1000 / (SOAK_SECONDS * 1000)))‰ of one core)"
stop_console
