#!/usr/bin/env bash
# zantrox-cli over a serial device server inside TLS: Debian's ser2net with its
# ssl gensio on loopback serves the simulator's terminal as RFC 2217 and as raw
# TCP, with and without client certificates. Both URL forms exchange as a plain
# line does; every refusal says why, exits 3 (2 for the URL or its files) and
# puts nothing on the line; watch goes on across a server that went away.
#
#   net_tls_e2e.sh ZANTROX_CLI ZANTROX_SIM
#
# Certificates are made fresh by make_tls_certs.sh. Ends with "net-tls: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_CLI ZANTROX_SIM" 2 2 "$@"
cli=${ARGS[0]} sim=${ARGS[1]} root=$HARNESS_ROOT
. "$root/tools/lib/checks.sh"
checks_begin net-tls
command -v ser2net >/dev/null || { fail "ser2net is not installed (tools/install-deps.sh)"; exit 1; }
command -v openssl >/dev/null || { fail "openssl is not installed (tools/install-deps.sh)"; exit 1; }

frames_logged() { awk -F'\t' '$2 != "mode"' "$log" | wc -l; }
verdicts() { python3 -c 'import json, sys; [print(json.loads(l)["verdict"]) for l in open(sys.argv[1]) if "verdict" in l]' "$1"; }

certs="$work/certs"
bash "$root/tests/net/make_tls_certs.sh" "$certs" >"$work/certs.log" 2>&1 || { fail "certificates"; cat "$work/certs.log"; exit 1; }

start_sim "$sim" "$work/sim" --no-link --instant --control "$ctl" --log "$log" || { fail "simulator did not start"; exit 1; }
pty=$SIM_PTY

# Every port different from the others.
taken=" "
new_port() {
    local p
    p=$(free_tcp_port)
    while [[ "$taken" == *" $p "* ]]; do p=$(free_tcp_port); done
    taken="$taken$p "
    echo "$p"
}
tls_telnet=$(new_port) tls_raw=$(new_port) auth_telnet=$(new_port) auth_raw=$(new_port)
expired_telnet=$(new_port) future_raw=$(new_port) plain_telnet=$(new_port) plain_raw=$(new_port)
ssl="ssl(key=$certs/server.key,cert=$certs/server.crt)"
ssl_auth="ssl(key=$certs/server.key,cert=$certs/server.crt,clientauth)"
ssl_expired="ssl(key=$certs/server.key,cert=$certs/expired.crt)"
S2N_PID=
start_ser2net() {
    local args=() name accepter
    # name|accepter: each connection serves the simulator's terminal.
    while IFS='|' read -r name accepter; do
        args+=(-Y "connection: &$name" -Y "  accepter: $accepter" -Y "  connector: serialdev,$pty,9600n81,local")
        [[ "$name" == auth* ]] && args+=(-Y "  options:" -Y "    authdir: $certs/auth")
    done <<LIST
tlstelnet|telnet(rfc2217),$ssl,tcp,127.0.0.1,$tls_telnet
tlsraw|$ssl,tcp,127.0.0.1,$tls_raw
authtelnet|telnet(rfc2217),$ssl_auth,tcp,127.0.0.1,$auth_telnet
authraw|$ssl_auth,tcp,127.0.0.1,$auth_raw
expired|telnet(rfc2217),$ssl_expired,tcp,127.0.0.1,$expired_telnet
future|ssl(key=$certs/server.key,cert=$certs/future.crt),tcp,127.0.0.1,$future_raw
plaintelnet|telnet(rfc2217),tcp,127.0.0.1,$plain_telnet
plainraw|tcp,127.0.0.1,$plain_raw
LIST
    ser2net -n -u -P "$work/ser2net.pid" "${args[@]}" >>"$work/ser2net.log" 2>&1 &
    S2N_PID=$!
    track_pid "$S2N_PID"
    local p
    for p in $tls_telnet $tls_raw $auth_telnet $auth_raw $expired_telnet $future_raw $plain_telnet $plain_raw; do
        wait_for 10 tcp_listening "$p" || return 1
    done
}
stop_ser2net() {
    stop_pid "$S2N_PID"
    untrack_pid "$S2N_PID"
    wait_for 5 process_gone "$S2N_PID"
}
start_ser2net || { fail "ser2net did not start"; cat "$work/ser2net.log"; exit 1; }

ca="ca=$certs/ca.crt"
mine="cert=$certs/client.crt&key=$certs/client.key"
telnet="rfc2217://127.0.0.1:$plain_telnet"
tls_t="rfc2217+tls://127.0.0.1:$tls_telnet?$ca"
tls_r="socket+tls://127.0.0.1:$tls_raw?$ca"
auth_t="rfc2217+tls://127.0.0.1:$auth_telnet?$ca&$mine"
auth_r="socket+tls://127.0.0.1:$auth_raw?$ca&$mine"
named="rfc2217+tls://localhost:$tls_telnet?$ca&name=device-server.test"

