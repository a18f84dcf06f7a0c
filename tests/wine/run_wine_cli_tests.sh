#!/usr/bin/env bash
# zantrox-cli.exe under Wine, against the simulator mapped as COM1: the Windows
# build of the command line sends exactly what the Linux one does, gives the same
# exit statuses, says why a port cannot be opened, and reaches a serial device
# server (ser2net) over rfc2217://. Its pcapng captures and the Wireshark extcap
# program answer as the Linux build's do (ZANTROX_CLI and ZANTROX_EXTCAP are the
# Linux programs; the Windows zantrox-extcap.exe is beside ZANTROX_CLI_EXE).
#
#   run_wine_cli_tests.sh ZANTROX_CLI_EXE ZANTROX_SIM ZANTROX_CLI ZANTROX_EXTCAP
#
# Ends with "wine-cli: N passed, M failed".
set -uo pipefail
# shellcheck source=../../tools/lib/harness.sh
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_CLI_EXE ZANTROX_SIM ZANTROX_CLI ZANTROX_EXTCAP ZANTROX_EXTCAP_EXE" 5 5 "$@"
exe=${ARGS[0]} sim=${ARGS[1]} linux_cli=${ARGS[2]} linux_extcap=${ARGS[3]} extcap_exe=${ARGS[4]}
source_root=$HARNESS_ROOT
WINE=${WINE:-wine}

make_work_dir work wine-cli || exit 1
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
finish() {
    # Wine's own processes end before the simulator and Xvfb.
    wine_stop
    [ "$failed" -eq 0 ] || { HARNESS_KEEP_WORK=1; echo "wine-cli: work folder kept: $work"; }
    echo "wine-cli: $passed passed, $failed failed"
}
at_exit finish

# run NAME EXPECTED_STATUS ARGS...: the program under Wine, stdout in $work/out (line ends made Unix).
run() {
    local name=$1 want=$2
    shift 2
    run_exe "$name" "$want" "$exe" "$@"
}
# run_exe NAME EXPECTED_STATUS EXE ARGS...: as run, for another Windows program.
run_exe() {
    local name=$1 want=$2
    shift 2
    (cd "$work" && "$WINE" "$@") >"$work/out.raw" 2>"$work/err.raw"
    local got=$?
    tr -d '\r' <"$work/out.raw" >"$work/out"
    tr -d '\r' <"$work/err.raw" >"$work/err"
    # The program never ran: no verdict on it, and no point in the checks after it.
    if wine_client_failed "$work/err"; then
        fail "$name: $WINE_HARNESS_FAULT"
        head -5 "$work/err"
        exit 1
    fi
    if [ "$got" -eq "$want" ]; then pass; else fail "$name: exit $got, wanted $want"; head -5 "$work/err"; return 1; fi
}
has() { if grep -qF -- "$3" "$2"; then pass; else fail "$1: no '$3'"; head -10 "$2"; fi; }
logged() { awk -F'\t' '$2 != "mode" { print $3 }' "$work/sim.log"; }

start_xvfb "$work/xvfb.log" 640x480x24 || { fail "no Xvfb display"; exit 1; }
wine_prefix "$work/prefix" "$work/wineboot.log" || { tail -20 "$work/wineboot.log"; fail "wineboot"; exit 1; }
echo normal >"$work/control"
start_sim "$sim" "$work/sim" --no-link --log "$work/sim.log" --control "$work/control" ||
    { fail "simulator did not start"; exit 1; }
wine_com_port 1 "$SIM_PTY" "$work/reg.log" || fail "reg add COM1"
# Wine maps the other COM names onto the machine's own /dev/ttyS*: point them at
# nothing, so no check here ever opens a real port. (Wine gives the machine's
# /dev/ttyS0 the next number, COM10, which `ports` opens and closes again.)
for k in 2 3 4 5 6 7 8 9; do
    wine_com_port "$k" "$work/absent-com$k" "$work/reg.log" || fail "reg add COM$k"
done
# COM3 is an adapter that a test pulls and plugs back (a link that comes and goes).
wine_com_port 3 "$work/com3" "$work/reg.log" || fail "reg add COM3"
wine_restart || { fail "$WINE_HARNESS_FAULT (no server after the restart)"; exit 1; }
# Every link, the absent ones too: a COMk whose link is not made yet is the
# machine's own /dev/ttyS(k-1), or /dev/ttyS0 under the first free number.
links=(1="$SIM_PTY" 3="$work/com3")
for k in 2 4 5 6 7 8 9; do links+=("$k=$work/absent-com$k"); done
wine_com_links "${links[@]}" >"$work/links.out" ||
    { fail "COM links: $WINE_HARNESS_FAULT"; cat "$work/links.out"; exit 1; }

