#!/usr/bin/env bash
# End-to-end test of the Windows console under Wine, checked on the wire.
#
#   run_wine_tests.sh ZANTROX_EXE DRIVER_EXE ZANTROX_SIM [WINE_EXPECT]
#
# Starts Xvfb on a free display and a fresh Wine prefix in a temporary folder, two
# simulators on pseudo-terminals mapped to COM1 and COM2, and the console. The test
# driver (driver.exe) posts menu commands and keys to the console's window and
# answers its boxes; the simulators' logs show what reached the line. The texts to
# expect come from wine_expect (built from the command table; compiled here from
# the source tree when not given).
#
# Environment: ZANTROX_WINE_SCREENSHOT=PATH saves the screenshot of the window
# there (else only into the work folder); ZANTROX_WINE_KEEP=1 keeps the work folder
# (it is kept anyway when a check failed). Ends with "wine: N passed, M failed".
set -uo pipefail

script_start=$(date +%s%N)
# shellcheck source=../../tools/lib/harness.sh
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_EXE DRIVER_EXE ZANTROX_SIM [WINE_EXPECT]" 3 4 "$@"
exe=${ARGS[0]} driver=${ARGS[1]} sim=${ARGS[2]} expect_tool=${ARGS[3]:-}
source_root=$HARNESS_ROOT here=$HARNESS_ROOT/tests/wine
for f in "$exe" "$driver" "$sim"; do
    [ -f "$f" ] || { echo "run_wine_tests.sh: missing $f" >&2; exit 2; }
done
WINE=${WINE:-wine}
for tool in "$WINE" wineboot wineserver Xvfb; do
    command -v "$tool" >/dev/null 2>&1 || { echo "run_wine_tests.sh: $tool not found" >&2; exit 2; }
done

make_work_dir work wine || exit 1
passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# Wine's own processes end before the simulators and Xvfb (the harness stops
# those); the work folder stays after a failure.
wine_cleanup() {
    wine_stop
    if [ -f "$work/harness-fault" ]; then
        failed=$((failed + 1))
        echo "FAIL: $WINE_HARNESS_FAULT ($(cat "$work/harness-fault"))"
    fi
    if [ "$failed" -ne 0 ] || [ "${ZANTROX_WINE_KEEP:-0}" = 1 ]; then
        HARNESS_KEEP_WORK=1
        echo "wine: work folder kept: $work"
    fi
    echo "wine: $passed passed, $failed failed"
}
at_exit wine_cleanup

# ---- Helpers ----------------------------------------------------------------

# drive ARGS...: the test driver under Wine. When Wine's client lost its server the
# driver never ran: that is said as a harness fault and the suite ends (a subshell,
# as in a pipe, ends only itself; the fault is said again at the end).
drive() {
    local rc
    "$WINE" "$driver" "$@" 2>"$work/drive.err"
    rc=$?
    if wine_client_failed "$work/drive.err"; then
        echo "driver $1" >"$work/harness-fault"
        fail "driver $1: $WINE_HARNESS_FAULT"
        head -5 "$work/drive.err"
        exit 1
    fi
    cat "$work/drive.err" >&2
    return "$rc"
}

# The frames a simulator has logged, "verdict<TAB>text" per line, complete lines only.
frames() {
    local n
    n=$(wc -l <"$1")
    head -n "$n" "$1" | awk -F'\t' '$2 != "mode" { print $2 "\t" $3 }'
}
frame_count() { frames "$1" | wc -l; }
has_frames() { [ "$(frame_count "$1")" -ge "$2" ]; }

# settle LOG: waits until no frame has arrived at LOG for 600 ms (at most 30 s):
# the console has ended whatever it was sending.
settle() {
    local log=$1 last now_count since deadline
    last=$(frame_count "$log")
    since=$(now_ms)
    deadline=$((since + 30000))
    while [ "$(now_ms)" -lt "$deadline" ]; do
        sleep 0.05
        now_count=$(frame_count "$log")
        if [ "$now_count" -ne "$last" ]; then
            last=$now_count
            since=$(now_ms)
        elif [ $(( $(now_ms) - since )) -ge 600 ]; then
            return 0
        fi
    done
    return 1
}