# ---- the same verdicts as on a plain line, in each form, with and without our certificate ----
# same_verdicts: the transactions on the plain line and on each TLS form; 0 when all agree.
same_verdicts() {
    local kind status
    rm -f "$work/status"
    for kind in telnet tls_t tls_r auth_t auth_r named; do
        "$cli" send key:S key:R PUMP#/2 key:A --json --port "${!kind}" >"$work/$kind.json" 2>"$work/$kind.err"
        echo "$?" >>"$work/status"
        verdicts "$work/$kind.json" >"$work/$kind.verdicts"
    done
    for kind in tls_t tls_r auth_t auth_r named; do cmp -s "$work/telnet.verdicts" "$work/$kind.verdicts" || return 1; done
    [ "$(sort -u "$work/status")" = 0 ] && [ "$(sort -u "$work/telnet.verdicts")" = ok ]
}
if same_verdicts || same_verdicts; then
    pass
else
    fail "verdicts differ or are not ok: plain $(paste -sd, "$work/telnet.verdicts"), $(for k in tls_t tls_r auth_t auth_r named; do printf '%s %s; ' "$k" "$(paste -sd, "$work/$k.verdicts")"; cat "$work/$k.err"; done)"
fi
set_mode bad-checksum
"$cli" send key:S --json --port "$tls_t" >"$work/bad.json" 2>&1
[ "$(verdicts "$work/bad.json")" = "$(set_mode bad-checksum; "$cli" send key:S --json --port "$telnet" 2>/dev/null | python3 -c 'import json,sys; [print(json.loads(l)["verdict"]) for l in sys.stdin if "verdict" in l]')" ] &&
    pass || fail "a fault reads differently over TLS: $(cat "$work/bad.json")"
set_mode normal
check_status "check over rfc2217+tls" 0 "$cli" check --port "$tls_t" --pumps 1-2 --rounds 1 --interval 0 --report "$work/check.html"

# ---- COM 4 mapped to a TLS server: ports shows the URL with its parameters ----
check_status "map 4 TLS URL" 0 "$cli" map 4 "$auth_t"
check_status "send on the mapped COM4" 0 "$cli" send key:S --port 4
has "send on the mapped COM4" "$work/out" "reply OK"
check_status "ports" 0 "$cli" ports
grep -qF -- "~/.config/zantrox/com4 -> $auth_t" "$work/out" && pass || { fail "ports: COM4"; head -6 "$work/out"; }
grep -q "BEGIN\|PRIVATE" "$work/out" && fail "ports shows a key" || pass
check_status "unmap 4" 0 "$cli" unmap 4
check_status "map 5 with a missing key" 2 "$cli" map 5 "rfc2217+tls://127.0.0.1:$auth_telnet?$ca&cert=$certs/client.crt&key=$certs/none.key"

# ---- refusals: in words, with the exit status, nothing on the line ----
# A silent listener: connects, never answers the handshake.
python3 -c 'import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1", 0)); s.listen(4)
print(s.getsockname()[1], flush=True)
held = []
while True:
    c, _ = s.accept(); held.append(c)' >"$work/silent.port" &
silent_pid=$!
track_pid "$silent_pid"
wait_for 5 test -s "$work/silent.port"
silent=$(cat "$work/silent.port")
# A TLS server that answers whatever comes first with an alert record (as some do;
# ser2net's only hangs up).
python3 -c 'import socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1", 0)); s.listen(4)
print(s.getsockname()[1], flush=True)
while True:
    c, _ = s.accept(); c.recv(100); c.sendall(bytes([0x15, 3, 3, 0, 2, 2, 70])); c.close()' >"$work/alerting.port" &
alerting_pid=$!
track_pid "$alerting_pid"
wait_for 5 test -s "$work/alerting.port"
alerting=$(cat "$work/alerting.port")
key_line=$(sed -n 2p "$certs/client.key")
before=$(frames_logged)
# case|status|URL|what the error says
while IFS='|' read -r name want url text; do
    [ -z "$name" ] && continue
    "$cli" send key:S --port "$url" >"$work/out" 2>"$work/err"
    got=$?
    if [ "$got" -eq "$want" ] && grep -qF -- "$text" "$work/err"; then
        pass
    else
        fail "$name: exit $got (wanted $want), wanted '$text' in:"
        sed 's/^/    /' "$work/err"
    fi
    grep -qF -- "$key_line" "$work/err" && fail "$name: the key's contents were shown"