run "--version" 0 --version
has "version" "$work/out" "zantrox-cli "
run "list --json" 0 list --json
[ "$(wc -l <"$work/out")" -eq 215 ] && pass || fail "list --json: $(wc -l <"$work/out") lines"

run "send key:S" 0 send key:S
has "TX trace" "$work/out" "TxD:   [02]FE [03]p"
has "verdict" "$work/out" "reply OK"

before=$(logged | wc -l)
run "settings items" 0 send --json --interval 0 --port COM1 PUMP#/7 key:R Pump/Stop/ONE
logged | tail -n +"$((before + 1))" >"$work/sent"
printf 'B07EHMS$VLPT\nC07\n' | diff -u - "$work/sent" >/dev/null && pass || { fail "sent"; cat "$work/sent"; }
has "json verdict" "$work/out" '"verdict":"ok"'

before=$(logged | wc -l)
run "refused" 2 send key:S Pump/RESET
run "unknown" 2 send pump/sale/reed
has "suggestion" "$work/err" "Pump/Sale/Read"
[ "$(logged | wc -l)" -eq "$before" ] && pass || fail "a refused command line sent something"

echo no-ack >"$work/control"
wait_for 5 grep -q "mode	no-ack" "$work/sim.log" || fail "no-ack mode"
run "no ACK" 1 send key:S
has "no ACK words" "$work/out" "no ACK"
echo normal >"$work/control"
wait_for 5 grep -q "mode	normal" "$work/sim.log" || fail "normal mode"

run "COM5 absent" 3 send --port COM5 key:S ||
    echo "      COM5 is $(readlink "$WINEPREFIX/dosdevices/com5" 2>/dev/null || echo 'no link')"
# Windows says the name is not there; Wine opens it and fails at the line settings.
grep -qE 'no such device|could not be applied' "$work/err" && pass || { fail "COM5 absent: words"; cat "$work/err"; }
run "COM12 absent" 3 send --port COM12 key:S
run "ports" 0 ports
grep -qE '^COM1 +ready' "$work/out" && pass || { fail "ports: COM1 not ready"; cat "$work/out"; }
grep -qE '^COM5 +ready' "$work/out" && { fail "ports: COM5 (no device) shown ready"; cat "$work/out"; } || pass
# The system's list of COM ports (Device Manager's, else the drivers' SERIALCOMM
# key, as under Wine) has COM1, ready, in the same JSON as on Linux.
grep -qE '^COM1 +ready' <(sed -n '/^DEVICE /,$p' "$work/out") && pass || { fail "ports: device COM1"; cat "$work/out"; }
has "ports: COM8 is not in the menu" "$work/out" "the console's menu reaches COM1..COM7, not COM8"
run "ports --json" 0 ports --json
if python3 - "$work/out" <<'PY'; then pass; else fail "ports --json"; cat "$work/out"; fi
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
coms = [line for line in lines if "com" in line and "device" not in line]
devices = [line for line in lines if "device" in line]
assert [line["com"] for line in coms] == list(range(1, 10)), coms
assert coms[0]["ready"] is True, coms[0]
com1 = [d for d in devices if d["device"] == "COM1"]
assert len(com1) == 1 and com1[0]["number"] == 1 and com1[0]["access"] is True, devices
PY

# ---- Captures: the Windows build writes and reads pcapng as the Linux one does.
# The Linux program reaches the same simulator as COM1 through its own link, so both
# name the line "COM1".
mkdir -p "$work/linux-home/.config/zantrox"
ln -s "$SIM_PTY" "$work/linux-home/.config/zantrox/com1"
# linux OUT ARGS...: the Linux zantrox-cli, from the work folder, stdout in OUT; its exit status.
linux() {
    local out=$1
    shift
    (cd "$work" && HOME=$work/linux-home "$linux_cli" "$@") >"$out" 2>"$out.err"
}
# capture_fields FILE: what Wireshark's dissector makes of each piece, times left out
# and the measured ACK and reply times in the comments masked.
capture_fields() {
    tshark -X lua_script:"$source_root/packaging/wireshark/zantrox.lua" -r "$1" -T fields \
        -e frame.interface_name -e frame.packet_flags_direction -e frame.len -e zantrox.kind \
        -e zantrox.text -e zantrox.checksum.status -e frame.comment 2>>"$work/tshark.err" |
        sed -E 's/(ACK|reply) [0-9]+\.[0-9]+ ms/\1 N ms/g'
}
# valid_capture NAME FILE: capinfos reads FILE to its end.
valid_capture() {
    if capinfos -c "$2" >"$work/capinfos.out" 2>&1; then pass; else fail "$1: not a capture capinfos reads"; cat "$work/capinfos.out"; fi
}
# same NAME WANT GOT: the two files are equal.
same() {
    if diff -u "$2" "$3" >"$work/diff.out"; then pass; else fail "$1: differs from the Linux build"; head -20 "$work/diff.out"; fi
}

