#!/usr/bin/env bash
# zantrox-cli.exe under Wine over TLS (Schannel), against Debian's ser2net with its
# ssl gensio serving the simulator's terminal: both URL forms exchange; a server
# checked against ca= by name and chain; every refusal said in words with its
# exit status and nothing on the line; client certificates refused as a usage error.
#
#   run_wine_tls_tests.sh ZANTROX_CLI_EXE ZANTROX_SIM
#
# Ends with "wine-tls: N passed, M failed".
set -uo pipefail
# shellcheck source=../../tools/lib/harness.sh
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_CLI_EXE ZANTROX_SIM" 2 2 "$@"
exe=${ARGS[0]} sim=${ARGS[1]} root=$HARNESS_ROOT
WINE=${WINE:-wine}

make_work_dir work wine-tls || exit 1
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
finish() {
    wine_stop
    [ "$failed" -eq 0 ] || { HARNESS_KEEP_WORK=1; echo "wine-tls: work folder kept: $work"; }
    echo "wine-tls: $passed passed, $failed failed"
}
at_exit finish

for tool in ser2net openssl; do
    command -v "$tool" >/dev/null || { fail "$tool is not installed (tools/install-deps.sh)"; exit 1; }
done
# Wine's Schannel loads GnuTLS at run time.
ls /usr/lib/*/libgnutls.so.30 >/dev/null 2>&1 || { fail "libgnutls30 is not installed (tools/install-deps.sh)"; exit 1; }

# run NAME EXPECTED_STATUS ARGS...: the program under Wine, stdout in $work/out, stderr in $work/err.
run() {
    local name=$1 want=$2
    shift 2
    (cd "$work" && "$WINE" "$exe" "$@") >"$work/out.raw" 2>"$work/err.raw"
    local got=$?
    tr -d '\r' <"$work/out.raw" >"$work/out"
    tr -d '\r' <"$work/err.raw" >"$work/err"
    if wine_client_failed "$work/err"; then
        fail "$name: $WINE_HARNESS_FAULT"
        exit 1
    fi
    if [ "$got" -eq "$want" ]; then pass; else fail "$name: exit $got, wanted $want"; head -5 "$work/err"; fi
}
has() { if grep -qF -- "$3" "$2"; then pass; else fail "$1: no '$3'"; head -10 "$2"; fi; }
frames_logged() { awk -F'\t' '$2 != "mode"' "$work/sim.log" | wc -l; }

certs="$work/certs"
bash "$root/tests/net/make_tls_certs.sh" "$certs" >"$work/certs.log" 2>&1 || { fail "certificates"; exit 1; }
# The same files as the Windows program names them (Wine's Z: is /).
wcerts="Z:$certs"

wine_prefix "$work/prefix" "$work/wineboot.log" || { tail -20 "$work/wineboot.log"; fail "wineboot"; exit 1; }
echo normal >"$work/control"
start_sim "$sim" "$work/sim" --no-link --instant --log "$work/sim.log" --control "$work/control" ||
    { fail "simulator did not start"; exit 1; }

taken=" "
new_port() {
    local p
    p=$(free_tcp_port)
    while [[ "$taken" == *" $p "* ]]; do p=$(free_tcp_port); done
    taken="$taken$p "
    echo "$p"
}
tls_telnet=$(new_port) tls_raw=$(new_port) auth_telnet=$(new_port) expired_telnet=$(new_port) plain_telnet=$(new_port)
ssl="ssl(key=$certs/server.key,cert=$certs/server.crt)"
args=()
while IFS='|' read -r name accepter; do
    args+=(-Y "connection: &$name" -Y "  accepter: $accepter" -Y "  connector: serialdev,$SIM_PTY,9600n81,local")
    [[ "$name" == auth* ]] && args+=(-Y "  options:" -Y "    authdir: $certs/auth")
done <<LIST
tlstelnet|telnet(rfc2217),$ssl,tcp,127.0.0.1,$tls_telnet
tlsraw|$ssl,tcp,127.0.0.1,$tls_raw
authtelnet|telnet(rfc2217),ssl(key=$certs/server.key,cert=$certs/server.crt,clientauth),tcp,127.0.0.1,$auth_telnet
expired|telnet(rfc2217),ssl(key=$certs/server.key,cert=$certs/expired.crt),tcp,127.0.0.1,$expired_telnet
plaintelnet|telnet(rfc2217),tcp,127.0.0.1,$plain_telnet
LIST
S2N_PID=
start_ser2net() {
    ser2net -n -u -P "$work/ser2net.pid" "${args[@]}" >>"$work/ser2net.log" 2>&1 &
    S2N_PID=$!
    track_pid "$S2N_PID"
    local p
    for p in $tls_telnet $tls_raw $auth_telnet $expired_telnet $plain_telnet; do
        wait_for 10 tcp_listening "$p" || return 1
    done
}
stop_ser2net() {
    stop_pid "$S2N_PID"
    untrack_pid "$S2N_PID"
    wait_for 5 process_gone "$S2N_PID"
}
start_ser2net || { fail "ser2net did not start"; cat "$work/ser2net.log"; exit 1; }

ca="ca=$wcerts/ca.crt"
# ---- both forms exchange, the frame reaching the simulator ----
for url in "rfc2217+tls://127.0.0.1:$tls_telnet?$ca" "socket+tls://127.0.0.1:$tls_raw?$ca" \
    "rfc2217+tls://localhost:$tls_telnet?$ca&name=device-server.test"; do
    before=$(frames_logged)
    # ser2net lets go of the terminal a moment after the previous connection.
    sleep 0.3
    run "send over $url" 0 send key:S --port "$url"
    has "send over $url" "$work/out" "reply OK"
    [ "$(frames_logged)" -eq "$((before + 1))" ] && pass || fail "$url: the frame did not reach the simulator"
done

# ---- refusals ----
before=$(frames_logged)
while IFS='|' read -r name want url text; do
    [ -z "$name" ] && continue
    sleep 0.3
    run "$name" "$want" send key:S --port "$url"
    has "$name" "$work/err" "$text"
done <<CASES
another CA|3|rfc2217+tls://127.0.0.1:$tls_telnet?ca=$wcerts/other-ca.crt|issued by CN=Test Site CA, an unknown authority
name mismatch|3|rfc2217+tls://127.0.0.1:$tls_telnet?$ca&name=controller.test|is for device-server.test, 127.0.0.1, not controller.test
expired|3|rfc2217+tls://127.0.0.1:$expired_telnet?$ca|expired on 2024-02-01 00:00 UTC
clientauth without our certificate|3|rfc2217+tls://127.0.0.1:$auth_telnet?$ca|the server refused our certificate
plain server, TLS URL|3|rfc2217+tls://127.0.0.1:$plain_telnet?$ca|127.0.0.1:$plain_telnet does not answer TLS: is it a plain server? use rfc2217://
TLS server, plain URL|3|rfc2217://127.0.0.1:$tls_telnet|is it a TLS server? use rfc2217+tls://
a client certificate|2|rfc2217+tls://127.0.0.1:$auth_telnet?$ca&cert=$wcerts/client.crt&key=$wcerts/client.key|client certificates (cert=, key=) are not supported on Windows yet
missing ca|2|rfc2217+tls://127.0.0.1:$tls_telnet?ca=$wcerts/none.crt|cannot be read
unknown parameter|2|rfc2217+tls://127.0.0.1:$tls_telnet?$ca&verify=no|unknown parameter verify=
CASES
[ "$(frames_logged)" -eq "$before" ] && pass || fail "frames reached the simulator from refused opens"

# ---- watch across a server that goes away and comes back: a new handshake ----
(cd "$work" && "$WINE" "$exe" watch --json --port "rfc2217+tls://127.0.0.1:$tls_telnet?$ca") \
    >"$work/watch.out" 2>"$work/watch.err" &
watcher=$!
track_pid "$watcher"
wait_for 15 grep -q listening "$work/watch.err" || fail "watch did not start"
stop_ser2net
wait_for 10 grep -q "gone away" "$work/watch.err" && pass || fail "watch did not see the server go"
start_ser2net || fail "ser2net did not start again"
wait_for 15 grep -q "is back" "$work/watch.err" && pass || { fail "watch did not reconnect"; cat "$work/watch.err"; }
stop_pid "$watcher"
untrack_pid "$watcher"
[ "$failed" -eq 0 ]
