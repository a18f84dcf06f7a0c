#!/usr/bin/env bash
# Runs both Wine suites (the console's and zantrox-cli's) over and over on fresh
# prefixes and counts the runs that failed, to show the suites fail only when the
# programs do. A benchmark of the harness, not a test of its own.
#
#   tools/soak-wine.sh [--load K] [--side-by-side] N [BUILD_DIR]
#
# BUILD_DIR (default build-test/ci) is a Linux build with the Windows programs in
# win/ (the test run's main build). --load K runs K busy loops beside the suites the
# whole time; --side-by-side runs each round's two suites at the same time, as the
# test run does. Each run's output goes to a log folder that is kept; the closing
# lines name every failed run with its log and count Wine's harness faults apart.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/lib/harness.sh"

usage() { echo "usage: tools/soak-wine.sh [--load K] [--side-by-side] N [BUILD_DIR]" >&2; exit 2; }
load=0
side_by_side=0
while [ $# -gt 0 ]; do
    case $1 in
    --load) [ $# -ge 2 ] || usage; load=$2; shift 2 ;;
    --side-by-side) side_by_side=1; shift ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] && [ $# -le 2 ] || usage
[[ "$1" =~ ^[1-9][0-9]*$ ]] && [[ "$load" =~ ^[0-9]+$ ]] || usage
runs=$1
build=$(readlink -f "${2:-$root/build-test/ci}")

console_args=("$build/win/console/win32/zantrox.exe" "$build/tests/wine/driver.exe"
              "$build/sim/zantrox-sim" "$build/tests/wine_expect")
cli_args=("$build/win/cli/zantrox-cli.exe" "$build/sim/zantrox-sim" "$build/cli/zantrox-cli" "$build/extcap/zantrox-extcap"
          "$build/win/extcap/zantrox-extcap.exe")
for f in "${console_args[@]}" "${cli_args[@]}"; do
    [ -x "$f" ] || [ -f "$f" ] || { echo "soak-wine: missing $f (build $build first)" >&2; exit 2; }
done
version=$(sed -n 's/^#define ZANTROX_VERSION "\(.*\)"$/\1/p' "$build/generated/zantrox_version.h")

logs=$(mktemp -d "${TMPDIR:-/tmp}/zantrox-soak.XXXXXX") || exit 1
for ((i = 0; i < load; i++)); do
    (while :; do :; done) &
    track_pid $!
done

# suite NAME ROUND: one run of a suite, its output in the log folder; prints
# "NAME ROUND STATUS SECONDS" when it ends.
suite() {
    local name=$1 round=$2 log="$logs/$1-$2.log" t0 status
    t0=$(now_ms)
    if [ "$name" = wine_console ]; then
        ZANTROX_VERSION=$version ZANTROX_WIN_CLI=${cli_args[0]} \
            "$root/tests/wine/run_wine_tests.sh" "${console_args[@]}" >"$log" 2>&1
    else
        "$root/tests/wine/run_wine_cli_tests.sh" "${cli_args[@]}" >"$log" 2>&1
    fi
    status=$?
    echo "$name $round $status $(( ($(now_ms) - t0) / 1000 ))"
}

echo "soak-wine: $runs rounds of wine_console and wine_cli, $load busy loops beside," \
     "$([ $side_by_side = 1 ] && echo 'side by side' || echo 'one after the other'); logs in $logs"
results=$logs/results
: >"$results"
for ((round = 1; round <= runs; round++)); do
    if [ $side_by_side = 1 ]; then
        suite wine_console "$round" >>"$results" &
        suite wine_cli "$round" >>"$results"
        wait $!
    else
        suite wine_console "$round" >>"$results"
        suite wine_cli "$round" >>"$results"
    fi
    tail -n 2 "$results" | sed 's/^/  /'
done

echo "soak-wine: summary ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg))"
for name in wine_console wine_cli; do
    awk -v n="$name" '$1 == n { c++; t += $4; if ($3 != 0) f++; if (min == "" || $4 < min) min = $4; if ($4 > max) max = $4 }
        END { printf "  %s: %d runs, %d failed; %d to %d s a run, %.0f s on average\n", n, c, f, min, max, t / c }' "$results"
done
bad=0
while read -r name round status _; do
    [ "$status" -eq 0 ] && continue
    bad=$((bad + 1))
    fault=
    grep -qF "$WINE_HARNESS_FAULT" "$logs/$name-$round.log" && fault=" (a harness fault)"
    echo "FAILED: $name round $round, exit $status$fault: $logs/$name-$round.log"
    grep -E '^FAIL' "$logs/$name-$round.log" | head -5 | sed 's/^/    /'
done <"$results"
[ "$bad" -eq 0 ]