# run_plan NAME LOG PLAN: posts every step of PLAN ("menu|key<TAB>ID[<TAB>TEXT...]"
# per line) in one go and checks that the texts arrive at LOG in order. Each step
# with texts is one check, except in a plan where only the last step has texts (a
# sentinel after steps that must send nothing): that plan is one check. After a
# mismatch the comparison picks up again at the next step's first text.
run_plan() {
    local name=$1 log=$2 plan=$3
    local base total=0 what id rest t
    local -a tokens=() step_what=() step_id=() step_count=() step_start=() expected=() texts=()
    base=$(frame_count "$log")
    while IFS=$'\t' read -r what id rest; do
        [ -n "$what" ] || continue
        if [ "$what" = menu ]; then tokens+=("m$id"); else tokens+=("k$id"); fi
        texts=()
        [ -n "$rest" ] && IFS=$'\t' read -r -a texts <<<"$rest"
        step_what+=("$what"); step_id+=("$id"); step_count+=("${#texts[@]}"); step_start+=("$total")
        for t in "${texts[@]}"; do expected+=("ok	$t"); done
        total=$((total + ${#texts[@]}))
    done <"$plan"

    local i
    for ((i = 0; i < ${#tokens[@]}; i += 60)); do
        if ! drive post "${tokens[@]:i:60}"; then
            fail "$name: the driver could not post the steps"
            return
        fi
    done
    # About 0.15 s a message on a healthy line; the deadline is generous.
    wait_for $((20 + total / 2)) has_frames "$log" $((base + total))
    settle "$log"
    local -a actual=()
    mapfile -t actual < <(frames "$log" | tail -n +$((base + 1)))

    local with_texts=0 single=0
    for ((i = 0; i < ${#step_id[@]}; i++)); do
        [ "${step_count[$i]}" -gt 0 ] && with_texts=$((with_texts + 1))
    done
    [ "$with_texts" -eq 1 ] && [ "${#step_id[@]}" -gt 1 ] && single=1

    local pos=0 k j p ok all_ok=1 count start next shown=0
    for ((i = 0; i < ${#step_id[@]}; i++)); do
        count=${step_count[$i]}
        [ "$count" -gt 0 ] || continue
        start=${step_start[$i]}
        ok=1
        for ((k = 0; k < count; k++)); do
            [ "${actual[$((pos + k))]:-<nothing>}" = "${expected[$((start + k))]}" ] || ok=0
        done
        if [ "$ok" -eq 1 ]; then
            [ "$single" -eq 1 ] || pass
            pos=$((pos + count))
            continue
        fi
        all_ok=0
        if [ "$shown" -lt 10 ]; then
            fail "$name: ${step_what[$i]} ${step_id[$i]}: expected [${expected[*]:start:count}]," \
                "got [${actual[*]:pos:count}]"
        else
            failed=$((failed + 1))
        fi
        shown=$((shown + 1))
        # Resynchronise on the next step's first text, a few frames either way.
        next=-1
        for ((j = i + 1; j < ${#step_id[@]}; j++)); do
            if [ "${step_count[$j]}" -gt 0 ]; then next=${step_start[$j]}; break; fi
        done
        p=-1
        if [ "$next" -ge 0 ]; then
            for ((k = pos; k <= pos + count + 8 && k < ${#actual[@]}; k++)); do
                if [ "${actual[$k]}" = "${expected[$next]}" ]; then p=$k; break; fi
            done
        fi
        if [ "$p" -ge 0 ]; then pos=$p; else pos=$((pos + count)); fi
    done
    [ "$shown" -gt 10 ] && echo "FAIL: $name: $((shown - 10)) more steps failed"
    if [ "$pos" -lt "${#actual[@]}" ]; then
        all_ok=0
        fail "$name: $(( ${#actual[@]} - pos )) frame(s) more than expected at the end: [${actual[*]:pos}]"
    fi
    [ "$single" -eq 1 ] && [ "$all_ok" -eq 1 ] && pass
    echo "wine: $name: ${#step_id[@]} steps, $total frames expected, ${#actual[@]} seen"
}

# expect_next NAME LOG TEXT: the next frame at LOG is TEXT (after posting its cause).
expect_next() {
    local name=$1 log=$2 text=$3 base=$4
    wait_for 10 has_frames "$log" $((base + 1))
    local got
    got=$(frames "$log" | tail -n +$((base + 1)) | head -n 1)
    if [ "$got" = "ok	$text" ]; then pass; else fail "$name: expected [ok	$text], got [${got:-nothing}]"; fi
}

exe_done() { [ -f "$work/exe.rc" ]; }

# start_console: runs the console in the background; sets start_ms on success.
start_console() {
    rm -f "$work/exe.rc"
    local t0
    t0=$(now_ms)
    ( cd "$work" && "$WINE" "$exe" >>"$work/exe.out" 2>&1; echo $? >"$work/exe.rc" ) &
    if drive wait-window 60000 >"$work/wait-window.out"; then
        start_ms=$(( $(now_ms) - t0 ))
        return 0
    fi
    cat "$work/wait-window.out"
    if wine_client_failed "$work/exe.out"; then
        echo "console start" >"$work/harness-fault"
        fail "console start: $WINE_HARNESS_FAULT"
    fi
    return 1
}

# ---- Display and prefix -------------------------------------------------------

start_xvfb "$work/xvfb.log" 1280x800x24 || { fail "no Xvfb display could be started"; exit 1; }

t0=$(now_ms)
if ! wine_prefix "$work/prefix" "$work/wineboot.log"; then
    tail -20 "$work/wineboot.log"
    fail "wineboot -i"
    exit 1
fi
prefix_ms=$(( $(now_ms) - t0 ))
echo "wine: prefix ready in $prefix_ms ms"

# ---- Version resources, as Windows reads them -------------------------------------
# ZANTROX_VERSION is the project's version number; ZANTROX_WIN_CLI the command line
# program of the same build (both given by CMake).
# check_version FILE DESCRIPTION
check_version() {
    local file=$1 want=$2 version=${ZANTROX_VERSION:-}
    if [ -z "$version" ]; then fail "version: ZANTROX_VERSION not given"; return; fi
    drive version "Z:${file//\//\\}" | tr -d '\r' >"$work/version.out"
    printf '%s\n' "FileVersion#=$version.0" "ProductVersion#=$version.0" "ProductName=Zantrox Test Utility" \
        "ProductVersion=$version" "FileVersion=$version" "FileDescription=$want" \
        "OriginalFilename=$(basename "$file")" | diff -u - "$work/version.out" >"$work/version.diff" &&
        pass || { fail "version resource of $(basename "$file")"; cat "$work/version.diff"; }
}
check_version "$exe" "Zantrox Test Utility console"
[ ! -f "${ZANTROX_WIN_CLI:-}" ] || check_version "$(readlink -f "$ZANTROX_WIN_CLI")" "Zantrox Test Utility command line"

# ---- Expected texts -----------------------------------------------------------

if [ -z "$expect_tool" ]; then
    expect_tool=$work/wine_expect
    ${CXX:-c++} -std=c++17 -Wall -Wextra -I"$source_root" -o "$expect_tool" \
        "$here/wine_expect.cpp" "$source_root/commands/menu_table.cpp" >"$work/wine_expect.log" 2>&1 ||
        { cat "$work/wine_expect.log"; fail "wine_expect does not build"; exit 1; }
fi
for plan in sends quiet settings; do
    "$expect_tool" "$plan" >"$work/$plan.plan" || { fail "wine_expect $plan"; exit 1; }
done
if ! "$expect_tool" ids confirm >"$work/confirm.ids" ||
   ! "$expect_tool" ids placeholder >"$work/placeholder.ids" ||
   ! loop_key=$("$expect_tool" ids loop-key); then
    fail "wine_expect ids"
    exit 1
fi

# ---- Simulators on COM1 and COM2 ------------------------------------------------

declare -A pty log
for k in 1 2; do
    log[$k]=$work/sim$k.log
    # --baud auto: "Restart" at each baud rate below must still reach the simulator.
    if ! start_sim "$sim" "$work/sim$k" --no-link --baud auto --log "${log[$k]}" --control "$work/sim$k.control"; then
        cat "$work/sim$k.err"
        fail "simulator $k did not start"
        exit 1
    fi
    pty[$k]=$SIM_PTY
    wine_com_port "$k" "${pty[$k]}" "$work/reg.log" || fail "reg add COM$k"
done
# The dosdevices links comN are made from the registry when Wine starts.
wine_restart || { fail "$WINE_HARNESS_FAULT (no server after the restart)"; exit 1; }
wine_com_links 1="${pty[1]}" 2="${pty[2]}" >"$work/links.out" ||
    { fail "COM links: $WINE_HARNESS_FAULT"; cat "$work/links.out"; exit 1; }

# Each port carries a frame of the driver's own to its simulator.
for k in 1 2; do
    if drive com-write "COM$k" "wine-probe-$k"; then
        expect_next "COM$k mapped to ${pty[$k]}" "${log[$k]}" "wine-probe-$k" 0
    else
        fail "COM$k cannot be written"
    fi
done

# ---- The console ----------------------------------------------------------------

if ! start_console; then
    fail "the console's window did not come up"
    exit 1
fi
first_start_ms=$start_ms
pass
echo "wine: console start to visible window: $first_start_ms ms (cold)"
drive rect >"$work/rect.out" && echo "wine: window $(cat "$work/rect.out")"
read -r wx wy ww wh _ <"$work/rect.out"
if [ "$wx $wy $ww $wh" = "30 100 900 500" ]; then pass; else fail "window at ($wx, $wy) size $ww x $wh, expected (30, 100) 900 x 500"; fi

# Every binding that sends, with the default settings, in table order.
run_plan sends "${log[1]}" "$work/sends.plan"

# Bindings that send nothing: with a status request after them, only FE arrives.
printf 'key\t83\tFE\n' >>"$work/quiet.plan"
run_plan quiet "${log[1]}" "$work/quiet.plan"

# Each pump number, preset amount and price base shows in the next message.
run_plan settings "${log[1]}" "$work/settings.plan"

# Confirmations: No sends nothing, Yes sends the text.
while IFS=$'\t' read -r _ id text; do
    base=$(frame_count "${log[1]}")
    drive command "$id"
    if drive answer-box "Info" "ARE YOU SURE?" no 10000; then
        drive key 83
        expect_next "menu $id answered No" "${log[1]}" FE "$base"
    else
        fail "menu $id: no confirmation box"
    fi
    base=$(frame_count "${log[1]}")
    drive command "$id"
    if drive answer-box "Info" "ARE YOU SURE?" yes 10000; then
        expect_next "menu $id answered Yes" "${log[1]}" "$text" "$base"
    else
        fail "menu $id: no confirmation box"
    fi
done <"$work/confirm.ids"

# Placeholders: the box, then nothing on the line.
base=$(frame_count "${log[1]}")
boxes_ok=1
while IFS=$'\t' read -r _ id; do
    drive command "$id"
    drive answer-box "info" "Not Coded Yet" ok 10000 || { boxes_ok=0; fail "menu $id: no placeholder box"; }
done <"$work/placeholder.ids"
[ "$boxes_ok" -eq 1 ] && pass
drive key 83
expect_next "placeholders send nothing" "${log[1]}" FE "$base"

# "Restart" reopens the port at each baud rate ("Baud Rate" > "2400" .. "19200",
# ids 32785 .. 32788; "Restart" 32789); 9600 last, the default.
for id in 32785 32786 32788 32787; do
    base=$(frame_count "${log[1]}")
    drive post "m$id" m32789 k83
    expect_next "Restart at baud rate id $id" "${log[1]}" FE "$base"
done

# A new COM port takes effect at "Restart" only (ids: "COM Port" > "2", "Restart").
base1=$(frame_count "${log[1]}")
base2=$(frame_count "${log[2]}")
drive post m32778 k83
expect_next "COM Port 2 before Restart still on COM1" "${log[1]}" FE "$base1"
drive post m32789 k83
expect_next "after Restart on COM2" "${log[2]}" FE "$base2"
if [ "$(frame_count "${log[1]}")" -eq $((base1 + 1)) ]; then pass; else fail "COM1 got frames after Restart"; fi

# The window after a status exchange (the S just answered on COM2).
shot=$work/console-windows.png
if command -v xwd >/dev/null && command -v convert >/dev/null; then
    if xwd -root -silent -display "$DISPLAY" | convert xwd:- -crop "${ww}x${wh}+${wx}+${wy}" +repage "$shot" &&
        [ -s "$shot" ]; then
        pass
        echo "wine: screenshot $shot"
        if [ -n "${ZANTROX_WINE_SCREENSHOT:-}" ]; then cp "$shot" "$ZANTROX_WINE_SCREENSHOT"; fi
    else
        fail "screenshot"
    fi
else
    fail "screenshot: xwd or convert missing"
fi

# Loop on status: repeated FE polls (on COM2 now).
base2=$(frame_count "${log[2]}")
drive key "$loop_key"
if wait_for 15 has_frames "${log[2]}" $((base2 + 5)); then
    polls=$(frames "${log[2]}" | tail -n +$((base2 + 1)))
    if ! grep -q -v -x "ok	FE" <<<"$polls"; then pass; else fail "loop sent other frames: $polls"; fi
    period=$(awk -F'\t' -v from="$base2" '$2 != "mode" { n++; if (n > from) { t[++m] = $1 } }
        END { if (m > 1) printf "%d", (t[m] - t[1]) / (m - 1) }' "${log[2]}")
    echo "wine: status loop: one poll every $period ms"
else
    fail "loop: fewer than 5 polls within 15 s"
fi

# Closing the window while a poll is in its exchange still ends the process, about
# 2 s later by design (the tick thread stops first, so that exchange never ends and
# the wait for the poll thread runs out). The simulator on COM2 goes silent, and the
# driver closes the window the moment the next poll reaches it.
has_mode() { awk -F'\t' -v m="$2" '$2 == "mode" && $3 == m { found = 1 } END { exit !found }' "$1"; }
echo silent >"$work/sim2.control"
if wait_for 10 has_mode "${log[2]}" silent; then
    windows_log="Z:${log[2]//\//\\}"
    if drive close-on-growth "$windows_log" 10000; then
        t0=$(now_ms)
        if wait_for 15 exe_done; then
            close_ms=$(( $(now_ms) - t0 ))
            echo "wine: WM_CLOSE during a poll exchange to process exit: $close_ms ms"
            if [ "$close_ms" -le 6000 ]; then pass; else fail "process exit took $close_ms ms after WM_CLOSE (bound 6000)"; fi
            rc=$(cat "$work/exe.rc")
            if [ "$rc" = 0 ]; then pass; else fail "exit code $rc after WM_CLOSE"; fi
        else
            fail "process still running 15 s after WM_CLOSE"
        fi
    else
        fail "no poll to close the window on"
    fi
else
    fail "simulator 2 did not go silent"
fi

# "E&xit" ends it the same way (a second, warm start).
if start_console; then
    echo "wine: console start to visible window: $start_ms ms (warm)"
    drive command 105
    t0=$(now_ms)
    if wait_for 15 exe_done; then
        exit_ms=$(( $(now_ms) - t0 ))
        echo "wine: E&xit to process exit: $exit_ms ms"
        if [ "$exit_ms" -le 6000 ] && [ "$(cat "$work/exe.rc")" = 0 ]; then pass; else fail "E&xit: $exit_ms ms, exit code $(cat "$work/exe.rc")"; fi
    else
        fail "process still running 15 s after E&xit"
    fi
else
    fail "the console did not start a second time"
fi

total_ms=$(( ($(date +%s%N) - script_start) / 1000000 ))
echo "wine: prefix $prefix_ms ms, start to window $first_start_ms ms, whole run $total_ms ms"
[ "$failed" -eq 0 ]
