#!/usr/bin/env bash
# zantrox-cli over a serial device server: Debian's ser2net on loopback serves the
# simulator's terminal as RFC 2217 (telnet) and as raw TCP. The same transactions
# get the same verdicts as on the local line; every way an open fails says why;
# watch waits for a server that stopped and goes on when it is back.
#
#   net_e2e.sh ZANTROX_CLI ZANTROX_SIM
#
# Runs in a temporary HOME. Ends with "net: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_CLI ZANTROX_SIM" 2 2 "$@"
cli=${ARGS[0]} sim=${ARGS[1]} root=$HARNESS_ROOT
. "$root/tools/lib/checks.sh"
checks_begin net
command -v ser2net >/dev/null || { fail "ser2net is not installed (tools/install-deps.sh)"; exit 1; }

frames_logged() { awk -F'\t' '$2 != "mode"' "$log" | wc -l; }
# The verdicts of a --json run, one a line.
verdicts() { python3 -c 'import json, sys; [print(json.loads(l)["verdict"]) for l in open(sys.argv[1]) if "verdict" in l]' "$1"; }

start_sim "$sim" "$work/sim" --no-link --instant --control "$ctl" --log "$log" || { fail "simulator did not start"; exit 1; }
line=$SIM_PTY
pty=$line
telnet_port=$(free_tcp_port)
raw_port=$(free_tcp_port)
while [ "$raw_port" = "$telnet_port" ]; do raw_port=$(free_tcp_port); done
S2N_PID=
# start_ser2net: RFC 2217 on $telnet_port and raw TCP on $raw_port, both serving $pty.
start_ser2net() {
    ser2net -n -u -P "$work/ser2net.pid" \
        -Y 'connection: &rfc2217' -Y "  accepter: telnet(rfc2217),tcp,127.0.0.1,$telnet_port" \
        -Y "  connector: serialdev,$pty,9600n81,local" \
        -Y 'connection: &raw' -Y "  accepter: tcp,127.0.0.1,$raw_port" \
        -Y "  connector: serialdev,$pty,9600n81,local" >>"$work/ser2net.log" 2>&1 &
    S2N_PID=$!
    track_pid "$S2N_PID"
    wait_for 10 tcp_listening "$telnet_port" && wait_for 10 tcp_listening "$raw_port"
}
stop_ser2net() {
    stop_pid "$S2N_PID"
    untrack_pid "$S2N_PID"
    wait_for 5 process_gone "$S2N_PID"
}
start_ser2net || { fail "ser2net did not start"; cat "$work/ser2net.log"; exit 1; }
telnet="rfc2217://127.0.0.1:$telnet_port"
raw="socket://127.0.0.1:$raw_port"

# ---- the same verdicts as on the local line, fault mode by fault mode ----
# run_kinds MODE: the same commands on the terminal, over rfc2217:// and over
# socket://; 0 when the verdicts and exit statuses agree.
run_kinds() {
    local mode=$1
    rm -f "$work/$mode.status"
    for kind in line telnet raw; do
        "$cli" send key:S key:R PUMP#/2 key:A --json --port "${!kind}" >"$work/$mode.json" 2>"$work/err"
        echo "$?" >>"$work/$mode.status"
        verdicts "$work/$mode.json" >"$work/$mode.$kind"
    done
    cmp -s "$work/$mode.line" "$work/$mode.telnet" && cmp -s "$work/$mode.line" "$work/$mode.raw" &&
        [ "$(sort -u "$work/$mode.status" | wc -l)" -eq 1 ] && [ -s "$work/$mode.line" ]
}
for mode in normal bad-checksum no-ack ack-only noise gap; do
    set_mode "$mode"
    # One more go when they differ: on a machine busy enough, the terminal itself
    # can miss a 100 ms window now and then.
    if run_kinds "$mode" || run_kinds "$mode"; then
        pass
    else
        fail "$mode: verdicts differ: local $(paste -sd, "$work/$mode.line"), rfc2217 $(paste -sd, "$work/$mode.telnet"), socket $(paste -sd, "$work/$mode.raw"); exits $(paste -sd, "$work/$mode.status")"
    fi
done
set_mode normal
[ "$(sort -u "$work/normal.telnet")" = ok ] && pass || fail "normal mode over rfc2217: $(paste -sd, "$work/normal.telnet")"

