#!/usr/bin/env bash
# The main job: installs what is needed, builds, then records a few seconds through vantor
# (which launches the reference Lumora app in the background by itself), prints the result
# document with the path of the saved video, and finally how to connect an AI host.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target Lumora vantor Quillon

bundle=$PWD/build-release/Lumora.app
vantor=$bundle/Contents/Helpers/vantor
app=$bundle/Contents/MacOS/Lumora

step() { printf '\n== %s\n' "$*"; }

# The processes of this bundle's app (to stop at the end only what the demo started).
app_processes() {
  local p
  for p in /proc/[0-9]*; do
    [[ $(readlink "$p/exe" 2>/dev/null) == "$app" ]] && echo "${p#/proc/}"
  done
  return 0
}
running_before=$(app_processes)

step "vantor capabilities   (launches Lumora in the background when it is not running)"
"$vantor" capabilities

step "vantor displays"
displays=$("$vantor" displays)
printf '%s\n' "$displays"
display=$(jq -r '.displays[0].id' <<<"$displays")

step "vantor start --display $display --duration 3 --wait   (records 3 seconds, then prints the result)"
result=$("$vantor" start --display "$display" --duration 3 --wait)
printf '%s\n' "$result"

video=$(jq -r '.recording.path' <<<"$result")
step "the saved video"
ls -l "$video"
ffprobe -v error -show_entries format=duration:stream=codec_name,width,height -of compact "$video"

step "vantor setup   (a prompt to paste into an AI assistant, so that it registers Quillon)"
"$vantor" setup
step "vantor setup --format commands   (or register it yourself)"
"$vantor" setup --format commands

if [[ -z $running_before ]]; then
  for pid in $(app_processes); do kill -TERM "$pid"; done
  step "stopped the Lumora the demo launched"
fi
