#!/usr/bin/env bash
# Installs what the desktop tests need: a headless Wayland desktop (sway, PipeWire, WirePlumber,
# the screen-cast portal), Xvfb, GStreamer and ffmpeg. Idempotent: apt is asked only for what is
# missing, and the patched portal back end is built once per patch and kept in a cache.
#
#   install.sh                 install and build (as root, or through sudo)
#   install.sh --xdpw-path     print where the patched portal back end is (or will be) cached
#
# Why a patched back end: xdg-desktop-portal-wlr 0.7.0 refuses to start a cast when the compositor
# offers no DMA-BUF format, which is always the case without a GPU (every CI runner). Its
# shared-memory path works; xdpw-shared-memory.patch only stops treating the missing DMA-BUF
# format as fatal. It is rebuilt from Debian's own source package of the installed version.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

xdpw_version=0.7.0
xdpw_tarball=xdg-desktop-portal-wlr_${xdpw_version}.orig.tar.xz
xdpw_tarball_sha256=511e0509653d67af17c9ec45cc6ce1e43e795a444d0e51f959ff899d636f2c4e
patch_file=$here/xdpw-shared-memory.patch
if [[ $(id -u) -eq 0 ]]; then cache_root=/var/cache/lumora-xdpw; else cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/lumora-xdpw; fi
cache_root=${LUMORA_XDPW_CACHE:-$cache_root}
xdpw_binary=$cache_root/$(sha256sum "$patch_file" | cut -c1-16)/xdg-desktop-portal-wlr

if [[ ${1:-} == --xdpw-path ]]; then echo "$xdpw_binary"; exit 0; fi

runtime_packages=(
  sway swaybg xdg-desktop-portal xdg-desktop-portal-wlr pipewire wireplumber dbus
  gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-x
  ffmpeg xvfb x11-xserver-utils jq util-linux procps
)
# Only for building the patched back end (they pin exact runtime versions, so apt may upgrade a
# few libraries the first time).
build_packages=(
  patch gcc meson ninja-build pkg-config libdrm-dev libinih-dev libgbm-dev libpipewire-0.3-dev
  libwayland-dev wayland-protocols libsystemd-dev
)

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "desktop install: installing ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_xdpw() {
  local installed
  installed=$(dpkg-query -W -f='${Version}' xdg-desktop-portal-wlr)
  if [[ ${installed%%-*} != "$xdpw_version" ]]; then
    echo "desktop install: xdg-desktop-portal-wlr $installed is installed, the patch is for $xdpw_version" >&2
    return 1
  fi
  install_missing "${build_packages[@]}"
  local work
  work=$(mktemp -d /tmp/lumora-xdpw-build.XXXXXX)
  # Source lists of their own (the configured archives, as deb-src) in a private apt state, so
  # that the machine's own package lists are left as they are.
  mkdir -p "$work/apt/lists/partial" "$work/apt/parts" "$work/src"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] && sed 's/^Types: deb$/Types: deb-src/' "$f" >"$work/apt/parts/${f##*/}"
  done
  : >"$work/apt/sources.list"
  [[ -f /etc/apt/sources.list ]] && sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$work/apt/sources.list"
  local apt=(apt-get -o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=$work/apt/parts"
             -o "Dir::State::Lists=$work/apt/lists")
  local status=0
  {
    "${apt[@]}" update -qq &&
    (cd "$work/src" && "${apt[@]}" source --download-only "xdg-desktop-portal-wlr=$installed") &&
    echo "$xdpw_tarball_sha256  $work/src/$xdpw_tarball" | sha256sum -c --quiet - &&
    tar -C "$work/src" -xf "$work/src/$xdpw_tarball" &&
    cd "$work/src/xdg-desktop-portal-wlr-$xdpw_version" &&
    patch -p1 --quiet <"$patch_file" &&
    meson setup build -Dman-pages=disabled -Dsystemd=disabled --buildtype=release &&
    ninja -C build &&
    "${sudo[@]}" install -D -m 0755 build/xdg-desktop-portal-wlr "$xdpw_binary"
  } >"$work/build.log" 2>&1 || status=$?
  if ((status)); then
    tail -n 30 "$work/build.log" >&2
    echo "desktop install: building the patched xdg-desktop-portal-wlr failed (log: $work/build.log)" >&2
    return 1
  fi
  cd /
  rm -rf "$work"
  echo "desktop install: built $xdpw_binary"
}

install_missing "${runtime_packages[@]}"
[[ -x $xdpw_binary ]] || build_xdpw
