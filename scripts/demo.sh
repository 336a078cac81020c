#!/usr/bin/env bash
# The main job: installs what is needed, builds, then records a few seconds through vantor
# (which launches the reference Lumora app in the background by itself) and prints the result
# document with the path of the saved video, and finally how to connect an AI host.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target vantor Lumora Quillon

bundle=build-release/Lumora.app
vantor="$bundle/Contents/Helpers/vantor"

step() { printf '\n== %s\n' "$*"; }

step "vantor capabilities   (launches Lumora in the background if it is not running)"
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
if command -v ffprobe >/dev/null; then
  ffprobe -v error -show_entries format=duration:stream=codec_name,width,height -of compact "$video"
fi

step "vantor setup --format commands   (how to register Quillon with an AI host)"
"$vantor" setup --format commands
step "vantor setup   (a prompt to paste into an AI assistant)"
"$vantor" setup
