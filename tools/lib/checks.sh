# shellcheck shell=bash
# shellcheck disable=SC2034  # work, ctl and log are for the sourcing script
# Counting checks for the end-to-end scripts that drive zantrox-cli against the
# simulator: pass and fail counts, the checks themselves, and a work folder with
# its own HOME and the simulator's control and log files. Source harness.sh first.

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# checks_begin NAME: a work folder $work with HOME inside; $ctl and $log for the
# simulator; "NAME: N passed, M failed" at exit, the work folder kept (and named)
# when a check failed, as the logs of the programs it ran are there.
checks_begin() {
    at_exit "echo \"$1: \$passed passed, \$failed failed\""
    at_exit "[ \$failed -eq 0 ] || { HARNESS_KEEP_WORK=1; echo \"$1: work folder kept: \$work\"; }"
    make_work_dir work "$1"
    export HOME="$work/home"
    mkdir -p "$HOME"
    ctl="$work/control"
    log="$work/sim.log"
    echo normal >"$ctl"
}

# check_status NAME EXPECTED_STATUS COMMAND...: runs COMMAND (stdout to $work/out, stderr to $work/err).
check_status() {
    local name=$1 want=$2
    shift 2
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    if [ "$got" -eq "$want" ]; then pass; else fail "$name: exit $got, wanted $want"; sed 's/^/    /' "$work/err"; fi
}

# has NAME FILE TEXT: FILE contains TEXT (fixed string).
has() { if grep -qF -- "$3" "$2"; then pass; else fail "$1: no '$3' in $(basename "$2")"; sed 's/^/    /' "$2" | head -20; fi; }

# set_mode MODE: switches the simulator and waits until it says so.
set_mode() {
    echo "$1" >"$ctl"
    wait_for 5 grep -q "mode	$1\$" "$log" || fail "simulator did not switch to $1"
}
