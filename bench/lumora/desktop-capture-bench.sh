#!/usr/bin/env bash
# What recording costs with each capture back end, measured on the real program driven through
# vantor: the Wayland desktop of scripts/desktop/session.sh (screen-cast portal and PipeWire),
# Xvfb (x11grab) and the synthetic test pattern, each at 1280x720 and 30 frames per second with a
# 320x240 window of a moving ball on screen. Reported, not asserted:
#
#   cpu/rec-s       CPU seconds per recorded second of Lumora and everything it runs (the capture
#                   supervisor, gst-launch or ffmpeg, ffprobe): the app's own time plus its reaped
#                   children's
#   portal/rec-s    (wayland) the same for the portal back end, the portal, PipeWire and WirePlumber
#   server/rec-s    the compositor or X server (its cost while being captured, the ball included)
#   captured fps    frames of the file that differ from the one before, per second: what the source
#                   actually delivered (the rest are repeats that keep the rate constant)
#   to recording    from `vantor start` to the first status that says "recording"
#
#   desktop-capture-bench.sh [build directory, default build] [seconds, default 10]
#
# Needs root (like the desktop tests) and runs under the machine-wide end-to-end lock.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export LUMORA_BENCH_BUILD=${LUMORA_BENCH_BUILD:-$(cd "${1:-$root/build}" && pwd)}
export LUMORA_BENCH_SECONDS=${LUMORA_BENCH_SECONDS:-${2:-10}}
app=$LUMORA_BENCH_BUILD/Lumora.app/Contents/MacOS/Lumora
vantor=$LUMORA_BENCH_BUILD/Lumora.app/Contents/Helpers/vantor
# shellcheck source=tests/desktop/media.sh
source "$root/tests/desktop/media.sh"
width=1280 height=720

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# CPU ticks of a process: its own, plus those of the children it has waited for.
cpu_ticks() {  # pid...
  local pid total=0
  for pid in "$@"; do
    total=$((total + $(awk '{ sub(/^.*\) /, ""); print $12 + $13 + $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
per_second() { awk -v t="$1" -v s="$2" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", t / hz / s }'; }

# measure BACKEND SETTINGS-JSON SERVER-PID [PORTAL-PIDS...]: one recording, one result line.
measure() {
  local backend=$1 settings=$2 server=$3; shift 3
  local portal=("$@") home out
  home=$(mktemp -d /tmp/lumora-bench-home.XXXXXX)
  out=$home/out
  mkdir -p -m 0700 "$home/.local/share/app.lumora.Lumora" "$out"
  echo "$settings" >"$home/.local/share/app.lumora.Lumora/settings.json"
  export HOME=$home
  if [[ $backend == wayland ]]; then "$app" --grant-screen-access >"$out/grant" 2>&1 || { cat "$out/grant" >&2; return 1; }; fi
  "$vantor" displays >"$out/displays" || { cat "$out/displays" >&2; return 1; }
  local id pid entry i
  id=$(jq -r '.displays[0].id' "$out/displays")
  for entry in /proc/[0-9]*; do
    [[ $(readlink "$entry/exe" 2>/dev/null) == "$app" && $(cat "$entry/comm" 2>/dev/null) == Lumora ]] &&
      grep -qzx "HOME=$home" "$entry/environ" 2>/dev/null && pid=${entry#/proc/}
  done
  sleep 1   # let the launch settle before counting
  local app0 server0 portal0 t0 t1 session state
  app0=$(cpu_ticks "$pid") server0=$(cpu_ticks $server) portal0=$(cpu_ticks "${portal[@]}")
  t0=$(now_ms)
  "$vantor" start --display "$id" --duration "$LUMORA_BENCH_SECONDS" >"$out/receipt" || { cat "$out/receipt" >&2; return 1; }
  session=$(jq -r .sessionId "$out/receipt")
  for ((i = 0; i < 400; i++)); do
    state=$("$vantor" status --session "$session" | jq -r '.session.state // .state // empty')
    [[ $state == preparing ]] || break
    sleep 0.02
  done
  t1=$(now_ms)
  "$vantor" result --session "$session" --wait --timeout 120 >"$out/result"
  local app1 server1 portal1 file seconds
  app1=$(cpu_ticks "$pid") server1=$(cpu_ticks $server) portal1=$(cpu_ticks "${portal[@]}")
  file=$(jq -r '.recording.path // empty' "$out/result")
  if [[ ! -f $file ]]; then echo "$backend: no recording: $(tr -d '\n' <"$out/result")" >&2; kill "$pid"; return 1; fi
  seconds=$(jq -r .recording.durationSeconds "$out/result")
  printf '%-10s %8s %12s %12s %13s %13s %10s ms\n' "$backend" "$seconds" "$(per_second $((app1 - app0)) "$seconds")" \
    "$( ((${#portal[@]})) && per_second $((portal1 - portal0)) "$seconds" || echo -)" \
    "$([[ -n $server ]] && per_second $((server1 - server0)) "$seconds" || echo -)" \
    "$(awk -v n="$(distinct_frames "$file")" -v s="$seconds" 'BEGIN { printf "%.1f", n / s }')" "$((t1 - t0))"
  [[ $state == recording ]] || echo "$backend: the first status after \"preparing\" was \"$state\"" >&2
  kill -TERM "$pid"
  for ((i = 0; i < 200; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  rm -rf "$home"
}

case ${3:-} in
  --wayland)  # inside the desktop
    pid_of() { awk -v n="$1" '$1 == n { print $2 }' "$LUMORA_DESKTOP_PIDS"; }
    measure wayland '{"outputFolder": "~/rec", "captureBackend": "wayland", "frameRate": 30}' "$(pid_of sway)" \
      "$(pid_of xdpw)" "$(pid_of portal)" "$(pid_of pipewire)" "$(pid_of wireplumber)"
    exit ;;
  --isolated) ;;
  *) exec "$root/scripts/desktop/isolate.sh" "$0" "$LUMORA_BENCH_BUILD" "$LUMORA_BENCH_SECONDS" --isolated ;;
esac

echo "Lumora capture back ends, ${width}x$height at 30 fps, ${LUMORA_BENCH_SECONDS} s each ($LUMORA_BENCH_BUILD)"
printf '%-10s %8s %12s %12s %13s %13s %13s\n' "back end" "rec s" "cpu/rec-s" "portal/rec-s" "server/rec-s" "captured fps" "to recording"
"$root/scripts/desktop/session.sh" "$0" "$LUMORA_BENCH_BUILD" "$LUMORA_BENCH_SECONDS" --wayland 2>/dev/null

work=$(mktemp -d /tmp/lumora-bench.XXXXXX)
Xvfb -displayfd 1 -screen 0 ${width}x${height}x24 -nolisten tcp -noreset >"$work/display" 2>/dev/null &
xvfb=$!
for ((i = 0; i < 100; i++)); do [[ -s $work/display ]] && break; sleep 0.1; done
display=:$(head -n 1 "$work/display")
DISPLAY=$display gst-launch-1.0 -q videotestsrc pattern=ball is-live=true \
  ! video/x-raw,width=320,height=240,framerate=30/1 ! ximagesink >/dev/null 2>&1 &
client=$!
sleep 1
measure x11 "{\"outputFolder\": \"~/rec\", \"captureBackend\": \"x11\", \"x11Display\": \"$display\", \"frameRate\": 30}" "$xvfb"
kill -TERM "$client" "$xvfb"; wait "$client" "$xvfb" 2>/dev/null

measure synthetic '{"outputFolder": "~/rec", "captureBackend": "synthetic", "frameRate": 30, "systemAudioAvailable": false,
  "virtualDisplays": [{"id": "1", "name": "Bench", "pixelWidth": 1280, "pixelHeight": 720, "scale": 1.0}]}' ""
rm -rf "$work"
