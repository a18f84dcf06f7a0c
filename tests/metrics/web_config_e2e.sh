#!/usr/bin/env bash
# --web-config as a fleet uses it: the tap serves /metrics over HTTPS with basic
# auth, a one-line watch over HTTPS with client certificates required, and
# Debian's Prometheus scrapes both with right and wrong passwords, CAs and client
# certificates. Certificates are made here with openssl, the hash with htpasswd.
# Then: the files promtool refuses are refused here too (promtool asked each
# time), the shipped example passes promtool, hostile requests and a stream of
# wrong passwords during traffic leave the tap's counts whole, and a certificate
# renewed in place is served without a restart.
#
#   web_config_e2e.sh ZANTROX_CLI ZANTROX_SIM
#
# Ends with "web-config: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "ZANTROX_CLI ZANTROX_SIM" 2 2 "$@"
cli=${ARGS[0]} sim=${ARGS[1]} root=$HARNESS_ROOT
. "$root/tools/lib/checks.sh"
checks_begin web-config
for tool in promtool prometheus python3 openssl htpasswd curl; do
    command -v "$tool" >/dev/null || { fail "$tool is not installed (tools/install-deps.sh)"; exit 1; }
done
http_get() { curl -sf --max-time 5 "$1"; }
# query EXPR: the single value of an instant query, else empty.
query() {
    python3 - "$prom_url" "$1" <<'EOF'
import json, sys, urllib.parse, urllib.request
url = sys.argv[1] + "/api/v1/query?" + urllib.parse.urlencode({"query": sys.argv[2]})
data = json.load(urllib.request.urlopen(url, timeout=5))["data"]["result"]
print(data[0]["value"][1] if len(data) == 1 else "")
EOF
}
expect() {
    local got
    is_value() { got=$(query "$1"); [ "$got" = "$2" ]; }
    if wait_for 15 is_value "$2" "$3"; then pass; else fail "$1: $2 = '${got}', wanted '$3'"; fi
}
# last_error JOB: Prometheus' last scrape error for the job's target.
last_error() {
    curl -sf "$prom_url/api/v1/targets" | python3 -c '
import json, sys
for t in json.load(sys.stdin)["data"]["activeTargets"]:
    if t["labels"]["job"] == sys.argv[1]: print(t["lastError"])' "$1"
}
send() { "$cli" send --port "$SIM_PTY" --interval 0 "$@" >>"$work/send.out" 2>&1; }
judged() { grep -c '"kind":"exchange"' "$work/tap.out"; }

# ---- certificates: a server CA and its certificate for 127.0.0.1, a client CA
# and a client's certificate, a CA that signed neither ----
cd "$work" || exit 1
ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
make_ca() { openssl req -x509 "${ec[@]}" -keyout "$1.key" -out "$1.crt" -days 2 -subj "/CN=$1" 2>/dev/null; }
# sign NAME CA SUBJECT_ALT_NAME: NAME.key and NAME.crt signed by CA.
sign() {
    openssl req "${ec[@]}" -keyout "$1.key" -out "$1.csr" -subj "/CN=$1" 2>/dev/null &&
        openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -days 2 -out "$1.crt" \
            -extfile <(printf 'subjectAltName=%s\n' "$3") 2>/dev/null
}
make_ca server-ca && make_ca client-ca && make_ca stranger-ca && sign server server-ca IP:127.0.0.1 &&
    sign client client-ca DNS:prometheus && pass || { fail "openssl did not make the certificates"; exit 1; }
htpasswd -nbBC 10 prometheus 'right horse' | cut -d: -f2 >hash
echo -n 'right horse' >password.right
echo -n 'wrong horse' >password.wrong
cat >web.yml <<EOF
tls_server_config: {cert_file: server.crt, key_file: server.key}
http_server_config: {headers: {X-Content-Type-Options: nosniff}}
basic_auth_users: {prometheus: '$(cat hash)'}
EOF
cat >web-client.yml <<EOF
tls_server_config:
  cert_file: $work/server.crt
  key_file: $work/server.key
  client_auth_type: RequireAndVerifyClientCert
  client_ca_file: client-ca.crt
EOF

