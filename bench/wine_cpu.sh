#!/usr/bin/env bash
# CPU of the Windows programs under Wine against zantrox-sim on COM1 (a benchmark,
# not a test): for each build given, zantrox-cli.exe `send --repeat` (CPU per
# transaction and the transaction times) and the console with the status loop on,
# each measured over SECONDS (share of one core). Every line splits the CPU of the
# prefix into the program, Wine's server and Wine's other processes (its device
# host and services, which run whatever the program); the simulator is not counted.
# Two references come first: Wine with a program that does nothing (its own
# background), and the driver asking COM1's input queue and resting 1 ms over and
# over (the least a device that waits that way costs; CPU per rest).
#
#   bench/wine_cpu.sh ZANTROX_SIM DRIVER_EXE SECONDS LABEL=BUILD_DIR...
#
# BUILD_DIR holds cli/zantrox-cli.exe and console/win32/zantrox.exe (a Windows
# build such as <build>/win); DRIVER_EXE is the Wine test driver. Several builds
# run in one prefix, one after the other, so before and after share a machine state.
set -uo pipefail
. "$(dirname "$0")/../tools/lib/harness.sh"
script_args "ZANTROX_SIM DRIVER_EXE SECONDS LABEL=BUILD_DIR..." 4 99 "$@"
sim=${ARGS[0]} driver=${ARGS[1]} seconds=${ARGS[2]}
shift 3
WINE=${WINE:-wine}
make_work_dir work wine-cpu || exit 1

die() { echo "wine_cpu: $*" >&2; exit 1; }

# prefix_ticks PROGRAM: user + system clock ticks used so far by the processes of the
# prefix, as "program server other": the process named PROGRAM (its first 15
# characters, as the kernel keeps them), Wine's server, and the rest (Wine's device
# host, services and other helpers).
prefix_ticks() {
    local files
    files=$(grep -lzx "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null | sed 's/environ$/stat/')
    [ -n "$files" ] || { echo 0 0 0; return; }
    # shellcheck disable=SC2086  # one file a word; a process that has just ended is skipped
    cat $files 2>/dev/null | awk -v program="${1:0:15}" '{
        name = $0; sub(/^[^(]*\(/, "", name); sub(/\) .*$/, "", name)
        sub(/^.*\) /, ""); t = $12 + $13
        if (name == program) p += t; else if (name ~ /^wineserver/) s += t; else o += t
    } END { print p + 0, s + 0, o + 0 }'
}
ticks_per_s=$(getconf CLK_TCK)

# measure LABEL WHAT PROGRAM: CPU of the prefix over SECONDS while PROGRAM runs, as
# a share of one core and per frame the simulator took, split into the program,
# Wine's server and Wine's other processes. Leaves the program's share of a core
# in program_share.
program_share=0
measure() {
    local c0 c1 f0 f1 t0 t1
    f0=$(frames); read -r -a c0 <<<"$(prefix_ticks "$3")"; t0=$(now_ms)
    wait_for "$seconds" false
    f1=$(frames); read -r -a c1 <<<"$(prefix_ticks "$3")"; t1=$(now_ms)
    program_share=$(awk -v p=$((c1[0] - c0[0])) -v hz="$ticks_per_s" -v ms=$((t1 - t0)) 'BEGIN { print p / hz / (ms / 1000) }')
    awk -v p=$((c1[0] - c0[0])) -v s=$((c1[1] - c0[1])) -v o=$((c1[2] - c0[2])) -v hz="$ticks_per_s" \
        -v ms=$((t1 - t0)) -v f=$((f1 - f0)) -v what="$1: $2" 'BEGIN {
        cpu = (p + s + o) / hz; secs = ms / 1000
        printf "%s: %.1f s, %d frames, CPU %.2f s = %.1f %% of a core", what, secs, f, cpu, 100 * cpu / secs
        if (f > 0) printf ", %.1f ms per frame", 1000 * cpu / f
        printf "\n    program %.1f %%, wineserver %.1f %%, Wine'"'"'s other processes %.1f %% of a core", \
               100 * p / hz / secs, 100 * s / hz / secs, 100 * o / hz / secs
        if (f > 0) printf "; per frame %.1f + %.1f + %.1f ms", 1000 * p / hz / f, 1000 * s / hz / f, 1000 * o / hz / f
        printf "\n" }'
}