# ---- check over the network, as on the local line ----
# check_kinds: a check on each; 0 when all end 0 with the same judgement.
check_kinds() {
    local kind status=0
    for kind in line telnet raw; do
        "$cli" check --port "${!kind}" --pumps 1-2 --rounds 1 --interval 0 --report "$work/check-$kind.html" \
            >"$work/out" 2>"$work/err" || status=1
        # The verdict line's judgement; its warnings may name answer times, which
        # include the round trip over the network.
        head -1 "$work/out" | sed 's/[,:].*//' >"$work/check-$kind.summary"
    done
    [ "$status" -eq 0 ]
}
check_kinds || check_kinds && pass || fail "check did not end 0 everywhere"
cmp -s "$work/check-line.summary" "$work/check-telnet.summary" && cmp -s "$work/check-line.summary" "$work/check-raw.summary" &&
    [ -s "$work/check-telnet.summary" ] && pass ||
    fail "check judgements differ: $(cat "$work/check-line.summary") / $(cat "$work/check-telnet.summary") / $(cat "$work/check-raw.summary")"
has "check's report says the port is a network one" "$work/check-telnet.html" "a network port: answer times include the round trip"
grep -qF "network port" "$work/check-line.html" && fail "the local line's report calls it a network port" || pass

# ---- COM 4 mapped to the server: what the console's COM4 (and Restart) opens ----
check_status "map 4 URL" 0 "$cli" map 4 "$telnet"
check_status "send on the mapped COM4" 0 "$cli" send key:S --port 4
has "send on the mapped COM4" "$work/out" "reply OK"
check_status "ports" 0 "$cli" ports
grep -qE "^COM4 +answers +~/.config/zantrox/com4 -> $telnet\$" "$work/out" && pass || { fail "ports: COM4"; head -6 "$work/out"; }
check_status "unmap 4" 0 "$cli" unmap 4

# ---- open failures in words, nothing sent ----
before=$(frames_logged)
check_status "raw TCP server given rfc2217://" 3 "$cli" send key:S --port "rfc2217://127.0.0.1:$raw_port"
has "raw TCP server given rfc2217://" "$work/err" "not an RFC 2217 server"
nobody=$(free_tcp_port)
check_status "nobody listens" 3 "$cli" send key:S --port "rfc2217://127.0.0.1:$nobody"
has "nobody listens" "$work/err" "connection refused"
check_status "nobody listens (raw)" 3 "$cli" send key:S --port "socket://127.0.0.1:$nobody"
check_status "name that does not resolve" 3 "$cli" send key:S --port "rfc2217://controller.invalid:4000"
has "name that does not resolve" "$work/err" "no such host"
for url in "rfc2217://127.0.0.1" "socket://127.0.0.1:" "rfc2217://127.0.0.1:0" "socket://127.0.0.1:65536" \
    "rfc2217://:$telnet_port" "rfc2217://[::1:$telnet_port"; do
    check_status "malformed $url" 2 "$cli" send key:S --port "$url"
    has "malformed $url" "$work/err" "--port: $url:"
    check_status "malformed $url (check)" 2 "$cli" check --port "$url" --rounds 1 --report "$work/no.html"
    check_status "malformed $url (watch)" 2 "$cli" watch --port "$url"
done
# The raw-TCP case above put our Telnet offers on the line, which the simulator
# takes as noise, not frames.
[ "$(frames_logged)" -eq "$before" ] && pass || fail "frames reached the simulator from failed opens"
[ -e "$work/no.html" ] && fail "a usage error wrote a report" || pass

# ---- watch across a server that stops and comes back ----
"$cli" watch --json --port "$telnet" >"$work/watch.out" 2>"$work/watch.err" &
watcher=$!
track_pid "$watcher"
wait_for 5 grep -q listening "$work/watch.err" || fail "watch did not start"
"$cli" send key:S --port "$raw" >/dev/null 2>&1  # refused: watch holds the device
stop_ser2net
wait_for 10 grep -q "gone away" "$work/watch.err" && pass || fail "watch did not see the server go"
start_ser2net || fail "ser2net did not start again"
wait_for 15 grep -q "is back" "$work/watch.err" && pass || { fail "watch did not reconnect"; cat "$work/watch.err"; }
# Bytes the simulator writes reach watch through the new connection: chatter
# until the simulator has written something more, then silence, which ends the piece.
wrote() { awk '$1 == "wchar:" { print $2 }' "/proc/$SIM_PID/io"; }
set_mode chatter
written=$(wrote)
chattered() { [ "$(wrote)" -gt "$written" ]; }
wait_for 5 chattered || fail "the simulator did not chatter"
set_mode normal
wait_for 5 grep -q '"kind":"stray".*"hex":"7A' "$work/watch.out" && pass ||
    { fail "nothing watched after the return"; tail -5 "$work/watch.out"; }
kill -INT "$watcher"
wait_for 5 process_gone "$watcher" && pass || fail "watch did not end on Ctrl+C"
untrack_pid "$watcher"

# ---- the server up, the terminal gone ----
stop_pid "$SIM_PID"
wait_for 5 process_gone "$SIM_PID"
check_status "terminal gone" 3 "$cli" send key:S --port "$telnet"
has "terminal gone" "$work/err" "the server hung up"
[ "$failed" -eq 0 ]
