#!/usr/bin/env bash
# The metrics endpoint as a fleet uses it: `watch --tap --metrics` listens on the
# simulator's tap links while `send` drives a known mix of commands, pumps and
# faults through the simulator; Debian's prometheus server scrapes the tap on
# loopback with the packaged rules loaded, and what its query API reads back is
# what was sent. Then: promtool on the live exposition, the lines pulled (the
# simulator ended) and back, what the endpoint refuses, scrapers that hang or read
# slowly while the tap goes on judging, and one-line watch with an odd port name.
#
#   metrics_e2e.sh ZANTROX_CLI ZANTROX_SIM
#
# Ends with "metrics: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_CLI ZANTROX_SIM" 2 2 "$@"
cli=${ARGS[0]} sim=${ARGS[1]} root=$HARNESS_ROOT
. "$root/tools/lib/checks.sh"
checks_begin metrics
for tool in promtool prometheus python3; do
    command -v "$tool" >/dev/null || { fail "$tool is not installed (tools/install-deps.sh)"; exit 1; }
done

# http_get URL: the body on stdout; 1 on any failure.
http_get() { python3 -c 'import sys, urllib.request; sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[1], timeout=5).read())' "$1" 2>/dev/null; }
# http_status METHOD URL: the status code and the Allow and Content-Type headers, one line.
http_status() {
    python3 - "$1" "$2" <<'EOF'
import sys, urllib.error, urllib.request
try:
    r = urllib.request.urlopen(urllib.request.Request(sys.argv[2], method=sys.argv[1], data=b"x" if sys.argv[1] in ("POST", "PUT") else None), timeout=5)
except urllib.error.HTTPError as e:
    r = e
print(r.status, r.headers.get("Allow", "-"), r.headers.get("Content-Type", "-"))
EOF
}
# query EXPR: each sample of an instant query on one line, "LABELS_JSON<TAB>VALUE", sorted.
query() {
    python3 - "$prom_url" "$1" <<'EOF'
import json, sys, urllib.parse, urllib.request
url = sys.argv[1] + "/api/v1/query?" + urllib.parse.urlencode({"query": sys.argv[2]})
data = json.load(urllib.request.urlopen(url, timeout=5))["data"]["result"]
lines = []
for sample in data:
    labels = {k: v for k, v in sample["metric"].items() if k not in ("job", "instance")}
    lines.append(json.dumps(labels, sort_keys=True, ensure_ascii=False) + "\t" + sample["value"][1])
print("\n".join(sorted(lines)))
EOF
}
# value EXPR: the value of a query with one sample, else empty.
value() { local r; r=$(query "$1") && [ "$(wc -l <<<"$r")" -eq 1 ] && cut -f2 <<<"$r"; }
# expect NAME EXPR WANT: the query's single value becomes WANT within 10 s (a scrape a second).
expect() {
    local got
    is_value() { got=$(value "$1"); [ "$got" = "$2" ]; }
    if wait_for 10 is_value "$2" "$3"; then pass; else fail "$1: $2 = '${got}', wanted '$3'"; fi
}
# switch_mode MODE: the simulator's fault mode, once its log says it took it.
switch_mode() {
    echo "$1" >"$ctl"
    last_mode_is() { [ "$(grep -P '\tmode\t' "$log" | tail -n 1 | cut -f3)" = "$1" ]; }
    wait_for 5 last_mode_is "$1" || fail "the simulator did not switch to $1"
}
# send ARGS...: zantrox-cli send on the simulator's terminal, no pause between transactions.
send() { "$cli" send --port "$SIM_PTY" --interval 0 "$@" >>"$work/send.out" 2>&1; }
# judged: how many exchanges the tap has printed.
judged() { grep -c '"kind":"exchange"' "$work/tap.out"; }

# ---- the simulator with its tap links, the tap serving metrics ----
host_link="$work/tap-host" ctrl_link="$work/tap-ctrl"
# Pump 5's sale read comes back with a bad checksum, whatever the mode.
echo '[{"match": "^B05R$", "fault": "bad-checksum"}]' >"$work/rules.json"
sim_args=(--no-link --tap-links "$host_link" "$ctrl_link" --rules "$work/rules.json" --control "$ctl" --log "$log")
start_sim "$sim" "$work/sim" "${sim_args[@]}" || { fail "the simulator did not start: $(cat "$work/sim.err")"; exit 1; }