done <<CASES
another CA|3|rfc2217+tls://127.0.0.1:$tls_telnet?ca=$certs/other-ca.crt|issued by CN=Test Site CA, an unknown authority
the system's store|3|socket+tls://127.0.0.1:$tls_raw|an unknown authority
name mismatch|3|rfc2217+tls://127.0.0.1:$tls_telnet?$ca&name=controller.test|is for device-server.test, 127.0.0.1, not controller.test
name mismatch by host|3|socket+tls://localhost:$tls_raw?$ca|not localhost
expired|3|rfc2217+tls://127.0.0.1:$expired_telnet?$ca|expired on 2024-02-01 00:00 UTC
not yet valid|3|socket+tls://127.0.0.1:$future_raw?$ca|is not valid before 2099-01-01 00:00 UTC
clientauth without our certificate|3|rfc2217+tls://127.0.0.1:$auth_telnet?$ca|the server refused our certificate
clientauth without our certificate (raw)|3|socket+tls://127.0.0.1:$auth_raw?$ca|the server refused our certificate
clientauth, another CA's certificate|3|rfc2217+tls://127.0.0.1:$auth_telnet?$ca&cert=$certs/stranger.crt&key=$certs/stranger.key|the server refused our certificate
plain server, TLS URL|3|rfc2217+tls://127.0.0.1:$plain_telnet?$ca|127.0.0.1:$plain_telnet does not answer TLS: is it a plain server? use rfc2217://
silent server, TLS URL|3|socket+tls://127.0.0.1:$silent?$ca|127.0.0.1:$silent does not answer TLS: is it a plain server? use socket://
TLS server, plain URL|3|rfc2217://127.0.0.1:$tls_telnet|is it a TLS server? use rfc2217+tls://
alerting TLS server, plain URL|3|rfc2217://127.0.0.1:$alerting|127.0.0.1:$alerting answers in TLS: is it a TLS server? use rfc2217+tls://
missing ca|2|rfc2217+tls://127.0.0.1:$tls_telnet?ca=$certs/none.crt|ca=$certs/none.crt: cannot be read
a key as ca|2|rfc2217+tls://127.0.0.1:$tls_telnet?ca=$certs/client.key|holds no certificate
missing key|2|rfc2217+tls://127.0.0.1:$auth_telnet?$ca&cert=$certs/client.crt&key=$certs/none.key|key=$certs/none.key: cannot be read
another certificate's key|2|rfc2217+tls://127.0.0.1:$auth_telnet?$ca&cert=$certs/client.crt&key=$certs/stranger.key|is not the key of the certificate
key without cert|2|socket+tls://127.0.0.1:$auth_raw?key=$certs/client.key|give cert= too
unknown parameter|2|rfc2217+tls://127.0.0.1:$tls_telnet?$ca&verify=no|unknown parameter verify=
parameter on a plain URL|2|socket://127.0.0.1:$plain_raw?$ca|ca= is for TLS only
CASES
for command in "check --rounds 1 --report $work/no.html" "watch"; do
    # shellcheck disable=SC2086  # the command's words
    check_status "$command: unknown parameter" 2 "$cli" $command --port "rfc2217+tls://127.0.0.1:$tls_telnet?cat=1"
    has "$command: unknown parameter" "$work/err" "unknown parameter cat="
done
[ "$(frames_logged)" -eq "$before" ] && pass || fail "frames reached the simulator from refused opens"

# ---- the tap on two TLS lines: ser2net's as the host line, a TLS server that says
# one frame as the controller line (records the tap reads whole wait in TLS, not
# in the socket) ----
tap_port=$(new_port)
python3 - "$tap_port" "$certs" >"$work/tap-server.log" 2>&1 <<'PY' &
import socket, ssl, sys, time
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2] + "/server.crt", sys.argv[2] + "/server.key")
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", int(sys.argv[1])))
server.listen(1)
connection = context.wrap_socket(server.accept()[0], server_side=True)
time.sleep(0.5)
frame = b"\x02B09R 4\x03"
connection.sendall(frame + bytes([-sum(frame) & 0x7F]))
time.sleep(30)
PY
tap_server=$!
track_pid "$tap_server"
wait_for 10 tcp_listening "$tap_port" || fail "the TLS frame server did not start"
check_status "tap on two TLS lines" 0 "$cli" watch --tap "$tls_t" "socket+tls://127.0.0.1:$tap_port?$ca" --json --duration 3
has "tap: the controller's frame over TLS" "$work/out" '"text":"B09R 4"'
stop_pid "$tap_server"
untrack_pid "$tap_server"

# ---- watch across a server that goes away and comes back (a new handshake) ----
"$cli" watch --json --port "$auth_t" >"$work/watch.out" 2>"$work/watch.err" &
watcher=$!
track_pid "$watcher"
wait_for 5 grep -q listening "$work/watch.err" || fail "watch did not start"
stop_ser2net
wait_for 10 grep -q "gone away" "$work/watch.err" && pass || fail "watch did not see the server go"
start_ser2net || fail "ser2net did not start again"
wait_for 15 grep -q "is back" "$work/watch.err" && pass || { fail "watch did not reconnect"; cat "$work/watch.err"; }
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

# ---- last: a TLS URL to a plain raw port puts our TLS greeting on the line (the
# server passes on whatever comes); the refusal still says why ----
check_status "plain raw server, TLS URL" 3 "$cli" send key:S --port "socket+tls://127.0.0.1:$plain_raw?$ca"
has "plain raw server, TLS URL" "$work/err" "does not answer TLS: is it a plain server? use socket://"
[ "$failed" -eq 0 ]