if [ -z "$(missing_tools tshark capinfos)" ]; then
    linux "$work/linux-send.out" send key:S key:R --interval 0 --pcapng linux.pcapng &&
        pass || { fail "Linux send --pcapng"; cat "$work/linux-send.out.err"; }
    capture_fields "$work/linux.pcapng" >"$work/linux.fields"
    # Both sides could be empty alike: the Linux capture must hold the two exchanges.
    [ "$(wc -l <"$work/linux.fields")" -eq 6 ] && grep -q '^COM1	.*Pump/Sale/Extended, pump 1$' "$work/linux.fields" &&
        pass || { fail "the Linux capture"; cat "$work/linux.fields" "$work/tshark.err"; }

    run "send --pcapng" 0 send key:S key:R --interval 0 --pcapng wine.pcapng
    valid_capture "send --pcapng" "$work/wine.pcapng"
    capture_fields "$work/wine.pcapng" >"$work/wine.fields"
    same "send --pcapng: the pieces" "$work/linux.fields" "$work/wine.fields"

    # The capture on stdout is binary too: no line end turned into CR LF on the way.
    run "send --pcapng -" 0 send key:S key:R --interval 0 --pcapng -
    cp "$work/out.raw" "$work/wine-stdout.pcapng"
    valid_capture "send --pcapng -" "$work/wine-stdout.pcapng"
    capture_fields "$work/wine-stdout.pcapng" >"$work/wine-stdout.fields"
    same "send --pcapng -: the pieces" "$work/linux.fields" "$work/wine-stdout.fields"

    # check: every transaction it counts is one request in the capture, and one frame
    # at the simulator.
    before=$(logged | wc -l)
    run "check --pcapng" 0 check --pumps 1 --rounds 1 --interval 0 --json --report check.html --pcapng check.pcapng
    valid_capture "check --pcapng" "$work/check.pcapng"
    transactions=$(grep -c '"verdict":' "$work/out")
    requests=$(capture_fields "$work/check.pcapng" | awk -F'\t' '$2 == "0x00000002" && $4 == "frame"' | wc -l)
    heard=$(($(logged | wc -l) - before))
    [ "$transactions" -gt 0 ] && [ "$requests" -eq "$transactions" ] && [ "$heard" -eq "$transactions" ] &&
        pass || fail "check --pcapng: $transactions transactions, $requests requests in the capture, $heard at the simulator"

    # watch --from: the Linux-made capture read back gives the same exchanges, times
    # and all (both take them from the file).
    linux "$work/linux-from.out" watch --from linux.pcapng --json || fail "Linux watch --from"
    grep '"kind":"exchange"' "$work/linux-from.out" >"$work/linux-from.exchanges"
    [ "$(wc -l <"$work/linux-from.exchanges")" -eq 2 ] && pass ||
        { fail "Linux watch --from: not two exchanges"; cat "$work/linux-from.out"; }
    run "watch --from" 0 watch --from linux.pcapng --json
    grep '"kind":"exchange"' "$work/out" >"$work/wine-from.exchanges"
    same "watch --from: the exchanges" "$work/linux-from.exchanges" "$work/wine-from.exchanges"
    printf 'not a capture\n' >"$work/not-a-capture.txt"
    run "watch --from: not a capture" 2 watch --from not-a-capture.txt --json
    has "watch --from: why" "$work/err" "not-a-capture.txt"
else
    fail "captures not compared: no $(missing_tools tshark capinfos)(tools/install-deps.sh)"
fi

# zantrox-extcap.exe tells Wireshark what the Linux zantrox-extcap does.
for call in "--extcap-interfaces" "--extcap-interface zantrox-tap --extcap-config" \
            "--extcap-interface zantrox-tap --extcap-dlts" "--extcap-interface zantrox-line --extcap-config"; do
    # shellcheck disable=SC2086  # $call is the words of one call
    "$linux_extcap" $call >"$work/extcap-linux.out" 2>"$work/extcap-linux.err" || fail "Linux zantrox-extcap $call"
    # shellcheck disable=SC2086
    run_exe "zantrox-extcap.exe $call" 0 "$extcap_exe" $call
    [ -s "$work/extcap-linux.out" ] && pass || fail "Linux zantrox-extcap $call: no answer"
    same "zantrox-extcap.exe $call" "$work/extcap-linux.out" "$work/out"
done
run_exe "zantrox-extcap.exe: unknown interface" 2 "$extcap_exe" --extcap-interface zantrox-nothing --extcap-dlts

