#!/usr/bin/env bash
# The scripts built on tools/lib/harness.sh end what they start: after each run
# below no process of the run is left and its temporary folders are gone.
#
#   leftovers_test.sh BUILD_DIR ZANTROX_CLI ZANTROX_SIM
#
# Each run gets a session of its own (setsid), so every process it started, even
# one orphaned by its parent, is found afterwards with `pgrep -s`; and a TMPDIR of
# its own, which must be empty again at the end. The runs:
#   - a small harness user that stops and forgets processes in between (the list
#     of tracked processes gets holes) and has one that ignores TERM, ending
#     normally, through `die` and by Ctrl+C;
#   - tools/run-console.sh without a display (the console under Xvfb), to its end
#     and interrupted by Ctrl+C while the console runs;
#   - tests/cli/cli_e2e.sh, another harness user with processes of its own.
# Skipped (77) without Xvfb, xdotool, xwd or convert. Ends with "leftovers: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "BUILD_DIR ZANTROX_CLI ZANTROX_SIM" 3 3 "$@"
build=${ARGS[0]} cli=${ARGS[1]} sim=${ARGS[2]} root=$HARNESS_ROOT
for tool in Xvfb xdotool xwd convert setsid pgrep; do
    command -v "$tool" >/dev/null 2>&1 || { echo "leftovers: $tool not found; skipped"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zantrox-leftovers.XXXXXX") || exit 1
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# X display locks whose server no longer runs (a server that was killed leaves its lock).
stale_x_locks() {
    local lock pid
    for lock in /tmp/.X*-lock; do
        [ -f "$lock" ] || continue
        pid=$(tr -dc 0-9 <"$lock" 2>/dev/null)
        [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null && echo "$lock"
    done | sort
}

# runner_ended PID: the child PID has ended (a zombie until it is waited for).
runner_ended() { [ "$(ps -o stat= -p "$1")" = Z ] || ! kill -0 "$1" 2>/dev/null; }

# session_has SID REGEX: a process whose command line matches REGEX runs in session SID.
session_has() { pgrep -s "$1" -f "$2" >/dev/null; }

# run NAME WANT_STATUS INTERRUPT_WHEN COMMAND...: runs COMMAND in a new session with a
# TMPDIR of its own; when INTERRUPT_WHEN (a command line regex, or "-") runs in the session,
# Ctrl+C reaches the session's processes as from a terminal. Checks the exit status,
# the session and the TMPDIR afterwards.
run() {
    local name=$1 want=$2 interrupt=$3 dir="$work/$1" locks_before runner sid status left
    shift 3
    mkdir -p "$dir/tmp"
    locks_before=$(stale_x_locks)
    # A background job starts with Ctrl+C ignored, which a script can then not trap:
    # the run gets it back as at a terminal.
    TMPDIR="$dir/tmp" python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
with open(sys.argv[1] + ".part", "w") as f: f.write(str(os.getpid()))
os.rename(sys.argv[1] + ".part", sys.argv[1])
os.execvp(sys.argv[2], sys.argv[2:])' "$dir/sid" "$@" >"$dir/out" 2>&1 </dev/null &
    runner=$!
    wait_for 10 test -s "$dir/sid" || { fail "$name: did not start"; return; }
    sid=$(cat "$dir/sid")
    if [ "$interrupt" != - ]; then
        if wait_for 120 session_has "$sid" "$interrupt"; then
            kill -INT -- "-$sid"
        else
            fail "$name: $interrupt did not start"
        fi
    fi
    if ! wait_for 180 runner_ended "$runner"; then
        fail "$name: did not end within 180 s:"$'\n'"$(ps -o pid=,args= -s "$sid")"
        pkill -KILL -s "$sid"
    fi
    wait "$runner"
    status=$?
    if [[ "$status" =~ ^($want)$ ]]; then pass; else fail "$name: exit $status, wanted $want"; tail -20 "$dir/out"; fi
    # A zombie whose parent has ended is init's to reap, not a process left running.
    left=$(ps -o pid=,stat=,args= -s "$sid" | awk '$2 !~ /^Z/')
    if [ -z "$left" ]; then pass; else fail "$name: left running:"$'\n'"$left"; pkill -KILL -s "$sid"; fi
    left=$(ls -A "$dir/tmp")
    if [ -z "$left" ]; then pass; else fail "$name: left in TMPDIR: $left"; fi
    left=$(comm -13 <(echo "$locks_before") <(stale_x_locks))
    if [ -z "$left" ]; then pass; else fail "$name: stale X locks: $left"; fi
}

# A harness user that leaves holes in the tracked list: the first process stopped,
# one forgotten after the script reaped it, one that ignores TERM; then it ends as
# told: "normal", "die" (exit 1 from a failed step) or "wait" (for Ctrl+C).
cat >"$work/user.sh" <<'SCRIPT'
set -u
. "$1/tools/lib/harness.sh"
make_work_dir scratch user || exit 9
sleep 1000 & first=$!; track_pid "$first"
sleep 1000 & track_pid $!
python3 -c 'import signal, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
open(sys.argv[1], "w").close()
time.sleep(1000)' "$scratch/ignoring" &
track_pid $!
wait_for 10 test -e "$scratch/ignoring" || exit 9
sleep 1000 & reaped=$!; track_pid "$reaped"
sleep 1000 & track_pid $!
stop_pid "$first"
kill "$reaped"; wait "$reaped"; untrack_pid "$reaped"
sleep 1000 & track_pid $!
die() { echo "user: $*" >&2; exit 1; }
case $2 in
normal) ;;
die) false || die "a step failed" ;;
wait) sleep 1001 ;;
esac
SCRIPT
run user-normal 0 - bash "$work/user.sh" "$root" normal
run user-die 1 - bash "$work/user.sh" "$root" die
# Ctrl+C ends the sleep in the foreground; bash then runs its INT trap.
run user-ctrl-c 130 '^sleep 1001$' bash "$work/user.sh" "$root" wait

# The run command without a display, to its end and interrupted while the console runs.
run run-console 0 - env -u DISPLAY "$root/tools/run-console.sh" "$build"
grep -q 'screenshot:' "$work/run-console/out" && pass || fail "run-console: no screenshot line"
# The simulator ends on Ctrl+C too: the run may fail on that (1) before it ends by
# Ctrl+C (130); either way nothing is left.
run run-console-ctrl-c '1|130' '/console/linux/zantrox$' env -u DISPLAY "$root/tools/run-console.sh" "$build"

# Its own checks are the cli_e2e test's; here only what it leaves counts.
run cli-e2e '[0-9]+' - bash "$root/tests/cli/cli_e2e.sh" "$cli" "$sim"

[ "$failed" -eq 0 ] && rm -rf "$work" || echo "leftovers: work folder kept: $work"
echo "leftovers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