# ---- what promtool refuses, refused here too: exit 2 before listening, the key named ----
ours_refuse() { # FILE: 0 when zantrox-cli refuses FILE as a web config
    "$cli" watch --port "$work/no-such-port" --metrics 0 --web-config "$1" >/dev/null 2>"$work/ours.err"
    local status=$?
    [ "$status" -eq 2 ] && grep -q -- "^zantrox-cli: --web-config $1: " "$work/ours.err"
}
tls="tls_server_config: {cert_file: server.crt, key_file: server.key"
while IFS='|' read -r says text; do
    printf '%b\n' "$text" >refused.yml
    if promtool check web-config refused.yml >/dev/null 2>&1; then
        fail "promtool takes what this case expects refused: $text"
    elif ours_refuse "$work/refused.yml" && grep -qF -- "$says" "$work/ours.err"; then
        pass
    else
        fail "not refused as promtool refuses it (wanted '$says'): $text: $(cat "$work/ours.err")"
    fi
done <<EOF
not a key|tls_server_config: {cert_file: server.crt, key_file: server.key, ca_file: x}
not a key|basic_auth_user: {a: b}
unknown TLS version|$tls, min_version: TLS9}
unknown TLS version|$tls, max_version: tls13}
unknown client auth|$tls, client_auth_type: RequireSomething}
client_ca_file: a client CA without|$tls, client_ca_file: client-ca.crt}
client_ca_file: cannot read|$tls, client_auth_type: RequireAndVerifyClientCert, client_ca_file: none.crt}
cert_file: cannot read|tls_server_config: {cert_file: none.crt, key_file: server.key}
key_file: cannot read|tls_server_config: {cert_file: server.crt, key_file: none.key}
key_file: the key in|tls_server_config: {cert_file: server.crt, key_file: client.key}
key_file: missing|tls_server_config: {cert_file: server.crt}
cert_file: missing|tls_server_config: {client_auth_type: RequireAnyClientCert}
unknown cipher|$tls, cipher_suites: [TLS_RSA_WITH_RC4_128_SHA]}
not a bcrypt hash|basic_auth_users: {prometheus: 'right horse'}
not a bcrypt hash|basic_auth_users: {prometheus: '\$3a\$10\$$(cut -c8- hash)'}
not a bcrypt hash|basic_auth_users: {prometheus: '$(cut -c1-58 hash)'}
given twice|basic_auth_users: {a: '$(cat hash)', a: '$(cat hash)'}
a header that cannot|http_server_config: {headers: {Server: zantrox}}
is not a value|http_server_config: {headers: {X-Frame-Options: allow}}
not YAML|tls_server_config: {cert_file: [server.crt}
EOF
# Files promtool takes, taken here (the command goes on to the missing port).
for text in "" "$tls, client_auth_type: RequireAnyClientCert, max_version: TLS12}" \
    "http_server_config: {http2: false, headers: {X-Frame-Options: deny}}" "basic_auth_users: {a: '$(cat hash)'}"; do
    printf '%s\n' "$text" >taken.yml
    promtool check web-config taken.yml >/dev/null 2>&1 && ! ours_refuse "$work/taken.yml" && pass ||
        fail "a file promtool takes is refused: $text: $(cat "$work/ours.err")"
done
"$cli" watch --port "$work/no-such-port" --web-config web.yml >/dev/null 2>&1
[ $? -eq 2 ] && pass || fail "--web-config without --metrics was not refused with exit 2"
# The shipped example, with a certificate and key where it names them.
mkdir -p example && cp "$root/packaging/prometheus/web-config.example.yml" example/ && cp server.crt example/metrics.crt &&
    cp server.key example/metrics.key
promtool check web-config example/web-config.example.yml >"$work/out" 2>&1 && pass || fail "promtool refuses the example: $(cat "$work/out")"
! ours_refuse "$work/example/web-config.example.yml" && pass || fail "the example is refused: $(cat "$work/ours.err")"

# ---- the tap over HTTPS with basic auth; one-line watch requiring client certificates ----
start_sim "$sim" "$work/sim" --no-link --tap-links "$work/tap-host" "$work/tap-ctrl" --control "$ctl" --log "$log" ||
    { fail "the simulator did not start: $(cat "$work/sim.err")"; exit 1; }
tap_sim_pty=$SIM_PTY
port=$(free_tcp_port)
"$cli" watch --tap "$work/tap-host" "$work/tap-ctrl" --json --metrics "127.0.0.1:$port" --web-config web.yml \
    >"$work/tap.out" 2>"$work/tap.err" &
tap_pid=$!
track_pid "$tap_pid"
wait_for 10 tcp_listening "$port" || { fail "the tap did not serve: $(cat "$work/tap.err")"; exit 1; }
start_sim "$sim" "$work/sim-one" --no-link || { fail "the second simulator did not start"; exit 1; }
one_port=$(free_tcp_port)
"$cli" watch --port "$SIM_PTY" --metrics "$one_port" --web-config web-client.yml >"$work/one.out" 2>"$work/one.err" &
track_pid $!
wait_for 10 tcp_listening "$one_port" || { fail "one-line watch did not serve: $(cat "$work/one.err")"; exit 1; }
SIM_PTY=$tap_sim_pty

prom_port=$(free_tcp_port)
prom_url="http://127.0.0.1:$prom_port"
job() { # NAME PORT TLS_CONFIG [PASSWORD_FILE]
    printf '  - job_name: %s\n    scheme: https\n    static_configs: [{targets: ["127.0.0.1:%s"]}]\n    tls_config: %s\n' "$1" "$2" "$3"
    [ -z "${4:-}" ] || printf '    basic_auth: {username: prometheus, password_file: %s}\n' "$4"
}
{
    echo "global: {scrape_interval: 1s, scrape_timeout: 1s}"
    echo "scrape_configs:"
    job good "$port" "{ca_file: $work/server-ca.crt}" "$work/password.right"
    job wrong-password "$port" "{ca_file: $work/server-ca.crt}" "$work/password.wrong"
    job no-password "$port" "{ca_file: $work/server-ca.crt}"
    job wrong-ca "$port" "{ca_file: $work/stranger-ca.crt}" "$work/password.right"
    job client-cert "$one_port" "{ca_file: $work/server-ca.crt, cert_file: $work/client.crt, key_file: $work/client.key}"
    job no-client-cert "$one_port" "{ca_file: $work/server-ca.crt}"
    job stranger-cert "$one_port" "{ca_file: $work/server-ca.crt, cert_file: $work/stranger-ca.crt, key_file: $work/stranger-ca.key}"
} >prometheus.yml
mkdir -p tsdb
prometheus --config.file=prometheus.yml --storage.tsdb.path=tsdb --web.listen-address="127.0.0.1:$prom_port" \
    --log.level=warn >prometheus.log 2>&1 &
track_pid $!
wait_for 30 http_get "$prom_url/-/ready" >/dev/null || { fail "prometheus did not get ready"; tail prometheus.log; exit 1; }
expect "https with basic auth and the CA" 'up{job="good"}' 1
expect "every series of the tap" 'count(zantrox_exchanges_total{job="good"} == 0)' 264
expect "a wrong password" 'up{job="wrong-password"}' 0
expect "no password" 'up{job="no-password"}' 0
expect "a CA that did not sign the certificate" 'up{job="wrong-ca"}' 0
expect "a client certificate the CA signed" 'up{job="client-cert"}' 1
expect "no client certificate" 'up{job="no-client-cert"}' 0
expect "a client certificate another CA signed" 'up{job="stranger-cert"}' 0
# A wrong password costs a bcrypt run at the lowest priority: on a machine busy
# with other suites one scrape may time out first, so a later one must say 401.
refused_401() { last_error wrong-password | grep -q "401 Unauthorized"; }
wait_for 10 refused_401 && pass || fail "the wrong password's error: $(last_error wrong-password)"
last_error wrong-ca | grep -q "x509" && pass || fail "the wrong CA's error: $(last_error wrong-ca)"

# ---- hostile requests, and wrong passwords in a stream while the tap judges ----
curl -s --max-time 5 "http://127.0.0.1:$port/metrics" -o "$work/plain.out"
[ ! -s "$work/plain.out" ] || ! grep -q zantrox_ "$work/plain.out" && pass || fail "plain HTTP to the TLS port got the metrics"
tls_status() { curl -s --max-time 5 --cacert server-ca.crt -o /dev/null -w '%{http_code}' "$@" "https://127.0.0.1:$port/metrics"; }
got=$(tls_status -H "Authorization: Basic $(head -c 100000 /dev/zero | tr '\0' A)")
[ "$got" != 200 ] && pass || fail "a 100 kB Authorization header got $got"
for header in "Basic" "Basic @@@@" "Basic $(printf 'prometheus' | base64)" "Bearer x" "Basic $(printf 'prometheus:right horse' | base64)="; do
    got=$(tls_status -H "Authorization: $header")
    [ "$got" = 401 ] && pass || fail "Authorization '$header' got $got, wanted 401"
done
got=$(tls_status -u 'prometheus:right horse' -H 'X-Check: 1' -D "$work/headers")
[ "$got" = 200 ] && grep -qi '^X-Content-Type-Options: nosniff' "$work/headers" && pass || fail "the right password got $got with $(cat "$work/headers")"
got=$(tls_status -u 'prometheus:right horse' -X POST)
[ "$got" = 405 ] && pass || fail "POST got $got, wanted 405"

# Four scrapers with wrong passwords (and names that do not exist) without pause,
# from one process: the flood is the endpoint's to bear, not process start-ups'.
cat >flood.py <<'EOF'
import base64, http.client, random, ssl, sys, threading
port, out = int(sys.argv[1]), sys.argv[2]
ctx = ssl.create_default_context(cafile="server-ca.crt")
counts = {}
def flood(n):
    while True:
        user = "prometheus" if n % 2 else "nobody%d" % random.randrange(1000)
        auth = base64.b64encode(("%s:wrong %d" % (user, random.randrange(10**9))).encode()).decode()
        try:
            c = http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=10)
            c.request("GET", "/metrics", headers={"Authorization": "Basic " + auth})
            status = c.getresponse().status
            c.close()
        except Exception as e:
            status = type(e).__name__
        counts[status] = counts.get(status, 0) + 1
        with open(out, "w") as f:
            f.write(" ".join("%s:%d" % kv for kv in sorted(counts.items(), key=str)) + "\n")
