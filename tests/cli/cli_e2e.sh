#!/usr/bin/env bash
# zantrox-cli as a script uses it, against the simulator on a pseudo-terminal:
# exit statuses, trace and JSON output, settings items within a run, refusals that
# send nothing, the fault modes, port errors in words, and watch across a device
# that goes away and comes back.
#
#   cli_e2e.sh ZANTROX_CLI ZANTROX_SIM
#
# Runs in a temporary HOME. Ends with "cli: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_CLI ZANTROX_SIM" 2 2 "$@"
cli=${ARGS[0]} sim=${ARGS[1]} root=$HARNESS_ROOT
. "$root/tools/lib/checks.sh"
checks_begin cli

# frames_logged: the texts the simulator took, one a line.
frames_logged() { awk -F'\t' '$2 != "mode" { print $3 }' "$log"; }
json_lines_ok() {
    python3 -c '
import json, sys
need = sys.argv[1].split(",")
n = 0
for line in open(sys.argv[2]):
    o = json.loads(line)
    missing = [k for k in need if k not in o]
    if missing:
        sys.exit("missing %s in %s" % (missing, line))
    n += 1
print(n)' "$1" "$2"
}

start_sim "$sim" "$work/sim" --com 1 --control "$ctl" --log "$log" || { fail "simulator did not start"; exit 1; }

# ---- list ----
check_status "list" 0 "$cli" list
[ "$(wc -l <"$work/out")" -eq 215 ] && pass || fail "list: $(wc -l <"$work/out") lines, wanted 204 items + 11 keys"
has "list shows paths and texts" "$work/out" "32873  Pump/Sale/Extended"
has "list shows print texts in trace form" "$work/out" "U01H [0A] [0A] [0A]Print Header"
check_status "list --json" 0 "$cli" list --json --pump 12
n=$(json_lines_ok id,path,key,sends,reply,confirm,placeholder "$work/out") && [ "$n" -eq 215 ] && pass ||
    fail "list --json: $n"
has "list --json follows --pump" "$work/out" '"sends":["B12EHMS$VLPT"]'
has "list --json hot keys" "$work/out" '{"id":null,"path":null,"key":"S","sends":["FE"],"reply":true'

# ---- send ----
check_status "send key:S" 0 "$cli" send key:S
has "TX trace as the panel shows it" "$work/out" "TxD:   [02]FE [03]p"
has "RX trace starts with the ACK" "$work/out" "RxD:   [06] [02]"
has "verdict" "$work/out" "reply OK"
has "summary" "$work/out" "1 sent, 1 ACKed, 1 replies OK, 0 checksum errors"

: >"$log.mark"
before=$(frames_logged | wc -l)
check_status "settings items in a run" 0 "$cli" send --interval 0 PUMP#/7 key:R Pump/Stop/ONE 'PUMP#/12' 32846
frames_logged | tail -n +"$((before + 1))" >"$work/sent"
printf 'B07EHMS$VLPT\nC07\nB12R\n' | diff -u - "$work/sent" >/dev/null && pass ||
    { fail "settings items: sent"; cat "$work/sent"; }

check_status "send --json --repeat" 0 "$cli" send --json --repeat 3 --interval 0 key:S 'Pump/Prices/4_DIGITS/TWO'
n=$(json_lines_ok time,command,sent,frame,received,ack,reply,verdict,ms "$work/out") && [ "$n" -eq 9 ] && pass ||
    fail "send --json: $n lines"
has "json frame in hex" "$work/out" '"frame":"02 46 45 03 70"'
has "json price grade" "$work/out" '"sent":"J012W002199002099"'
has "json summary on stderr" "$work/err" "9 sent, 9 ACKed, 3 replies OK"

