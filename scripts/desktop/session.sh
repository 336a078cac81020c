#!/usr/bin/env bash
# Starts a headless Wayland desktop on a private session bus, runs one command inside it, and
# tears everything down again. The exit status is the command's (or 1 when the desktop did not
# come up).
#
#   session.sh COMMAND [ARG...]
#
# The desktop: sway (headless, software rendering) with one output HEADLESS-1 whose wallpaper is
# four quadrants of known colours (red, green over blue, white) and a window in the middle
# animating a moving ball; PipeWire and WirePlumber; xdg-desktop-portal with the patched wlr back
# end (scripts/desktop/install.sh). The portal's output chooser is a script: it logs each call and
# answers HEADLESS-1, as a person picking that monitor would.
#
# The command's environment is a user's session: XDG_RUNTIME_DIR (with `bus`, `pipewire-0` and
# `wayland-0`; at /run/user/<uid> when isolate.sh could give us a private /run/user),
# DBUS_SESSION_BUS_ADDRESS, WAYLAND_DISPLAY=wayland-0, XDG_CURRENT_DESKTOP, SWAYSOCK, and
#   LUMORA_DESKTOP_DIR            the session's work directory (logs in log/)
#   LUMORA_DESKTOP_CHOOSER_LOG    one line per call of the chooser
#   LUMORA_DESKTOP_REFUSE         while this file exists the chooser refuses (a person pressing Cancel)
#   LUMORA_DESKTOP_PIDS           "name pid" lines of the desktop's processes
#   LUMORA_DESKTOP_WIDTH/HEIGHT   the output's size; LUMORA_DESKTOP_OUTPUT its name
#
# Knobs: LUMORA_DESKTOP_SIZE (1280x720), LUMORA_DESKTOP_FPS (the portal's frame-rate cap, 30),
# LUMORA_DESKTOP_KEEP=1 keeps the work directory (it is always kept when the command fails).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [[ -z ${LUMORA_DESKTOP_ISOLATED:-} ]]; then exec "$here/isolate.sh" "$0" "$@"; fi
if (($# == 0)); then echo "usage: session.sh COMMAND [ARG...]" >&2; exit 2; fi

size=${LUMORA_DESKTOP_SIZE:-1280x720}
width=${size%x*} height=${size#*x}
fps=${LUMORA_DESKTOP_FPS:-30}
output=HEADLESS-1
xdpw=$("$here/install.sh" --xdpw-path)
[[ -x $xdpw ]] || { echo "session: $xdpw is missing; run scripts/desktop/install.sh" >&2; exit 1; }

log() { printf '[desktop %s] %s\n' "$(date +%T.%3N)" "$*" >&2; }

work=$(mktemp -d /tmp/lumora-desktop.XXXXXX)
chmod 0755 "$work"   # sway runs as another user and reads its configuration and wallpaper here
mkdir -p "$work/log" "$work/xdg/data" "$work/xdg/config" "$work/xdg/state" "$work/xdg/cache"
# Portal grants (the permission store), WirePlumber's state and GStreamer's registry stay in
# the work directory, so that no session inherits another's grants.
export XDG_DATA_HOME=$work/xdg/data XDG_CONFIG_HOME=$work/xdg/config XDG_STATE_HOME=$work/xdg/state
export XDG_CACHE_HOME=$work/xdg/cache

if [[ $LUMORA_DESKTOP_ISOLATED == 1 ]]; then run_dir=/run/user/$(id -u); else run_dir=$work/run; fi
mkdir -m 0700 "$run_dir"
export XDG_RUNTIME_DIR=$run_dir

names=() pids=()
start() {  # name command...: runs in the background, output to log/<name>.log
  local name=$1; shift
  "$@" >"$work/log/$name.log" 2>&1 &
  names+=("$name"); pids+=($!)
  echo "$name $!" >>"$work/pids"
}
pid_of() { local i; for i in "${!names[@]}"; do [[ ${names[i]} == "$1" ]] && echo "${pids[i]}"; done; }
wait_for() {  # seconds what command...: polls every 0.1 s
  local tenths=$(($1 * 10)) what=$2 i; shift 2
  for ((i = 0; i < tenths; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  log "no $what after $((tenths / 10)) s"
  return 1
}
on_bus() { dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'; }

# Everything the session starts carries this marker in its environment, also what escapes the
# process tree (sway double-forks swaybg, the bus double-forks the services it activates, an app
# launched by a test detaches itself), so teardown can find each of them by process id.
export LUMORA_DESKTOP_SESSION=$work
session_processes() {
  local entry
  for entry in /proc/[0-9]*; do
    [[ ${entry#/proc/} != "$$" && ${entry#/proc/} != "$BASHPID" ]] || continue
    grep -qzx "LUMORA_DESKTOP_SESSION=$work" "$entry/environ" 2>/dev/null && echo "${entry#/proc/}"
  done
}
stop_pid() {  # pid: SIGTERM, up to 5 s, then SIGKILL
  local i
  kill -TERM "$1" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  log "process $1 ignored SIGTERM; killing it"
  kill -KILL "$1" 2>/dev/null || true
}
status=1
teardown() {
  local i pid
  # Reverse start order: clients of a service go before the service.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}"; wait "${pids[i]}" 2>/dev/null || true; done
  for pid in $(session_processes); do log "stopping leftover process $pid ($(tr '\0' ' ' </proc/"$pid"/cmdline 2>/dev/null))"; stop_pid "$pid"; done
  rm -rf "$run_dir"
  if [[ $status == 0 && ${LUMORA_DESKTOP_KEEP:-0} != 1 ]]; then rm -rf "$work"; else log "kept $work"; fi
}
trap teardown EXIT
trap 'exit 130' INT TERM

started_at=$(date +%s%N)

# The picture on screen: four quadrants of known colours.
q="s=$((width / 2))x$((height / 2))"
ffmpeg -v error -f lavfi -i "color=0xFF0000:$q" -f lavfi -i "color=0x00FF00:$q" -f lavfi -i "color=0x0000FF:$q" \
  -f lavfi -i "color=0xFFFFFF:$q" -filter_complex '[0][1]hstack[t];[2][3]hstack[b];[t][b]vstack' \
  -frames:v 1 "$work/quadrants.png"
chmod 0644 "$work/quadrants.png"
cat >"$work/sway.conf" <<CONF
xwayland disable
output $output mode ${width}x${height}@60Hz position 0 0 bg $work/quadrants.png stretch
default_border none
default_floating_border none
for_window [shell="xdg_shell"] floating enable, resize set $((width / 4)) $((height / 3)), move absolute position $((width * 3 / 8)) $((height / 3))
CONF
cat >"$work/chooser.sh" <<CHOOSER
#!/bin/sh
# The portal's output chooser: every call is logged; while the refusal file exists it answers
# nothing, as a person cancelling the dialog would.
echo "\$(date +%T.%N)" >>"$work/chooser-calls.log"
[ -e "$work/refuse" ] && exit 1
echo $output
CHOOSER
chmod 0755 "$work/chooser.sh"
: >"$work/chooser-calls.log"
# A 60 Hz output: at 30 Hz the cast delivers noticeably fewer than 30 frames per second.
printf '[screencast]\nchooser_type=simple\nchooser_cmd=%s\nmax_fps=%s\n' "$work/chooser.sh" "$fps" >"$work/xdpw.conf"

start dbus dbus-daemon --session --nofork --nopidfile --address="unix:path=$run_dir/bus"
wait_for 10 "session bus" test -S "$run_dir/bus"
export DBUS_SESSION_BUS_ADDRESS=unix:path=$run_dir/bus

start pipewire pipewire
wait_for 10 "PipeWire socket" test -S "$run_dir/pipewire-0"
# WirePlumber links the cast's stream to its reader; without it no frame ever arrives.
start wireplumber wireplumber

# sway refuses to run as root, so as root it runs as nobody, in a runtime directory of its own.
sway_run=$work/sway-run
mkdir -m 0700 "$sway_run"
sway_user=()
if [[ $(id -u) -eq 0 ]]; then
  chown nobody:nogroup "$sway_run"
  sway_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
start sway env -i PATH=/usr/bin:/bin HOME=/nonexistent XDG_RUNTIME_DIR="$sway_run" LUMORA_DESKTOP_SESSION="$work" \
  WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=1 \
  "${sway_user[@]}" sway -c "$work/sway.conf"
sway_socket() { compgen -G "$sway_run/wayland-[0-9]" | head -n 1; }
wait_for 10 "Wayland socket from sway (log: $work/log/sway.log)" sway_socket
# The session's display is wayland-0 in its runtime directory, where clients look first.
ln -s "$(sway_socket)" "$run_dir/wayland-0"
SWAYSOCK=$(compgen -G "$sway_run/sway-ipc.*.sock")
export SWAYSOCK WAYLAND_DISPLAY=wayland-0 XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland
wait_for 10 "sway IPC" swaymsg -t get_outputs
# Services that the bus activates later (the permission store, ...) get the same environment.
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE XDG_RUNTIME_DIR SWAYSOCK

# Screen casts deliver a frame only when the screen changes: something must move.
start client gst-launch-1.0 -q videotestsrc pattern=ball is-live=true \
  ! "video/x-raw,width=$((width / 4)),height=$((height / 3)),framerate=30/1" ! waylandsink
wait_for 10 "test window" sh -c 'swaymsg -t get_tree | grep -q floating_con'

# The patched back end is started before the portal, so that bus activation never starts the
# packaged one (which cannot cast without a GPU).
start xdpw "$xdpw" -l INFO -c "$work/xdpw.conf"
wait_for 10 "xdg-desktop-portal-wlr on the bus" on_bus org.freedesktop.impl.portal.desktop.wlr
start portal /usr/libexec/xdg-desktop-portal
wait_for 20 "xdg-desktop-portal on the bus" on_bus org.freedesktop.portal.Desktop
log "desktop up in $((($(date +%s%N) - started_at) / 1000000)) ms ($work)"

export LUMORA_DESKTOP_DIR=$work LUMORA_DESKTOP_CHOOSER_LOG=$work/chooser-calls.log
export LUMORA_DESKTOP_REFUSE=$work/refuse LUMORA_DESKTOP_PIDS=$work/pids
export LUMORA_DESKTOP_WIDTH=$width LUMORA_DESKTOP_HEIGHT=$height LUMORA_DESKTOP_OUTPUT=$output
status=0
"$@" || status=$?
exit $status
