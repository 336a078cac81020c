#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need, plus the packages
# named as arguments (a test stage's own tools). Idempotent: it only asks apt for what is
# missing. Works as root, or through sudo otherwise.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  nlohmann-json3-dev rapidjson-dev libplist-dev uuid-dev dbus-daemon
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  scdoc
  ffmpeg xvfb x11-xserver-utils jq libfaketime
  libxcb1-dev libxcb-randr0-dev
  libglib2.0-dev libwayland-dev wayland-protocols
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-pipewire dbus-daemon
  nodejs npm
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# A machine that already ships Node.js and npm outside Debian's packages needs neither.
if command -v node >/dev/null && command -v npm >/dev/null; then
  filtered=()
  for p in "${missing[@]}"; do [[ $p == nodejs || $p == npm ]] || filtered+=("$p"); done
  missing=("${filtered[@]}")
fi

if ((${#missing[@]} == 0)); then
  echo "install-deps: everything is installed"
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