# Refusals: nothing at all reaches the line.
before=$(frames_logged | wc -l)
check_status "confirmation refused" 2 "$cli" send key:S Pump/RESET
has "confirmation reason" "$work/err" 'ARE YOU SURE?'
check_status "placeholder refused" 2 "$cli" send key:S Reader/Packet/Write
has "placeholder reason" "$work/err" "Not Coded Yet"
check_status "unknown command" 2 "$cli" send key:S pump/sale/reed
has "suggestion" "$work/err" "Pump/Sale/Read"
check_status "restart refused" 2 "$cli" send 'File/Serial Port Setup/Restart'
check_status "bad baud" 2 "$cli" send --baud 1234 key:S
has "baud names the allowed ones" "$work/err" "19200"
check_status "bad pump" 2 "$cli" send --pump 33 key:S
check_status "bad preset" 2 "$cli" send --preset 7.50 key:S
has "preset names the allowed ones" "$work/err" "10000.00"
check_status "no command" 2 "$cli" send
[ "$(frames_logged | wc -l)" -eq "$before" ] && pass || fail "a refused command line sent something"
check_status "confirmed with --yes" 0 "$cli" send --yes Pump/ERROR/FLUSH
[ "$(frames_logged | tail -1)" = "EC" ] && pass || fail "--yes: EC not sent"

# ---- fault modes ----
set_mode no-ack
check_status "no ACK" 1 "$cli" send --json key:S
has "no-ack verdict" "$work/out" '"verdict":"no-ack"'
set_mode bad-checksum
check_status "bad checksum" 1 "$cli" send key:S
has "checksum verdict" "$work/out" "checksum ERROR"
set_mode gap
check_status "gap" 1 "$cli" send --json key:R
has "gap verdict" "$work/out" '"verdict":"incomplete"'
set_mode ack-only
check_status "ack only, no reply expected" 0 "$cli" send key:C
check_status "ack only, reply expected" 1 "$cli" send key:S
has "incomplete words" "$work/out" "reply incomplete"
set_mode noise
check_status "noise before the ACK" 0 "$cli" send --json key:S
has "noise is in what was received" "$work/out" '"received":"15 7E 78 06'
set_mode long-reply
check_status "long reply" 0 "$cli" send --json key:S
python3 -c '
import json, sys
o = json.loads(open(sys.argv[1]).readline())
text = "".join(chr(65 + i % 26) for i in range(950))
if o["reply"] != text or o["reply_cut"] is not False:
    sys.exit("reply %r..., cut %r" % (o["reply"][:40], o["reply_cut"]))' "$work/out" && pass ||
    fail "long reply: the reply from its start, whole"

# A line that never goes quiet: nothing is sent into it, and the wait ends.
set_mode chatter
before=$(frames_logged | wc -l)
t0=$(now_ms)
check_status "chatter" 1 "$cli" send --json key:S
took=$(($(now_ms) - t0))
[ "$took" -lt 6000 ] && pass || fail "chatter: ended after $took ms (3 times the drain's 2 s)"
has "chatter verdict" "$work/out" '"verdict":"line-never-quiet"'
has "chatter: no frame" "$work/out" '"frame":"","received":"7A 7A'
has "chatter: no ACK" "$work/out" '"ack":false'
has "chatter summary: nothing went out" "$work/err" "0 sent, 0 ACKed, 0 replies OK, 0 checksum errors, 0 incomplete, 0 no ACK, 1 line-never-quiet"
[ "$(frames_logged | wc -l)" -eq "$before" ] && pass || fail "chatter: a frame was sent into the traffic"

# Ctrl+C during a transaction on such a line ends it at once, with the summary.
"$cli" send --repeat 100 --interval 0 key:S >"$work/int.out" 2>&1 &
rep=$!
track_pid "$rep"
wait_for 10 grep -q "line never quiet" "$work/int.out" || fail "chatter repeat did not start"
t0=$(now_ms)
kill -INT "$rep"
wait "$rep"
status=$?
took=$(($(now_ms) - t0))
untrack_pid "$rep"
[ "$status" -eq 1 ] && pass || fail "Ctrl+C in flight: exit $status"
[ "$took" -lt 300 ] && pass || fail "Ctrl+C in flight: ended after $took ms (3 times 100 ms)"
grep -q '^stopped  ' "$work/int.out" && pass || fail "Ctrl+C in flight: no verdict 'stopped'"
has "Ctrl+C in flight: summary" "$work/int.out" "stopped by Ctrl+C"
n=$(grep -cE '^line never quiet  ' "$work/int.out")
has "Ctrl+C in flight: the stopped one is not counted" "$work/int.out" ", $n line-never-quiet"
set_mode normal