start_xvfb "$work/xvfb.log" 640x480x24 || die "no Xvfb"
# The simulator starts before the prefix is set, so it is not counted as Wine's.
start_sim "$sim" "$work/sim" --no-link --log "$work/sim.log" || die "simulator did not start"
wine_prefix "$work/prefix" "$work/wineboot.log" || die "wineboot failed"
wine_com_port 1 "$SIM_PTY" "$work/reg.log" || die "reg add COM1"
wine_restart || die "Wine's server did not start again"
wine_com_links 1="$SIM_PTY" || die "COM1 is not linked to the simulator"
frames() { awk -F'\t' '$2 == "ok"' "$work/sim.log" | wc -l; }
has_frames() { [ "$(frames)" -ge "$1" ]; }
running() { pgrep -f "$1" >/dev/null; }
rests() { tr -d '\r' <"$work/line-rest.out" | awk '/ rests$/ { n = $1 } END { print n + 0 }'; }

# What the prefix uses with no program of ours: nothing runs (only its idle
# server, kept for the whole run), then a Windows program that does nothing (Wine's own processes running).
measure prefix "nothing running but its idle server" none
"$WINE" "$driver" rest $(((seconds + 30) * 1000)) >/dev/null 2>&1 &
rest=$!
track_pid "$rest"
wait_for 60 running 'driver.exe rest' || die "driver rest did not start"
wait_for 5 false   # Wine's services settle
measure Wine "a program doing nothing" driver.exe
stop_pid "$rest"
# The least a device waiting with the queue asked and 1 ms rests costs under Wine.
"$WINE" "$driver" line-rest COM1 $(((seconds + 8) * 1000)) >"$work/line-rest.out" 2>&1 &
rest=$!
track_pid "$rest"
wait_for 60 running 'driver.exe line-rest' || die "driver line-rest did not start"
wait_for 3 false
measure floor "queue asked, 1 ms rest, over and over" driver.exe
wait_for 30 process_gone "$rest" || true
stop_pid "$rest"
awk -v n="$(rests)" -v secs=$((seconds + 8)) -v share="$program_share" 'BEGIN {
    if (n > 0) printf "floor: %d rests in %d s, %.1f us of the program per rest\n", n, secs, 1e6 * share * secs / n }'

for pair in "$@"; do
    label=${pair%%=*}
    dir=$(readlink -f "${pair#*=}")
    # --- zantrox-cli send --repeat, measured while it runs ---
    start=$(frames)
    "$WINE" "$dir/cli/zantrox-cli.exe" send --repeat 100000 --interval 0 key:S >"$work/$label-send.out" 2>&1 &
    cli=$!
    track_pid "$cli"
    wait_for 60 has_frames $((start + 5)) || die "$label: send did not start"
    measure "$label" "send --repeat" zantrox-cli.exe
    stop_pid "$cli"
    tr -d '\r' <"$work/$label-send.out" | sed -nE 's/^(reply|no ACK)[^0-9]*([0-9.]+) ms.*/\2/p' | sort -n |
        awk -v l="$label" '{ v[NR] = $1 } END { if (NR) printf "%s: transaction times min %.1f, median %.1f, max %.1f ms (n = %d)\n", l, v[1], v[int((NR + 1) / 2)], v[NR], NR }'

    # --- the console looping on status ---
    "$WINE" "$dir/console/win32/zantrox.exe" >"$work/$label-console.out" 2>&1 &
    console=$!
    track_pid "$console"
    "$WINE" "$driver" wait-window 60000 >/dev/null 2>&1 || die "$label: the console's window did not appear"
    start=$(frames)
    "$WINE" "$driver" key 76 >/dev/null 2>&1   # L: the status loop on
    wait_for 20 has_frames $((start + 3)) || die "$label: the status loop did not start"
    measure "$label" "console, status loop on" zantrox.exe
    "$WINE" "$driver" key 76 >/dev/null 2>&1
    "$WINE" "$driver" close >/dev/null 2>&1
    wait_for 20 process_gone "$console" || true
    stop_pid "$console"
done
