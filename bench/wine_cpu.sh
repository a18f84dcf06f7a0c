#!/usr/bin/env bash
# CPU of the Windows programs under Wine against zantrox-sim on COM1 (a benchmark,
# not a test): for each build given, zantrox-cli.exe `send --repeat` (CPU per
# transaction, the program plus Wine's server, and the transaction times) and the
# console with the status loop on, each measured over SECONDS (share of one core).
#
#   bench/wine_cpu.sh ZANTROX_SIM DRIVER_EXE SECONDS LABEL=BUILD_DIR...
#
# BUILD_DIR holds cli/zantrox-cli.exe and console/win32/zantrox.exe (a Windows
# build such as <build>/win); DRIVER_EXE is the Wine test driver. Several builds
# run in one prefix, one after the other, so before and after share a machine state.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
if [ $# -lt 4 ]; then
    echo "usage: wine_cpu.sh ZANTROX_SIM DRIVER_EXE SECONDS LABEL=BUILD_DIR..." >&2
    exit 2
fi
sim=$(readlink -f "$1")
driver=$(readlink -f "$2")
seconds=$3
shift 3
WINE=${WINE:-wine}
. "$root/tools/lib/harness.sh"
make_work_dir work wine-cpu || exit 1
at_exit '[ -n "${WINEPREFIX:-}" ] && wine_restart >/dev/null 2>&1'

die() { echo "wine_cpu: $*" >&2; exit 1; }

# prefix_ticks: user + system clock ticks used so far by every process of the prefix
# (the programs, Wine's server and its helper processes).
prefix_ticks() {
    local files
    files=$(grep -lzx "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null | sed 's/environ$/stat/')
    [ -n "$files" ] || { echo 0; return; }
    # shellcheck disable=SC2086  # one file a word; a process that has just ended is skipped
    cat $files 2>/dev/null | awk '{ sub(/^.*\) /, ""); t += $12 + $13 } END { print t + 0 }'
}
ticks_per_s=$(getconf CLK_TCK)

# measure LABEL WHAT: CPU of the prefix over SECONDS while the program loops, per
# frame the simulator took and as a share of one core.
measure() {
    local c0 c1 f0 f1 t0 t1
    f0=$(frames); c0=$(prefix_ticks); t0=$(now_ms)
    wait_for "$seconds" false
    f1=$(frames); c1=$(prefix_ticks); t1=$(now_ms)
    awk -v c=$((c1 - c0)) -v hz="$ticks_per_s" -v ms=$((t1 - t0)) -v f=$((f1 - f0)) -v what="$1: $2" 'BEGIN {
        cpu = c / hz
        printf "%s: %.1f s, %d frames, CPU %.2f s = %.1f %% of a core, %.1f ms per frame\n",
               what, ms / 1000, f, cpu, 100 * cpu / (ms / 1000), (f > 0 ? 1000 * cpu / f : 0) }'
}

start_xvfb "$work/xvfb.log" 640x480x24 || die "no Xvfb"
wine_prefix "$work/prefix" "$work/wineboot.log" || die "wineboot failed"
start_sim "$sim" "$work/sim" --no-link --log "$work/sim.log" || die "simulator did not start"
wine_com_port 1 "$SIM_PTY" "$work/reg.log" || die "reg add COM1"
wine_restart
frames() { awk -F'\t' '$2 == "ok"' "$work/sim.log" | wc -l; }
has_frames() { [ "$(frames)" -ge "$1" ]; }

# What the prefix uses with no program of ours: Wine's own processes, the waiting one.
measure prefix "idle"

for pair in "$@"; do
    label=${pair%%=*}
    dir=$(readlink -f "${pair#*=}")
    # --- zantrox-cli send --repeat, measured while it runs ---
    start=$(frames)
    "$WINE" "$dir/cli/zantrox-cli.exe" send --repeat 100000 --interval 0 key:S >"$work/$label-send.out" 2>&1 &
    cli=$!
    track_pid "$cli"
    wait_for 60 has_frames $((start + 5)) || die "$label: send did not start"
    measure "$label" "send --repeat"
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
    measure "$label" "console, status loop on"
    "$WINE" "$driver" key 76 >/dev/null 2>&1
    "$WINE" "$driver" close >/dev/null 2>&1
    wait_for 20 process_gone "$console" || true
    stop_pid "$console"
done