for n in range(4):
    threading.Thread(target=flood, args=(n,), daemon=True).start()
threading.Event().wait()
EOF
python3 flood.py "$port" "$work/flood.out" 2>/dev/null &
flood_pid=$!
track_pid "$flood_pid"
flooding() { grep -q '401:' "$work/flood.out" 2>/dev/null; }
wait_for 10 flooding || fail "the flood of wrong passwords did not get going"
before=$(judged)
send --pump 7 --repeat 20 Pump/Sale/Read
wait_for 10 test "$(judged)" -ge $((before + 20)) && pass || fail "the tap judged $(($(judged) - before)) of 20 during the flood"
[ "$(grep '"kind":"exchange"' "$work/tap.out" | tail -n 20 | grep -c '"verdict":"ok"')" = 20 ] && pass ||
    fail "exchanges judged during the flood were not all ok"
expect "counted during the flood" 'zantrox_exchanges_total{job="good",pump="7",verdict="ok"}' 20
expect "scraped throughout the flood" 'min_over_time(up{job="good"}[10s])' 1
stop_pid "$flood_pid"
[ "$(cut -d' ' -f1 "$work/flood.out" | cut -d: -f1)" = 401 ] && ! grep -qE '(^| )200:' "$work/flood.out" && pass ||
    fail "wrong passwords were not all refused with 401: $(cat "$work/flood.out")"

