#!/usr/bin/env bash
# What the package ships for a fleet besides the program: the Prometheus rules
# (promtool check and unit tests), the Grafana dashboard (well-formed, the
# panels a site needs, provisionable) and the systemd unit with its example conf.
#
#   packaging_check.sh
#
# Ends with "metrics-packaging: N passed, M failed".
set -uo pipefail
. "$(dirname "$0")/../../tools/lib/harness.sh"
script_args "" 0 0 "$@"
root=$HARNESS_ROOT
. "$root/tools/lib/checks.sh"
checks_begin metrics-packaging
rules=$root/packaging/prometheus/zantrox.rules.yml
dashboard=$root/packaging/grafana/zantrox-dashboard.json
unit=$root/packaging/systemd/zantrox-tap@.service
conf=$root/packaging/systemd/tap-example.conf

# ---- the rules ----
if command -v promtool >/dev/null; then
    check_status "promtool check rules" 0 promtool check rules "$rules"
    check_status "promtool test rules" 0 promtool test rules "$root/tests/metrics/zantrox_rules_test.yml"
    grep -q SUCCESS "$work/out" && pass || { fail "promtool test rules did not succeed"; cat "$work/out"; }
else
    fail "promtool is not installed (tools/install-deps.sh)"
fi

# ---- the dashboard ----
if python3 - "$dashboard" >"$work/dashboard.out" 2>&1 <<'EOF'; then pass; else fail "dashboard: $(cat "$work/dashboard.out")"; fi
import json, sys
d = json.load(open(sys.argv[1]))
problems = []
variables = {v["name"]: v for v in d["templating"]["list"]}
source = variables.get("datasource", {})
if source.get("type") != "datasource" or source.get("query") != "prometheus":
    problems.append("no Prometheus data source variable named datasource")
if "site" not in variables or not variables["site"].get("includeAll"):
    problems.append("no site variable")
want = {"Exchanges per verdict": "timeseries", "Failure ratio per pump": "timeseries",
        "Answer time (request to ACK)": "heatmap", "Line up": "state-timeline"}
panels = {p["title"]: p for p in d["panels"]}
for title, kind in want.items():
    if panels.get(title, {}).get("type") != kind:
        problems.append("no %s panel %r" % (kind, title))
if not any(p["type"] == "row" and p.get("repeat") == "site" for p in d["panels"]):
    problems.append("the panels are not repeated per site")
ids = [p["id"] for p in d["panels"]]
if len(ids) != len(set(ids)):
    problems.append("panel ids repeat")
for p in d["panels"]:
    for t in p.get("targets", []):
        # Provisioning has no import step to fill in a data source: it must come from the variable.
        if t.get("datasource", {}).get("uid") != "${datasource}":
            problems.append("%r does not use the data source variable" % p["title"])
        if 'instance="$site"' not in t["expr"]:
            problems.append("%r is not per site" % p["title"])
print("; ".join(problems))
sys.exit(1 if problems else 0)
EOF

# ---- the systemd unit ----
# Every variable the command line uses is set in the example conf.
for var in $(sed -n 's/^ExecStart=//p' "$unit" | grep -o '\${[A-Z_]*}' | tr -d '${}'); do
    grep -q "^$var=" "$conf" && pass || fail "tap-example.conf does not set $var, which ExecStart uses"
done
grep -qx 'EnvironmentFile=/etc/zantrox/tap-%i.conf' "$unit" && pass || fail "the unit does not read /etc/zantrox/tap-%i.conf"
# Options that would close the serial devices to the service.
bad=$(grep -E '^(PrivateDevices=yes|DevicePolicy=|DeviceAllow=|ProtectClock=yes|User=root)' "$unit")
[ -z "$bad" ] && pass || fail "the unit would lose the serial adapters: $bad"
if command -v systemd-analyze >/dev/null; then
    # Verified as installed, with the program it runs standing in at the same name.
    mkdir -p "$work/unit"
    printf '#!/bin/sh\n' >"$work/unit/zantrox-cli"
    chmod +x "$work/unit/zantrox-cli"
    sed "s|/usr/bin/zantrox-cli|$work/unit/zantrox-cli|" "$unit" >"$work/unit/zantrox-tap@site1.service"
    check_status "systemd-analyze verify" 0 systemd-analyze verify --man=no "$work/unit/zantrox-tap@site1.service"
    [ ! -s "$work/err" ] && pass || { fail "systemd-analyze verify said:"; sed 's/^/    /' "$work/err"; }
else
    echo "systemd-analyze not found: the unit is not verified"
fi
[ "$failed" -eq 0 ]