# run: an acceptance run under Windows judges as on Linux: the smoke test's one step
# that fails on purpose fails, the rest pass, and the JUnit file is written.
cp "$source_root/examples/smoke.toml" "$work/smoke.toml"
before=$(logged | wc -l)
run "run smoke.toml" 1 run smoke.toml --port COM1 --junit smoke.xml
has "run: the failing step" "$work/out" "FAIL  a card reader on every pump"
has "run: the count" "$work/out" "Read-only smoke test: 7 passed, 1 failed"
python3 -c 'import sys, xml.dom.minidom; d = xml.dom.minidom.parse(sys.argv[1]); assert len(d.getElementsByTagName("failure")) == 1' \
    "$work/smoke.xml" && pass || fail "run: the JUnit file"
[ "$(logged | wc -l)" -gt "$before" ] && pass || fail "run: nothing reached the simulator"
printf '[[step]]\nsend = "Pump/Sale/Reed"\n' >"$work/bad.toml"
before=$(logged | wc -l)
run "run: a bad file" 2 run bad.toml --port COM1
has "run: where" "$work/err" "bad.toml:2:"
[ "$(logged | wc -l)" -eq "$before" ] && pass || fail "run: a bad file sent something"

# watch on an adapter that is pulled and plugged back: the device's input-queue
# read notices a line that is gone, and the port is opened again when it is back.
cat >"$work/line.script" <<SCRIPT
wait $work/watching
frame B01R011111001332
pause 500
vanish
pause 1500
return
pause 1500
frame K
pause 500
SCRIPT
python3 "$source_root/tests/cli/fake_line.py" "$work/com3" "$work/line.script" >"$work/line.out" 2>&1 &
line=$!
track_pid "$line"
wait_for 5 grep -q ready "$work/line.out" || fail "fake line did not start"
(cd "$work" && "$WINE" "$exe" watch --port COM3 --json) >"$work/watch.out.raw" 2>"$work/watch.err.raw" &
watcher=$!
track_pid "$watcher"
wait_for 20 grep -q listening "$work/watch.err.raw" && touch "$work/watching" || fail "watch did not start"
wait_for 20 grep -q '"text":"K"' "$work/watch.out.raw" || fail "watch: no frame after the adapter came back"
tr -d '\r' <"$work/watch.err.raw" >"$work/watch.err"
tr -d '\r' <"$work/watch.out.raw" >"$work/watch.out"
has "watch: gone" "$work/watch.err" "has gone away"
has "watch: back" "$work/watch.err" "is back"
has "watch: before" "$work/watch.out" '"text":"B01R011111001332"'
stop_pid "$watcher"
stop_pid "$line"

# One send over RFC 2217: ser2net on loopback serving the same terminal.
if command -v ser2net >/dev/null; then
    net_port=$(free_tcp_port)
    ser2net -n -u -P "$work/ser2net.pid" -Y 'connection: &rfc2217' \
        -Y "  accepter: telnet(rfc2217),tcp,127.0.0.1,$net_port" \
        -Y "  connector: serialdev,$SIM_PTY,9600n81,local" >"$work/ser2net.log" 2>&1 &
    s2n=$!
    track_pid "$s2n"
    wait_for 10 tcp_listening "$net_port" || fail "ser2net did not start"
    before=$(logged | wc -l)
    run "send over rfc2217://" 0 send key:S --port "rfc2217://127.0.0.1:$net_port"
    has "rfc2217 verdict" "$work/out" "reply OK"
    [ "$(logged | wc -l)" -eq "$((before + 1))" ] && pass || fail "the frame did not reach the simulator over the network"
    # The tap on two network lines (Winsock waits on both sockets): ser2net's as the
    # host line, a raw TCP server that says one frame as the controller line.
    raw_port=$(free_tcp_port)
    python3 - "$raw_port" >"$work/raw-server.log" 2>&1 <<'PY' &
import socket, sys, time
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", int(sys.argv[1])))
server.listen(1)
connection, _ = server.accept()
time.sleep(0.5)
text = b"B09R 4"
frame = b"\x02" + text + b"\x03"
connection.sendall(frame + bytes([-sum(frame) & 0x7F]))
time.sleep(30)
PY
    raw=$!
    track_pid "$raw"
    wait_for 10 tcp_listening "$raw_port" || fail "raw server did not start"
    run "tap over the network" 0 watch --tap "rfc2217://127.0.0.1:$net_port" "socket://127.0.0.1:$raw_port" --json --duration 3
    has "tap: the controller's frame" "$work/out" '"text":"B09R 4"'
    has "tap: judged" "$work/out" '"verdict":"unanswered reply"'
    stop_pid "$raw"
    stop_pid "$s2n"
    run "nobody listens" 3 send key:S --port "rfc2217://127.0.0.1:$net_port"
    has "refused in words" "$work/err" "connection refused"
    run "malformed URL" 2 send key:S --port "socket://127.0.0.1:0"
else
    fail "ser2net is not installed (tools/install-deps.sh)"
fi

[ "$failed" -eq 0 ]
