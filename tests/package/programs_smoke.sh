#!/usr/bin/env bash
# The headless programs of a package, run the way a gateway runs them, against the
# simulator: send, check (one round), run of the examples, and watch --tap with
# its metrics scraped. Every exchange must be judged as on the build machine:
# the emulator may be slow, but not late for a 100 ms window.
#
#   programs_smoke.sh ZANTROX_CLI ZANTROX_SIM [EMULATOR]
#
# EMULATOR (qemu-aarch64-static for an arm64 build) runs both programs; without
# it they run directly. At the end, the CPU time zantrox-cli took per transaction
# over a run of status requests (user + system, the emulator included), and
# "smoke: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_CLI ZANTROX_SIM [EMULATOR]" 2 3 "$@"
root=$HARNESS_ROOT
emulator=()
[ ${#ARGS[@]} -lt 3 ] || emulator=("$(command -v "${ARGS[2]}" || echo "${ARGS[2]}")")
. "$root/tools/lib/checks.sh"
checks_begin smoke

# The programs through the emulator, as one command each.
cli() { "${emulator[@]}" "${ARGS[0]}" "$@"; }
sim() { "${emulator[@]}" "${ARGS[1]}" "$@"; }
printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${emulator[*]}" "${ARGS[1]}" >"$work/sim.sh"
chmod +x "$work/sim.sh"

# count FILE REGEX: the lines of FILE matching REGEX.
count() { grep -cE -- "$2" "$1"; }
# cpu_of COMMAND...: runs COMMAND (output to $work/out), prints the CPU seconds
# (user + system) it and its children took; its exit status is in $work/status.
cpu_of() {
    python3 - "$work/out" "$work/status" "$@" <<'PY'
import resource, subprocess, sys
with open(sys.argv[1], "wb") as out:
    status = subprocess.call(sys.argv[3:], stdout=out, stderr=subprocess.STDOUT)
open(sys.argv[2], "w").write(str(status))
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.3f" % (r.ru_utime + r.ru_stime))
PY
}

start_sim "$work/sim.sh" "$work/sim" --no-link --control "$ctl" --log "$log" ||
    { fail "the simulator did not start: $(cat "$work/sim.err")"; exit 1; }
port=$SIM_PTY

check_status "--version" 0 cli --version
has "--version names the program" "$work/out" "zantrox-cli"

check_status "send key:S" 0 cli send key:S --port "$port"
has "send: the reply judged OK" "$work/out" "reply OK"

# A run of status requests: all judged OK, and what they cost.
n=100
cpu=$(cpu_of "${emulator[@]}" "${ARGS[0]}" send --json --repeat $n --interval 0 key:S --port "$port")
if [ "$(cat "$work/status")" = 0 ] && [ "$(count "$work/out" '"verdict":"ok"')" -eq $n ]; then
    pass
else
    fail "send --repeat $n: status $(cat "$work/status"), $(count "$work/out" '"verdict":"ok"') of $n judged OK"
    grep -v '"verdict":"ok"' "$work/out" | head -5
fi

check_status "check --rounds 1" 0 cli check --rounds 1 --port "$port" --report "$work/check.html"
[ -s "$work/check.html" ] && pass || fail "check wrote no report"

# The examples: smoke.toml's card-reader step fails against the simulator on
# purpose (it has none), every other step passes.
check_status "run examples/sale-cycle.toml" 0 cli run "$root/examples/sale-cycle.toml" --port "$port"
check_status "run examples/smoke.toml" 1 cli run "$root/examples/smoke.toml" --port "$port" --json
failed_steps=$(grep '"kind":"step"' "$work/out" | grep -c '"pass":false')
[ "$failed_steps" = 1 ] && grep '"pass":false' "$work/out" | grep -q 'a card reader on every pump' && pass ||
    fail "run smoke.toml: $failed_steps failed steps, wanted the card reader's alone"
stop_pid "$SIM_PID"

# ---- the tap: a simulator with tap links, watch --tap --metrics on them ----
host_link="$work/tap-host" ctrl_link="$work/tap-ctrl"
start_sim "$work/sim.sh" "$work/tapsim" --no-link --tap-links "$host_link" "$ctrl_link" ||
    { fail "the tap's simulator did not start: $(cat "$work/tapsim.err")"; exit 1; }
mport=$(free_tcp_port)
# Started directly, not through cli(): $! must be the program's own process.
"${emulator[@]}" "${ARGS[0]}" watch --tap "$host_link" "$ctrl_link" --json --metrics "127.0.0.1:$mport" \
    >"$work/tap.out" 2>"$work/tap.err" &
tap_pid=$!
track_pid "$tap_pid"
if wait_for 20 tcp_listening "$mport"; then pass; else fail "the tap did not serve metrics: $(cat "$work/tap.err")"; fi
judged() { grep -c '"kind":"exchange"' "$work/tap.out"; }
check_status "send through the tap" 0 cli send --repeat 10 --interval 0 --pump 7 Pump/Sale/Read --port "$SIM_PTY"
wait_for 10 test "$(judged)" -ge 10 || true
[ "$(judged)" -eq 10 ] && [ "$(grep '"kind":"exchange"' "$work/tap.out" | grep -c '"verdict":"ok"')" -eq 10 ] && pass ||
    fail "the tap judged $(judged) exchanges, $(grep -c '"verdict":"ok"' "$work/tap.out") OK, of 10"
scrape() {
    python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode())' \
        "http://127.0.0.1:$mport/metrics" >"$work/metrics.txt" 2>"$work/scrape.err"
}
if scrape; then
    grep -qE '^zantrox_exchanges_total\{.*pump="7".*verdict="ok".*\} 10$|^zantrox_exchanges_total\{.*verdict="ok".*pump="7".*\} 10$' \
        "$work/metrics.txt" && pass || { fail "metrics: no 10 OK exchanges of pump 7"; grep 'pump="7"' "$work/metrics.txt" | head; }
    grep -q '^zantrox_build_info' "$work/metrics.txt" && pass || fail "metrics: no zantrox_build_info"
else
    fail "scraping the tap's metrics: $(cat "$work/scrape.err")"
fi
stop_pid "$tap_pid"
stop_pid "$SIM_PID"

echo "smoke: zantrox-cli CPU per transaction: $(awk -v c="$cpu" -v n=$n 'BEGIN { printf "%.2f ms", c * 1000 / n }')" \
     "(send --repeat $n key:S${emulator:+, under ${emulator[*]}})"
