#!/usr/bin/env bash
# What packaging/wireshark/zantrox.lua costs Wireshark (a benchmark, not a test):
# tshark reads one large tap capture without the dissector, with it, and with it
# in two passes and a read filter (what the Info column and response_in need),
# the three in turn in every round so a machine that changes speed meanwhile
# touches them alike. Each run's wall time and CPU (user + system) are taken; the
# ratios to the run without the dissector are worked out round by round.
#
#   bench/tshark_bench.sh CAPTURE_BENCH [ROUNDS] [EXCHANGES]
#
# CAPTURE_BENCH is bench/capture_bench from a build (it writes the capture:
# EXCHANGES, default 100000, of three pieces each); ROUNDS defaults to 5, after one
# round that is not counted. Needs tshark and /usr/bin/time (Debian: time).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/lib/harness.sh
. "$root/tools/lib/harness.sh"
script_args "CAPTURE_BENCH [ROUNDS] [EXCHANGES]" 1 3 "$@"
writer=${ARGS[0]} rounds=${ARGS[1]:-5} exchanges=${ARGS[2]:-100000}
lua=$root/packaging/wireshark/zantrox.lua

die() { echo "tshark_bench: $*" >&2; exit 1; }
missing=$(missing_tools tshark /usr/bin/time)
[ -z "$missing" ] || die "not installed: $missing"
[ -x "$writer" ] || die "$writer is not a program"
work=
make_work_dir work tshark-bench || exit 1

capture=$work/tap.pcapng
"$writer" "$capture" "$exchanges" || die "the capture was not written"

# Each run with the dissector is set against the run without it that does the
# same work besides: one plain pass; two passes with a read filter, which makes
# tshark build every packet's tree (exported_pdu stands for zantrox there).
names=(plain lua plain2 lua2)
base=(- plain - plain2)
commands=("tshark -r $capture"
          "tshark -X lua_script:$lua -r $capture"
          "tshark -2 -R exported_pdu -r $capture"
          "tshark -2 -R zantrox -X lua_script:$lua -r $capture")
labels=("tshark -r FILE"
        "tshark -X lua_script:zantrox.lua -r FILE"
        "tshark -2 -R exported_pdu -r FILE"
        "tshark -2 -R zantrox -X lua_script:zantrox.lua -r FILE")

# A Lua error only shows on stderr; the dissector must also have named the packets.
check_dissector() {
    local out
    out=$(tshark -X lua_script:"$lua" -r "$capture" -c 3 -T fields -e _ws.col.Protocol 2>"$work/check.err")
    grep -v '^Running as user' "$work/check.err" | grep -q . && { cat "$work/check.err"; return 1; }
    [ "$(printf '%s\n' "$out" | sort -u)" = Zantrox ] || { echo "protocol column: $out"; return 1; }
}
check_dissector || die "the dissector did not load or did not dissect"

# run NAME INDEX ROUND: one run; appends "wall cpu" (seconds) to $work/NAME.
run() {
    local t0 t1 cpu
    t0=$(date +%s%N)
    # shellcheck disable=SC2086  # the command is words without blanks in them
    /usr/bin/time -f '%U %S' -o "$work/time.txt" ${commands[$2]} >/dev/null 2>"$work/run.err" ||
        die "${labels[$2]} failed: $(tail -3 "$work/run.err")"
    t1=$(date +%s%N)
    cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$work/time.txt")
    [ "$3" -eq 0 ] || echo "$(((t1 - t0) / 1000000)) $cpu" >>"$work/$1"
}

echo "tshark_bench: $(tshark --version 2>/dev/null | head -1) $rounds rounds after one not counted"
for round in $(seq 0 "$rounds"); do
    for i in "${!names[@]}"; do run "${names[$i]}" "$i" "$round"; done
done

# spread FILE COLUMN: "min / median / max" of one column.
spread() {
    sort -n -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%s / %s / %s", v[1], m, v[NR] }'
}
# ratios NAME BASE: "min / median / max" of NAME's wall time over BASE's, round by round.
ratios() {
    paste -d' ' "$work/$1" "$work/$2" | awk '{ printf "%.2f\n", $1 / $3 }' >"$work/$1.ratio"
    spread "$work/$1.ratio" 1
}

printf '\n%-56s %-26s %-13s %s\n' "command ($exchanges exchanges, $((3 * exchanges)) packets)" \
    "wall ms min / median / max" "CPU s median" "wall ratio, with / without the dissector"
for i in "${!names[@]}"; do
    name=${names[$i]}
    cpu=$(spread "$work/$name" 2 | awk -F' / ' '{ print $2 }')
    ratio=
    [ "${base[$i]}" = - ] || ratio=$(ratios "$name" "${base[$i]}")
    printf '%-56s %-26s %-13s %s\n' "${labels[$i]}" "$(spread "$work/$name" 1)" "$cpu" "$ratio"
done
echo "aim: with the dissector at most 3 times the wall time without it"