port=$(free_tcp_port)
"$cli" watch --tap "$host_link" "$ctrl_link" --json --metrics "127.0.0.1:$port" >"$work/tap.out" 2>"$work/tap.err" &
tap_pid=$!
track_pid "$tap_pid"
wait_for 10 tcp_listening "$port" || { fail "the tap did not serve metrics: $(cat "$work/tap.err")"; exit 1; }
pass

# ---- a Prometheus server scraping it every second, with the packaged rules ----
one_port=$(free_tcp_port)
prom_port=$(free_tcp_port)
prom_url="http://127.0.0.1:$prom_port"
cp "$root/packaging/prometheus/zantrox.rules.yml" "$work/"
cat >"$work/prometheus.yml" <<EOF
global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}
rule_files: [zantrox.rules.yml]
scrape_configs:
  - job_name: zantrox
    static_configs: [{targets: ["127.0.0.1:$port"]}]
  - job_name: zantrox-one
    static_configs: [{targets: ["127.0.0.1:$one_port"]}]
EOF
mkdir -p "$work/tsdb"
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$prom_port" --log.level=warn >"$work/prometheus.log" 2>&1 &
prom_pid=$!
track_pid "$prom_pid"
wait_for 30 http_get "$prom_url/-/ready" >/dev/null || { fail "prometheus did not get ready"; tail -20 "$work/prometheus.log"; exit 1; }
scraped() { [ "$(value 'up{job="zantrox"}')" = 1 ] && [ -n "$(value 'zantrox_build_info')" ]; }
wait_for 30 scraped || { fail "prometheus did not scrape the tap"; tail -20 "$work/prometheus.log"; exit 1; }
pass
expect "every series is there before any traffic" 'count(zantrox_exchanges_total{job="zantrox"} == 0)' 264

# ---- the traffic: commands and pumps known, faults included ----
send --pump 7 --repeat 3 Pump/Sale/Read Pump/Prices/READ       # pump 7: 6 ok, with replies
send --pump 12 Pump/Totals/Hose2 Pump/Stop/ONE                   # pump 12: 2 ok, one ACK alone
send --pump 5 --repeat 2 Pump/Sale/Read                          # pump 5: 2 checksum errors (the rule)
send key:S                                                       # FE names no pump: 1 ok
switch_mode no-ack
send --pump 3 Pump/Sale/Read Pump/Stop/ONE Pump/Sale/Read        # pump 3: 3 without an ACK
switch_mode noise
send --pump 9 Pump/Prices/READ                                   # pump 9: 1 ok, 3 stray bytes before the ACK
switch_mode normal
wait_for 10 test "$(judged)" -ge 15 || fail "the tap judged $(judged) exchanges of 15"

