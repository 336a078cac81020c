#!/usr/bin/env bash
# The server's own cost under eight clients at once: CPU time and task switches per exchange
# (perf stat on the server process) and exchanges per second, for one or more builds of the
# reference app and for minimalServer, in alternating slices, every process pinned to CPU 0.
# Usage: bench/Server/eight-client-cpu.sh [SLICES] [BUILD-DIR...] (default 5, build-release);
# EXCHANGES (2000) per client and slice. The first build's bench/RequestPath tools are used.
# Needs perf. Asserts nothing.
set -euo pipefail
source "$(dirname "$0")/../app-socket.sh"
slices=${1:-5}
shift || true
(($# > 0)) || set -- build-release
builds=()
for b in "$@"; do builds+=("$(cd "$b" && pwd)"); done
bin="${builds[0]}/bench/RequestPath"
exchanges=${EXCHANGES:-2000}
pin=(taskset -c 0)

home=$(mktemp -d /tmp/eight-client-cpu-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  rm -rf "$home"
}
trap cleanup EXIT

request='{"command":"capabilities","protocolVersion":1,"requestId":"BENCH-REQUEST-0001"}'
names=(); sockets=()
for i in "${!builds[@]}"; do
  mkdir -p "$home/app$i"
  HOME=$home/app$i "${pin[@]}" "${builds[$i]}/Lumora.app/Contents/MacOS/Lumora" --automation-launch >/dev/null 2>&1 &
  pids+=($!)
  socket=$(app_socket "$home/app$i") || { echo "the app of ${builds[$i]} did not publish its socket" >&2; exit 1; }
  names+=("app$i"); sockets+=("$socket")
done
reply=$("$bin/rawClient" "${sockets[0]}" "$request")
mkdir -p "$home/minimal"
"${pin[@]}" "$bin/minimalServer" "$home/minimal/automation.sock" "${reply%$'\n'}" &
pids+=($!)
for _ in $(seq 50); do [[ -S $home/minimal/automation.sock ]] && break; sleep 0.05; done
names+=(minimal); sockets+=("$home/minimal/automation.sock")

for i in "${!builds[@]}"; do echo "app$i: ${builds[$i]}"; done
for _ in $(seq "$slices"); do
  for j in "${!names[@]}"; do
    perf stat -x, -e task-clock,context-switches -p "${pids[$j]}" -o "$home/stat.txt" &
    stat_pid=$!
    sleep 0.1
    result=$("${pin[@]}" "$bin/rawClient" "${sockets[$j]}" "$request" "$exchanges" 8)
    kill -INT "$stat_pid"
    wait "$stat_pid" || true
    awk -F, -v n=$((exchanges * 8)) -v r="$result" -v name="${names[$j]}" '
      /task-clock/ { t = $1 } /context-switches/ { c = $1 }
      END { split(r, f, " "); printf "%-8s %6.2f us CPU  %5.2f switches per exchange  %6d exchanges/s\n", name, t * 1000 / n, c / n, f[2] }' "$home/stat.txt"
  done
done
