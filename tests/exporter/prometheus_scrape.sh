#!/usr/bin/env bash
# qarn-exporter --simulate as Prometheus sees it: promtool accepts its /metrics; a Prometheus
# server of this test's own (on a free port, never a system one on 9090) scrapes it and answers
# queries with plausible values; --textfile writes a file promtool accepts, and SIGTERM ends it
# with status 0 and no temporary file left.
#   prometheus_scrape.sh QARN_EXPORTER
set -u
exporter=$1
for tool in prometheus promtool python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
cleanup() { kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; tail -n 20 "$work"/*.log; exit 1; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
fetch() { python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode(), end="")' "$1"; }

port=$(free_port)
"$exporter" --simulate --listen "127.0.0.1:$port" 2>"$work/exporter.log" &
for _ in $(seq 50); do fetch "http://127.0.0.1:$port/metrics" >"$work/metrics.txt" 2>/dev/null && break; sleep 0.2; done
[ -s "$work/metrics.txt" ] || fail "the exporter never answered on port $port"
promtool check metrics <"$work/metrics.txt" || fail "promtool refuses the exporter's metrics"
grep -qx "qarn_simulated 1" "$work/metrics.txt" || fail "qarn_simulated is not 1 under --simulate"

server=$(free_port)
printf 'global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: qarn\n    static_configs:\n      - targets: ["127.0.0.1:%s"]\n' \
  "$port" >"$work/prometheus.yml"
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
  --web.listen-address="127.0.0.1:$server" >"$work/prometheus.log" 2>&1 &
# Succeeds, printing the answers, once both queries give job qarn's series with plausible values.
check='
import json, sys, urllib.parse, urllib.request
answers = []
for name, low, high, series in (("qarn_package_temperature_celsius", 20, 110, 1), ("qarn_cpu_multiplier", 0, 60, 8)):
    body = urllib.request.urlopen(sys.argv[1] + urllib.parse.quote(name), timeout=5).read().decode()
    result = json.loads(body)["data"]["result"]
    if len(result) != series or any(r["metric"]["job"] != "qarn" or not low <= float(r["value"][1]) <= high for r in result):
        sys.exit(1)
    answers.append(body)
print("\n".join(answers))
'
for _ in $(seq 40); do
  python3 -c "$check" "http://127.0.0.1:$server/api/v1/query?query=" >"$work/query.txt" 2>/dev/null && break
  sleep 0.5
done
[ -s "$work/query.txt" ] || fail "Prometheus gave no plausible qarn_package_temperature_celsius and qarn_cpu_multiplier in 20 s"
cat "$work/query.txt"

mkdir "$work/textfile"
"$exporter" --simulate --textfile "$work/textfile" 2>"$work/textfile.log" &
writer=$!
for _ in $(seq 50); do grep -qs "^qarn_cpu_multiplier{" "$work/textfile/qarn.prom" && break; sleep 0.2; done
promtool check metrics <"$work/textfile/qarn.prom" || fail "promtool refuses qarn.prom"
grep -q "^qarn_cpu_multiplier{" "$work/textfile/qarn.prom" || fail "qarn.prom has no multipliers"
kill -TERM "$writer"
wait "$writer" || fail "exit status $? after SIGTERM"
[ "$(ls -A "$work/textfile")" = "qarn.prom" ] || fail "left beside qarn.prom: $(ls -A "$work/textfile")"
echo "textfile: qarn.prom accepted by promtool, $(grep -c '^qarn_' "$work/textfile/qarn.prom") samples"