expect "ok, pump 7" 'zantrox_exchanges_total{pump="7",verdict="ok"}' 6
expect "ok, pump 12" 'zantrox_exchanges_total{pump="12",verdict="ok"}' 2
expect "checksum errors, pump 5" 'zantrox_exchanges_total{pump="5",verdict="checksum-error"}' 2
expect "a request naming no pump" 'zantrox_exchanges_total{pump="",verdict="ok"}' 1
expect "no ACK, pump 3" 'zantrox_exchanges_total{pump="3",verdict="no-ack"}' 3
expect "ok through noise, pump 9" 'zantrox_exchanges_total{pump="9",verdict="ok"}' 1
expect "every exchange" 'sum(zantrox_exchanges_total{job="zantrox"})' 15
expect "no other pump or verdict" 'count(zantrox_exchanges_total{job="zantrox"} > 0)' 6
expect "sale reads" 'zantrox_requests_total{command="Pump/Sale/Read"}' 7
expect "price reads" 'zantrox_requests_total{command="Pump/Prices/READ"}' 4
expect "totals" 'zantrox_requests_total{command="Pump/Totals/Hose2"}' 1
expect "stops" 'zantrox_requests_total{command="Pump/Stop/ONE"}' 2
expect "status" 'zantrox_requests_total{command="Pump/Status/Extended"}' 1
expect "every request named" 'zantrox_requests_total{command="unknown"}' 0
expect "every request" 'sum(zantrox_requests_total)' 15
# 12 exchanges were ACKed; the simulator ACKs at once, the tap within the line.
expect "answer times counted" 'zantrox_answer_seconds_count' 12
expect "every answer in the last finite bucket" 'zantrox_answer_seconds_bucket{le="1"}' 12
expect "answers bucket +Inf" 'zantrox_answer_seconds_bucket{le="+Inf"}' 12
# 11 replies (the checksum errors' too). Every reply frame here is 19 to 35 bytes,
# 20 to 36 ms at 9600 baud: the median lands between the 16 ms and 50 ms buckets
# (a late wake of the tap may shorten one, not most).
expect "reply times counted" 'zantrox_reply_seconds_count' 11
expect "every reply within 0.5 s" 'zantrox_reply_seconds_bucket{le="0.5"}' 11
expect "replies take the line's time" 'histogram_quantile(0.5, zantrox_reply_seconds_bucket) > 0.016 <= 0.05 > bool 0' 1
expect "stray bytes on the controller line" 'zantrox_stray_bytes_total{line="ctrl"}' 3
expect "none on the host line" 'zantrox_stray_bytes_total{line="host"}' 0
expect "host line up" 'zantrox_line_up{line="host"}' 1
expect "controller line up" 'zantrox_line_up{line="ctrl"}' 1
last=$(value 'zantrox_last_byte_timestamp_seconds{line="ctrl"}')
awk -v t="${last:-0}" -v now="$(date +%s)" 'BEGIN { exit !(t > now - 120 && t <= now + 1) }' && pass ||
    fail "the last byte on the controller line is stamped '$last', not within the last 2 minutes"

# ---- the live exposition: promtool, the content type, the page, what is refused ----
if http_get "http://127.0.0.1:$port/metrics" >"$work/exposition.txt"; then pass; else fail "GET /metrics"; fi
promtool check metrics <"$work/exposition.txt" >"$work/promtool.out" 2>&1 && [ ! -s "$work/promtool.out" ] && pass ||
    fail "promtool check metrics found something: $(head -5 "$work/promtool.out")"
got=$(http_status GET "http://127.0.0.1:$port/metrics")
[ "$got" = "200 - text/plain; version=0.0.4; charset=utf-8" ] && pass || fail "GET /metrics answered '$got'"
http_get "http://127.0.0.1:$port/" | grep -q '<a href="/metrics">' && pass || fail "the page at / does not link /metrics"
for method in POST PUT DELETE; do
    got=$(http_status "$method" "http://127.0.0.1:$port/metrics")
    [ "${got%% *}" = 405 ] && [ "$(cut -d' ' -f2 <<<"$got")" = GET ] && pass || fail "$method /metrics answered '$got', wanted 405 allowing GET"
done
got=$(http_status GET "http://127.0.0.1:$port/other")
[ "${got%% *}" = 404 ] && pass || fail "GET /other answered '$got', wanted 404"

# ---- the packaged rules load and evaluate on this server ----
rules_ok() {
    http_get "$prom_url/api/v1/rules" | python3 -c '
import json, sys
rules = [r for g in json.load(sys.stdin)["data"]["groups"] for r in g["rules"]]
sys.exit(0 if len(rules) == 7 and all(r["health"] == "ok" and r.get("lastEvaluation", "0001").startswith("2") for r in rules) else 1)'
}
wait_for 20 rules_ok && pass || fail "the packaged rules did not all evaluate healthy"
# Every query of the packaged dashboard finds data for this tap.
python3 -c '
import json, sys
for p in json.load(open(sys.argv[1]))["panels"]:
    for t in p.get("targets", []):
        print(p["title"] + "\t" + t["expr"])' "$root/packaging/grafana/zantrox-dashboard.json" >"$work/panels.tsv"
