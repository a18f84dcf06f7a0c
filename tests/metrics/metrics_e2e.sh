#!/usr/bin/env bash
# The metrics endpoint as a fleet uses it: metrics_feeder serves LinkMetrics fed
# with a scripted session; promtool lints its exposition; Debian's prometheus
# server scrapes it on loopback with the packaged rules loaded, and what its query
# API reads back is what was fed.
#
#   metrics_e2e.sh METRICS_FEEDER
#
# Ends with "metrics: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "METRICS_FEEDER" 1 1 "$@"
feeder=${ARGS[0]} root=$HARNESS_ROOT
. "$root/tools/lib/checks.sh"
checks_begin metrics
for tool in promtool prometheus; do
    command -v "$tool" >/dev/null || { fail "$tool is not installed (tools/install-deps.sh)"; exit 1; }
done

# http_get URL: the body on stdout; 1 on any failure.
http_get() { python3 -c 'import sys, urllib.request; sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[1], timeout=5).read())' "$1" 2>/dev/null; }
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
# expect NAME EXPR WANT: the query's single value is WANT.
expect() {
    local got
    got=$(value "$2")
    if [ "$got" = "$3" ]; then pass; else fail "$1: $2 = '${got}', wanted '$3'"; fi
}

# ---- the feeder, and its exposition through promtool ----
"$feeder" 127.0.0.1:0 "$work/port" 2>"$work/feeder.err" &
feeder_pid=$!
track_pid "$feeder_pid"
wait_for 10 test -s "$work/port" || { fail "the feeder did not listen"; cat "$work/feeder.err"; exit 1; }
port=$(cat "$work/port")
if http_get "http://127.0.0.1:$port/metrics" >"$work/exposition.txt"; then pass; else fail "GET /metrics"; exit 1; fi
if promtool check metrics <"$work/exposition.txt" >"$work/promtool.out" 2>&1; then
    pass
else
    fail "promtool check metrics found something: $(head -5 "$work/promtool.out")"
fi
[ ! -s "$work/promtool.out" ] && pass || fail "promtool check metrics said: $(head -5 "$work/promtool.out")"

# ---- a Prometheus server scraping it every second, with the packaged rules ----
prom_port=$(free_tcp_port)
while [ "$prom_port" = "$port" ]; do prom_port=$(free_tcp_port); done
prom_url="http://127.0.0.1:$prom_port"
cp "$root/packaging/prometheus/zantrox.rules.yml" "$work/"
cat >"$work/prometheus.yml" <<EOF
global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}
rule_files: [zantrox.rules.yml]
scrape_configs:
  - job_name: zantrox
    static_configs: [{targets: ["127.0.0.1:$port"]}]
EOF
mkdir -p "$work/tsdb"
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$prom_port" --log.level=warn >"$work/prometheus.log" 2>&1 &
prom_pid=$!
track_pid "$prom_pid"
wait_for 30 http_get "$prom_url/-/ready" >/dev/null || { fail "prometheus did not get ready"; tail -20 "$work/prometheus.log"; exit 1; }
pass
scraped() { [ "$(value 'up{job="zantrox"}')" = 1 ] && [ -n "$(value 'zantrox_build_info')" ]; }
wait_for 30 scraped || { fail "prometheus did not scrape the endpoint"; tail -20 "$work/prometheus.log"; exit 1; }
pass

