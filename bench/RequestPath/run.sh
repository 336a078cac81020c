#!/usr/bin/env bash
# The request path against its floors, every process pinned to CPU 0:
#   1. one exchange (p50) with the reference app vs minimalServer answering the same line;
#   2. eight rawClient processes at once: exchanges per second, app vs minimalServer;
#   3. AutomationClient::send (p50) vs rawClient, both against minimalServer.
# Usage: bench/RequestPath/run.sh [BUILD-DIR] (default build-release); ROUNDS (3000) exchanges per
# figure, in SLICES (5) alternating slices. Prints medians and ratios; asserts nothing.
# `vantor status` as a whole process is measured by bench/vantor (vantorProcessBench).
set -euo pipefail
source "$(dirname "$0")/../app-socket.sh"
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
socket=$(app_socket "$home") || { echo "the app did not publish its socket" >&2; exit 1; }

request='{"command":"capabilities","protocolVersion":1,"requestId":"BENCH-REQUEST-0001"}'
reply=$("$bin/rawClient" "$socket" "$request")
reply=${reply%$'\n'}

field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) print $(i + 1)}' <<<"$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END { print v[int((NR + 1) / 2)] }'; }

mkdir -p "$home/minimal"
floor="$home/minimal/automation.sock"
"${pin[@]}" "$bin/minimalServer" "$floor" "$reply" &
server_pid=$!
for _ in $(seq 50); do [[ -S $floor ]] && break; sleep 0.05; done

# Both servers run at once and the measurements alternate in short slices, so that the load of
# a shared machine falls on both sides alike; each figure is the median over the slices.
slices=${SLICES:-5}
per=$((rounds / slices))
app_one=(); raw_one=(); app_many=(); raw_many=(); send_one=(); raw_again=()
for _ in $(seq "$slices"); do
  app_one+=("$(field p50_us "$("${pin[@]}" "$bin/rawClient" "$socket" "$request" "$per")")")
  raw_one+=("$(field p50_us "$("${pin[@]}" "$bin/rawClient" "$floor" "$request" "$per")")")
  app_many+=("$(field exchanges_per_s "$("${pin[@]}" "$bin/rawClient" "$socket" "$request" $((per / 8)) 8)")")
  raw_many+=("$(field exchanges_per_s "$("${pin[@]}" "$bin/rawClient" "$floor" "$request" $((per / 8)) 8)")")
  send_one+=("$(field p50_us "$("${pin[@]}" "$bin/clientSendBench" "$home/minimal" BENCH-REQUEST-0001 "$per")")")
  raw_again+=("$(field p50_us "$("${pin[@]}" "$bin/rawClient" "$floor" "$request" "$per")")")
done

echo "one exchange p50 (us):    app $(median "${app_one[@]}")  minimal server $(median "${raw_one[@]}")  ratio $(ratio "$(median "${app_one[@]}")" "$(median "${raw_one[@]}")")"
echo "eight clients (exch/s):   app $(median "${app_many[@]}")  minimal server $(median "${raw_many[@]}")  ratio $(ratio "$(median "${app_many[@]}")" "$(median "${raw_many[@]}")")"
echo "client p50 (us):          AutomationClient::send $(median "${send_one[@]}")  raw client $(median "${raw_again[@]}")  ratio $(ratio "$(median "${send_one[@]}")" "$(median "${raw_again[@]}")")"
