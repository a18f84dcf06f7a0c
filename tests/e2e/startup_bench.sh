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

HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/lib/harness.sh
. "$HERE/../../tools/lib/harness.sh"

missing=$(missing_tools Xvfb xdotool)
[ -z "$missing" ] || { echo "needs $missing"; exit 77; }

die() {
    echo "startup_bench: $*" >&2
    exit 1
}

make_work_dir WORK bench || exit 1
CONSOLE_PID=
start_xvfb "$WORK/xvfb.log" || die "Xvfb did not start"
export HOME="$WORK/home"
mkdir -p "$HOME"
start_sim "$SIM" "$WORK/sim" --com 1 --log "$WORK/sim.log" || die "the simulator did not start"

probe_watching() { grep -q '^watching' "$WORK/probe.out" 2>/dev/null; }
stop_console() {
    stop_pid "$CONSOLE_PID"
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
    track_pid "$CONSOLE_PID"
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

start_console_window "$CONSOLE" "$WORK/console.out" "$TITLE_PATTERN" || die "no console window, or it took no focus"
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