# ---- what it read is what was fed (metrics_feeder.cpp) ----
expect "ok exchanges, pump 7" 'zantrox_exchanges_total{pump="7",verdict="ok"}' 5
expect "no-ack exchanges, pump 7" 'zantrox_exchanges_total{pump="7",verdict="no-ack"}' 3
expect "checksum errors, pump 3" 'zantrox_exchanges_total{pump="3",verdict="checksum-error"}' 1
expect "an unanswered reply names no pump" 'zantrox_exchanges_total{pump="",verdict="unanswered reply"}' 1
expect "every exchange" 'sum(zantrox_exchanges_total)' 10
expect "series per pump and verdict" 'count(zantrox_exchanges_total)' 264
expect "requests by path" 'zantrox_requests_total{command="Pump/Sale/Read"}' 8
expect "unknown requests" 'zantrox_requests_total{command="unknown"}' 1
expect "answer times counted" 'zantrox_answer_seconds_count' 6
expect "answers under 0.5 ms" 'zantrox_answer_seconds_bucket{le="0.0005"}' 5
expect "answers within 16 ms" 'zantrox_answer_seconds_bucket{le="0.016"}' 5
expect "answers within 20 ms" 'zantrox_answer_seconds_bucket{le="0.02"}' 6
expect "answer time sum" 'round(zantrox_answer_seconds_sum * 10000)' 185
expect "reply times counted" 'zantrox_reply_seconds_count' 6
expect "replies within 0.1 s" 'zantrox_reply_seconds_bucket{le="0.1"}' 6
expect "median answer" 'round(histogram_quantile(0.5, zantrox_answer_seconds_bucket) * 10000)' 3
expect "stray bytes on the controller line" 'zantrox_stray_bytes_total{line="ctrl"}' 12
expect "host line up" 'zantrox_line_up{line="host"}' 1
expect "controller line down" 'zantrox_line_up{line="ctrl"}' 0
expect "host line reconnects" 'zantrox_line_reconnects_total{line="host"}' 1
expect "last byte on the host line" 'zantrox_last_byte_timestamp_seconds{line="host"} * 10' 18000000005
expect "adapter latency" 'zantrox_adapter_latency_seconds{line="host"}' 0.016
expect "build info" 'zantrox_build_info{version="2.1.0"}' 1
# The odd port name arrives as the feeder's escaped text, not dropped or mangled.
hostile=$(query 'zantrox_line_up{line=~"/dev/tty.*"}')
want=$(printf '{"__name__": "zantrox_line_up", "line": "/dev/tty\\\\xFF\\"odd\\\\"}\t0')
[ "$hostile" = "$want" ] && pass || fail "the odd port name came back as '$hostile', wanted '$want'"

# ---- the packaged rules load and evaluate on this server ----
rules_ok() {
    http_get "$prom_url/api/v1/rules" | python3 -c '
import json, sys
rules = [r for g in json.load(sys.stdin)["data"]["groups"] for r in g["rules"]]
sys.exit(0 if len(rules) == 7 and all(r["health"] == "ok" and r.get("lastEvaluation", "0001").startswith("2") for r in rules) else 1)'
}
wait_for 20 rules_ok && pass || fail "the packaged rules did not all evaluate healthy"
# The controller line the feeder left down is pending as ZantroxLineDown (it fires after 2 minutes).
pending() { [ "$(value 'ALERTS{alertname="ZantroxLineDown",line="ctrl"}')" = 1 ]; }
wait_for 20 pending && pass || fail "ZantroxLineDown is not pending for the controller line: $(query ALERTS)"
# 16 ms latency timers raise ZantroxAdapterLatency at once; 1 ms does not.
expect "the adapter latency alert" 'count(ALERTS{alertname="ZantroxAdapterLatency",alertstate="firing"})' 1

# ---- every query of the packaged dashboard runs here and finds data ----
instance="127.0.0.1:$port"
python3 -c '
import json, sys
for p in json.load(open(sys.argv[1]))["panels"]:
    for t in p.get("targets", []):
        print(p["title"] + "\t" + t["expr"])' "$root/packaging/grafana/zantrox-dashboard.json" >"$work/panels.tsv"
while IFS=$'\t' read -r title expr; do
    expr=${expr//\$site/$instance}
    expr=${expr//\$__rate_interval/1m}
    # A ratio is NaN without traffic in the window; its parts must still be found.
    if [ -n "$(query "$expr" 2>"$work/query.err")" ] || [ -n "$(query "${expr%% / *}" 2>>"$work/query.err")" ]; then
        pass
    else
        fail "dashboard panel '$title': no data for $expr $(tail -1 "$work/query.err")"
    fi
done <"$work/panels.tsv"
[ "$failed" -eq 0 ]