# ---- a certificate renewed in place is served from the next connection on ----
serial() { openssl s_client -connect "127.0.0.1:$port" -CAfile server-ca.crt </dev/null 2>/dev/null | openssl x509 -noout -serial; }
old=$(serial)
sign renewed server-ca IP:127.0.0.1 && cp renewed.key server.key.new && cp renewed.crt server.crt.new &&
    mv server.key.new server.key && mv server.crt.new server.crt
new=$(openssl x509 -noout -serial -in renewed.crt)
renewed() { [ "$(serial)" = "$new" ]; }
[ -n "$old" ] && [ "$old" != "$new" ] && wait_for 5 renewed && pass || fail "the renewed certificate is not served: $(serial), wanted $new"
renewed_at=$(date +%s)
scraped_since() { # JOB SECONDS: the job's target was scraped well after SECONDS
    curl -sf "$prom_url/api/v1/targets" | python3 -c '
import datetime, json, sys
for t in json.load(sys.stdin)["data"]["activeTargets"]:
    if t["labels"]["job"] == sys.argv[1]:
        at = datetime.datetime.fromisoformat(t["lastScrape"][:26].rstrip("Z") + "+00:00").timestamp()
        sys.exit(0 if t["health"] == "up" and at > float(sys.argv[2]) + 1 else 1)
sys.exit(1)' "$1" "$2"
}
wait_for 10 scraped_since good "$renewed_at" && pass || fail "prometheus did not scrape with the renewed certificate: $(last_error good)"

kill -INT "$tap_pid"
wait_for 5 harness_ended "$tap_pid" && pass || fail "the tap did not end within 5 s of Ctrl+C"
[ "$failed" -eq 0 ]