while IFS=$'\t' read -r title expr; do
    expr=${expr//\$site/127.0.0.1:$port}
    expr=${expr//\$__rate_interval/1m}
    if [ -n "$(query "$expr" 2>"$work/query.err")" ]; then pass; else fail "dashboard panel '$title': no data for $expr $(tail -1 "$work/query.err")"; fi
done <"$work/panels.tsv"

# ---- the lines pulled: the simulator ends, its tap terminals close ----
stop_pid "$SIM_PID"
expect "host line down" 'zantrox_line_up{line="host"}' 0
expect "controller line down" 'zantrox_line_up{line="ctrl"}' 0
grep -q "has gone away" "$work/tap.err" && pass || fail "the tap did not say a line went away: $(tail -3 "$work/tap.err")"
down_pending() { [ "$(value 'count(ALERTS{alertname="ZantroxLineDown",alertstate="pending"})')" = 2 ]; }
wait_for 20 down_pending && pass || fail "ZantroxLineDown is not pending for both lines: $(query ALERTS)"
# ... and plugged back: the same links, new terminals.
start_sim "$sim" "$work/sim2" "${sim_args[@]}" || { fail "the simulator did not start again: $(cat "$work/sim2.err")"; exit 1; }
expect "host line back" 'zantrox_line_up{line="host"}' 1
expect "controller line back" 'zantrox_line_up{line="ctrl"}' 1
expect "host line reconnected once" 'zantrox_line_reconnects_total{line="host"}' 1
expect "controller line reconnected once" 'zantrox_line_reconnects_total{line="ctrl"}' 1
send --pump 7 Pump/Sale/Read
expect "judged after the reconnect" 'zantrox_exchanges_total{pump="7",verdict="ok"}' 7

# ---- scrapers that hang: connections that send nothing, one that reads a byte a second ----
cat >"$work/hang.py" <<'EOF'
import socket, sys, time
port, ready = int(sys.argv[1]), sys.argv[2]
held = []
for _ in range(4):
    held.append(socket.create_connection(("127.0.0.1", port)))
slow = socket.socket()
slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
slow.connect(("127.0.0.1", port))
slow.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
held.append(slow)
open(ready, "w").close()
while True:
    slow.recv(1)
    time.sleep(1)
EOF
python3 "$work/hang.py" "$port" "$work/hanging" 2>/dev/null &
hang_pid=$!
track_pid "$hang_pid"
wait_for 10 test -e "$work/hanging" || fail "the hanging scrapers did not connect"
before=$(judged)
send --pump 20 --repeat 4 Pump/Sale/Read
wait_for 10 test "$(judged)" -ge $((before + 4)) && pass || fail "the tap judged $(($(judged) - before)) of 4 exchanges while scrapers hung"
grep '"kind":"exchange"' "$work/tap.out" | tail -n 4 | grep -c '"pump":20,.*"verdict":"ok"' | grep -qx 4 && pass ||
    fail "the exchanges judged while scrapers hung are not pump 20's four ok ones"
kill -0 "$hang_pid" 2>/dev/null && pass || fail "the hanging scrapers gave up before the tap had judged"
stop_pid "$hang_pid"
expect "scraped again once they let go" 'zantrox_exchanges_total{pump="20",verdict="ok"}' 4

# ---- one line: its port's name is the label, odd bytes escaped ----
start_sim "$sim" "$work/sim-one" --no-link || { fail "the second simulator did not start"; exit 1; }
odd=$(printf '%s/tty\xff"odd\\' "$work")
ln -s "$SIM_PTY" "$odd"
"$cli" watch --port "$odd" --metrics "$one_port" >"$work/one.out" 2>"$work/one.err" &
track_pid $!
one_scraped() { [ "$(value 'up{job="zantrox-one"}')" = 1 ]; }
wait_for 30 one_scraped && pass || fail "prometheus did not scrape one-line watch: $(cat "$work/one.err")"
# The endpoint answers from the start; the line is up once watch has opened it, so
# a first scrape may still say 0.
want=$(printf '{"__name__": "zantrox_line_up", "line": "%s/tty\\\\xFF\\"odd\\\\"}\t1' "$work")
odd_up() { got=$(query 'zantrox_line_up{job="zantrox-one"}'); [ "$got" = "$want" ]; }
wait_for 10 odd_up && pass || fail "the odd port name came back as '$got', wanted '$want'"

# ---- Ctrl+C ends the tap at once, a scraper hanging or not ----
python3 "$work/hang.py" "$port" "$work/hanging2" 2>/dev/null &
hang_pid=$!
track_pid "$hang_pid"
wait_for 10 test -e "$work/hanging2" || fail "the hanging scrapers did not connect again"
kill -INT "$tap_pid"
wait_for 5 harness_ended "$tap_pid" && pass || fail "the tap did not end within 5 s of Ctrl+C while scrapers hung"
[ "$failed" -eq 0 ]