# ---- port errors ----
check_status "no such device" 3 "$cli" send --port "$work/nothing" key:S
has "no such device words" "$work/err" "no such device"
: >"$work/plain"
check_status "regular file" 3 "$cli" send --port "$work/plain" key:S
has "regular file words" "$work/err" "not a serial device"
check_status "/dev/null" 3 "$cli" send --port /dev/null key:S
check_status "folder" 3 "$cli" send --port "$work" key:S
check_status "COM9 with no device" 3 "$cli" send --port 9 key:S
"$cli" watch >"$work/watch-hold.out" 2>"$work/watch-hold.err" &
holder=$!
track_pid "$holder"
wait_for 5 grep -q listening "$work/watch-hold.err" || fail "watch did not start"
check_status "busy" 3 "$cli" send key:S
has "busy words" "$work/err" "busy"
kill -INT "$holder"
wait_for 5 process_gone "$holder" && pass || fail "watch did not end on Ctrl+C"
untrack_pid "$holder"

# ---- Ctrl+C ends a repeat after the transaction in flight, with a summary ----
"$cli" send --repeat 1000 --interval 50 key:S >"$work/rep.out" 2>&1 &
rep=$!
track_pid "$rep"
wait_for 10 grep -q "reply OK" "$work/rep.out" || fail "repeat did not start"
kill -INT "$rep"
wait "$rep"
status=$?
untrack_pid "$rep"
[ "$status" -eq 0 ] && pass || fail "interrupted repeat: exit $status"
has "interrupted summary" "$work/rep.out" "stopped by Ctrl+C"
n=$(grep -c '^reply OK' "$work/rep.out")
has "summary counts every transaction" "$work/rep.out" "$n sent, $n ACKed"

stop_pid "$SIM_PID"

# ---- watch across a device that goes away and comes back ----
port="$HOME/.config/zantrox/com4"
mkdir -p "$(dirname "$port")"
cat >"$work/line.script" <<SCRIPT
wait $work/watching
send 06
frame B01R011111001332
send 02 41 00 42 03 78
send 15 7E
pause 200
send 02 46 30 03 00
pause 300
vanish
pause 700
return
pause 700
frame K
pause 300
SCRIPT
python3 "$root/tests/cli/fake_line.py" "$port" "$work/line.script" >"$work/line.out" 2>&1 &
line=$!
track_pid "$line"
wait_for 5 grep -q ready "$work/line.out" || fail "fake line did not start"
"$cli" watch --port 4 --json >"$work/watch.out" 2>"$work/watch.err" &
watcher=$!
track_pid "$watcher"
wait_for 5 grep -q listening "$work/watch.err" && touch "$work/watching"
wait_for 15 grep -q done "$work/line.out" || fail "fake line did not finish"
wait_for 5 grep -q '"text":"K"' "$work/watch.out"
kill -INT "$watcher"
wait_for 5 process_gone "$watcher" && pass || fail "watch did not end on Ctrl+C"
untrack_pid "$watcher"
n=$(json_lines_ok time,first,last,gap_ms,kind,hex "$work/watch.out") && [ "$n" -eq 6 ] && pass || { fail "watch: $n pieces"; cat "$work/watch.out"; }
has "watch ACK" "$work/watch.out" '"kind":"ack"'
has "watch good frame" "$work/watch.out" '"text":"B01R011111001332","checksum":"ok"'
has "watch frame with a NUL" "$work/watch.out" '"text":"A\u0000B","checksum":"ok"'
has "watch stray bytes" "$work/watch.out" '"hex":"15 7E"'
has "watch bad frame" "$work/watch.out" '"text":"F0","checksum":"error"'
has "watch after return" "$work/watch.out" '"text":"K","checksum":"ok"'
has "watch says it went away" "$work/watch.err" "has gone away"
has "watch says it is back" "$work/watch.err" "is back"

[ "$failed" -eq 0 ]
