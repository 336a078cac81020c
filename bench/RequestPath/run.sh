#!/usr/bin/env bash
# The request path against its floors, every process pinned to CPU 0:
#   1. one exchange (p50) with the reference app vs minimalServer answering the same line;
#   2. eight rawClient processes at once: exchanges per second, app vs minimalServer;
#   3. AutomationClient::send (p50) vs rawClient, both against minimalServer.
# Usage: bench/RequestPath/run.sh [BUILD-DIR] (default build-release). Prints ratios; asserts nothing.
# `vantor status` as a whole process is measured by bench/vantor (vantorProcessBench).
set -euo pipefail
build=$(cd "${1:-build-release}" && pwd)
bundle="$build/Lumora.app"
bin="$build/bench/RequestPath"
rounds=${ROUNDS:-3000}
pin=(taskset -c 0)

home=$(mktemp -d /tmp/request-path-bench-XXXXXX)
app_pid=""; server_pid=""
cleanup() {
  [[ -n $app_pid ]] && kill -TERM "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
  [[ -n $server_pid ]] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT

HOME=$home "${pin[@]}" "$bundle/Contents/MacOS/Lumora" --automation-launch >/dev/null 2>&1 &
app_pid=$!
socket=$(find "$home/.local/share" -name automation.sock 2>/dev/null || true)
for _ in $(seq 100); do
  socket=$(find "$home/.local/share" -name automation.sock 2>/dev/null | head -1 || true)
  [[ -n $socket ]] && break
  sleep 0.1
done
[[ -n $socket ]] || { echo "the app did not publish its socket" >&2; exit 1; }

request='{"command":"capabilities","protocolVersion":1,"requestId":"BENCH-REQUEST-0001"}'
reply=$("$bin/rawClient" "$socket" "$request")
reply=${reply%$'\n'}

app_one=$("${pin[@]}" "$bin/rawClient" "$socket" "$request" "$rounds")
app_many=$("${pin[@]}" "$bin/rawClient" "$socket" "$request" $((rounds / 8)) 8)
kill -TERM "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=""

mkdir -p "$home/minimal"
floor="$home/minimal/automation.sock"
"${pin[@]}" "$bin/minimalServer" "$floor" "$reply" &
server_pid=$!
for _ in $(seq 50); do [[ -S $floor ]] && break; sleep 0.05; done
raw_one=$("${pin[@]}" "$bin/rawClient" "$floor" "$request" "$rounds")
raw_many=$("${pin[@]}" "$bin/rawClient" "$floor" "$request" $((rounds / 8)) 8)
send_one=$("${pin[@]}" "$bin/clientSendBench" "$home/minimal" BENCH-REQUEST-0001 "$rounds")

field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) print $(i + 1)}' <<<"$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "one exchange p50 (us):    app $(field p50_us "$app_one")  minimal server $(field p50_us "$raw_one")  ratio $(ratio "$(field p50_us "$app_one")" "$(field p50_us "$raw_one")")"
echo "eight clients (exch/s):   app $(field exchanges_per_s "$app_many")  minimal server $(field exchanges_per_s "$raw_many")  ratio $(ratio "$(field exchanges_per_s "$app_many")" "$(field exchanges_per_s "$raw_many")")"
echo "client p50 (us):          AutomationClient::send $(field p50_us "$send_one")  raw client $(field p50_us "$raw_one")  ratio $(ratio "$(field p50_us "$send_one")" "$(field p50_us "$raw_one")")"
