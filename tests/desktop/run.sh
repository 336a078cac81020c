#!/usr/bin/env bash
# The desktop tests: the bundle of a build (LUMORA_BUILD_DIR, default build/) records real
# desktops, driven through vantor as an agent would, each app with a temporary HOME.
#
#   - a headless Wayland desktop (scripts/desktop/session.sh): the first start asks the user once
#     (the portal's chooser), records H.264 at the monitor's size, about as long as asked, showing
#     the screen's colours and its motion; later starts, also after Lumora restarts, ask nobody;
#     a refusal ends as permission_required; a grant can be given ahead of time;
#   - the back end that "auto" picks in that desktop, under Xvfb, and with no display at all,
#     with Lumora launched without WAYLAND_DISPLAY, DISPLAY, DBUS_SESSION_BUS_ADDRESS and
#     XDG_RUNTIME_DIR, as an AI host may launch it: it must find the session on its own.
#
# Runs in a private mount namespace (scripts/desktop/isolate.sh, so root is needed): only the
# desktops the tests start are there to be found. The last line is "N passed, N failed"; the
# exit status is 0 only when nothing failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export LUMORA_BUILD_DIR=${LUMORA_BUILD_DIR:-$root/build}
bundle=$LUMORA_BUILD_DIR/Lumora.app
app=$bundle/Contents/MacOS/Lumora
vantor=$bundle/Contents/Helpers/vantor
# shellcheck source=tests/desktop/media.sh
source "$here/media.sh"

note() { printf '[desktop-tests %s] %s\n' "$(date +%T)" "$*" >&2; }

# ---- results: cases run in several processes (inside and outside the desktop), so each
# outcome is a line in one file.
pass() { echo "pass $1" >>"$LUMORA_DESKTOP_RESULTS"; echo "PASS $1"; }
fail() { echo "fail $1" >>"$LUMORA_DESKTOP_RESULTS"; echo "FAIL $1" >&2; }
# check NAME COMMAND...: one assertion; its command prints why it failed.
check() {
  local name=$1; shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
is() {  # what actual expected
  [[ $2 == "$3" ]] && return 0
  echo "    $1: got '$2', want '$3'" >&2; return 1
}
isnt() {  # what actual unwanted
  [[ $2 != "$3" ]] && return 0
  echo "    $1: got '$2'" >&2; return 1
}
within() {  # what actual low high
  awk -v v="$2" -v a="$3" -v b="$4" 'BEGIN { exit !(v != "" && v >= a && v <= b) }' && return 0
  echo "    $1: got '$2', want $3..$4" >&2; return 1
}

# ---- Lumora users: a temporary HOME each, vantor run with or without the session's environment.
homes=()
new_home() {  # variable: set to the new HOME
  local home
  # One app at a time: vantor would find the app of another HOME running and not reach it.
  for home in "${homes[@]}"; do stop_apps "$home"; done
  home=$(mktemp -d /tmp/lumora-desktop-home.XXXXXX)
  homes+=("$home")
  printf -v "$1" '%s' "$home"
  # Only where recordings go: the back end stays at its default ("auto").
  mkdir -p -m 0700 "$home/.local/share/app.lumora.Lumora"
  echo '{"outputFolder": "~/rec"}' >"$home/.local/share/app.lumora.Lumora/settings.json"
}
# What an AI host may hand on: no display, no bus, no runtime directory.
bare_environment=(env -u WAYLAND_DISPLAY -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS -u XDG_RUNTIME_DIR
                  -u SWAYSOCK -u XDG_CURRENT_DESKTOP -u XDG_SESSION_TYPE)
# vantor_json OUT HOME bare|session ARGS...: vantor's document in OUT, its exit status returned.
vantor_json() {
  local out=$1 home=$2 mode=$3; shift 3
  local prefix=(env)
  [[ $mode == bare ]] && prefix=("${bare_environment[@]}")
  "${prefix[@]}" HOME="$home" "$vantor" "$@" >"$out" 2>"$out.stderr"
}
field() { jq -r "$2 // empty" "$1" 2>/dev/null; }   # file filter
# The apps of this bundle running with this HOME, stopped by process id (they save what they
# record on SIGTERM).
app_pids() {
  local entry
  for entry in /proc/[0-9]*; do
    [[ $(readlink "$entry/exe" 2>/dev/null) == "$app" ]] || continue
    [[ $(cat "$entry/comm" 2>/dev/null) == Lumora ]] || continue
    grep -qzx "HOME=$1" "$entry/environ" 2>/dev/null && echo "${entry#/proc/}"
  done
}
stop_apps() {  # home
  local pid i
  for pid in $(app_pids "$1"); do
    kill -TERM "$pid" 2>/dev/null || continue
    for ((i = 0; i < 200; i++)); do kill -0 "$pid" 2>/dev/null || continue 2; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
}
cleanup_homes() {
  local home
  for home in "${homes[@]}"; do stop_apps "$home"; rm -rf "$home"; done
}
# Each group of cases: a scratch directory ($tmp), and processes of its own stopped at its end.
tmp='' group_pids=()
end_group() {
  local pid
  cleanup_homes
  for pid in "${group_pids[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  [[ -z $tmp ]] || rm -rf "$tmp"
}
group_directory() {
  tmp=$(mktemp -d /tmp/lumora-desktop-out.XXXXXX)
  trap end_group EXIT
}
chooser_calls() { wc -l <"$LUMORA_DESKTOP_CHOOSER_LOG" | tr -d ' '; }
grants_file() { echo "$1/.local/share/app.lumora.Lumora/screencast-grants.json"; }
granted_displays() {  # home: the display ids with a kept grant, one line
  jq -r '.grants // {} | keys | join(" ")' "$(grants_file "$1")" 2>/dev/null
}

# ---- recordings
# start_and_wait OUT HOME MODE DISPLAY SECONDS: a recording through vantor, waited for.
start_and_wait() {
  vantor_json "$1" "$2" "$3" start --display "$4" --duration "$5" --wait
}
saved() {  # result document
  local state
  state=$(field "$1" .state)
  [[ $state == saved && -f $(field "$1" .recording.path) ]] && return 0
  echo "    not saved: $(tr -d '\n' <"$1") $(head -c 400 "$1.stderr")" >&2; return 1
}
# The four quadrants of the desktop's wallpaper, sampled at their centres (the moving window
# sits in the middle of the screen, away from them).
shows_quadrants() {  # file width height seconds
  local file=$1 w=$2 h=$3 t=$4 ok=0 quadrant x y want got
  for quadrant in "1 1 255 0 0" "3 1 0 255 0" "1 3 0 0 255" "3 3 255 255 255"; do
    read -r x y want <<<"$quadrant"
    got=$(mean_colour "$file" "$t" $((x * w / 4 - 20)) $((y * h / 4 - 20)) 40 40)
    colour_near "$got" "$want" 40 || { echo "    quadrant at $((x * w / 4)),$((y * h / 4)): $got, want $want" >&2; ok=1; }
  done
  return $ok
}
# The name the compositor gives its output (sway's headless outputs: "HEADLESS-1", described as
# "Headless output 1"), not one of the synthetic back end's displays.
compositor_output() {  # name
  [[ ${1,,} == *headless* ]] && return 0
  echo "    display name: got '$1', want the compositor's $LUMORA_DESKTOP_OUTPUT" >&2; return 1
}
moves() {  # file width height t1 t2: the animated window in the middle changes
  local change
  change=$(region_change "$1" "$4" "$5" $(($2 * 3 / 8)) $(($3 / 3)) $(($2 / 4)) $(($3 / 3)))
  within "change of the moving window between $4 s and $5 s" "$change" 2 255
}

# ======================================================================================
# Wayland: runs inside scripts/desktop/session.sh
wayland_cases() {
  local w=$LUMORA_DESKTOP_WIDTH h=$LUMORA_DESKTOP_HEIGHT
  group_directory

  note "wayland: first start asks once, then records the screen"
  local a; new_home a
  vantor_json "$tmp/caps" "$a" session capabilities
  check "wayland: before any grant, capabilities do not claim ready" \
    isnt "captureReadiness" "$(field "$tmp/caps" .captureReadiness)" ready
  vantor_json "$tmp/displays" "$a" session displays
  local id
  id=$(field "$tmp/displays" '.displays[0].id')
  check "wayland: the default display is the compositor's monitor at its size" eval '
    is "first display default" "$(field "$tmp/displays" ".displays[0].isDefault")" true &&
    is "displays" "$(field "$tmp/displays" ".displays | length")" 1 &&
    compositor_output "$(field "$tmp/displays" ".displays[0].name")" &&
    is "display size" "$(field "$tmp/displays" ".displays[0] | \"\(.pixelWidth)x\(.pixelHeight)\"")" "${w}x$h"'
  local before; before=$(chooser_calls)
  start_and_wait "$tmp/first" "$a" session "$id" 3
  check "wayland: the first start is saved" saved "$tmp/first"
  check "wayland: the first start asked the user once" is "chooser calls" "$(($(chooser_calls) - before))" 1
  local file; file=$(field "$tmp/first" .recording.path)
  local codec fw fh duration frames
  read -r codec fw fh duration frames <<<"$(video_facts "$file" 2>/dev/null)"
  check "wayland: the recording is H.264 at the monitor's size" eval 'is codec "$codec" h264 && is size "${fw}x$fh" "${w}x$h"'
  check "wayland: the recording is about as long as asked (3 s)" within "duration" "$duration" 2.6 3.5
  check "wayland: the recording has a constant 30 frames per second" within "frames in $duration s" "$frames" \
    "$(awk -v d="$duration" 'BEGIN { print int(d * 30 - 3) }')" "$(awk -v d="$duration" 'BEGIN { print int(d * 30 + 3) }')"
  check "wayland: the recording shows the screen's colours" shows_quadrants "$file" "$w" "$h" 1.5
  check "wayland: the recording shows the screen's motion" moves "$file" "$w" "$h" 1.0 2.0
  local grants; grants=$(grants_file "$a")
  check "wayland: the grant is kept for the display in a file of mode 0600" eval '
    is "mode of $grants" "$(stat -c %a "$grants" 2>&1)" 600 && is "granted displays" "$(granted_displays "$a")" "$id"'
  vantor_json "$tmp/caps" "$a" session capabilities
  check "wayland: with a grant, capabilities say ready" is "captureReadiness" "$(field "$tmp/caps" .captureReadiness)" ready

  note "wayland: a second start asks nobody"
  before=$(chooser_calls)
  start_and_wait "$tmp/second" "$a" session "$id" 1
  check "wayland: the second start is saved" saved "$tmp/second"
  check "wayland: the second start asked nobody" is "chooser calls" "$(($(chooser_calls) - before))" 0

  note "wayland: after Lumora restarts, launched without the session's environment"
  stop_apps "$a"
  check "wayland: Lumora stopped" is "running apps" "$(app_pids "$a")" ""
  before=$(chooser_calls)
  vantor_json "$tmp/displays2" "$a" bare displays
  check "wayland: auto finds the compositor without WAYLAND_DISPLAY, XDG_RUNTIME_DIR or a bus address" eval '
    compositor_output "$(field "$tmp/displays2" ".displays[0].name")" &&
    is "display size" "$(field "$tmp/displays2" ".displays[0] | \"\(.pixelWidth)x\(.pixelHeight)\"")" "${w}x$h"'
  id=$(field "$tmp/displays2" '.displays[0].id')
  start_and_wait "$tmp/third" "$a" bare "$id" 2
  check "wayland: the start after the restart is saved" saved "$tmp/third"
  check "wayland: the start after the restart asked nobody" is "chooser calls" "$(($(chooser_calls) - before))" 0
  file=$(field "$tmp/third" .recording.path)
  check "wayland: the recording after the restart shows the screen's colours" shows_quadrants "$file" "$w" "$h" 1.0

  note "wayland: a refused grant"
  local b; new_home b
  touch "$LUMORA_DESKTOP_REFUSE"
  before=$(chooser_calls)
  local started=$SECONDS status=0
  start_and_wait "$tmp/refused" "$b" session "$id" 2 || status=$?
  rm -f "$LUMORA_DESKTOP_REFUSE"
  check "wayland: a refusal ends the session as failed with permission_required (vantor exit 3)" eval '
    is "exit status" "$status" 3 &&
    is state "$(field "$tmp/refused" .state)" failed &&
    is code "$(field "$tmp/refused" .failure.code)" permission_required'
  check "wayland: the refusal comes with a hint" isnt "hint" "$(field "$tmp/refused" .failure.hint)" ""
  check "wayland: the refusal was the user's (the chooser was asked once)" is "chooser calls" "$(($(chooser_calls) - before))" 1
  check "wayland: the refusal is reported at once" within "seconds until the result" $((SECONDS - started)) 0 15
  check "wayland: no grant is kept after a refusal" is "granted displays" "$(granted_displays "$b")" ""

  note "wayland: a grant given ahead of time"
  local c; new_home c
  before=$(chooser_calls)
  status=0
  HOME=$c "$app" --grant-screen-access >"$tmp/grant.out" 2>&1 || status=$?
  check "wayland: Lumora --grant-screen-access asks once and exits 0" eval '
    is "exit status" "$status" 0 && is "chooser calls" "$(($(chooser_calls) - before))" 1'
  vantor_json "$tmp/caps" "$c" bare capabilities
  check "wayland: after --grant-screen-access, capabilities say ready" is "captureReadiness" "$(field "$tmp/caps" .captureReadiness)" ready
  before=$(chooser_calls)
  start_and_wait "$tmp/granted" "$c" bare "$id" 1
  check "wayland: a start after --grant-screen-access is saved and asks nobody" eval '
    saved "$tmp/granted" && is "chooser calls" "$(($(chooser_calls) - before))" 0'

  note "wayland: a cast whose stream never delivers a picture"
  # With the session manager stopped nothing links the granted stream to its reader, so not a
  # single frame arrives (a still screen is no such case: a new cast gets one first picture).
  local manager; manager=$(awk '$1 == "wireplumber" { print $2 }' "$LUMORA_DESKTOP_PIDS")
  kill -STOP "$manager"
  started=$SECONDS status=0
  start_and_wait "$tmp/still" "$c" bare "$id" 2 || status=$?
  kill -CONT "$manager"
  check "wayland: no first frame ends the session as capture_failed, not as a hang" eval '
    is "exit status" "$status" 5 && is state "$(field "$tmp/still" .state)" failed &&
    is code "$(field "$tmp/still" .failure.code)" capture_failed'
  check "wayland: the failure says that no picture came" eval '
    [[ $(field "$tmp/still" .failure.message) == "The desktop granted the screen but sent no picture within "* ]] ||
    { echo "    message: $(field "$tmp/still" .failure.message)" >&2; false; }'
  check "wayland: no first frame is reported within its bound (15 s)" within "seconds" $((SECONDS - started)) 14 30

  local d; new_home d
  touch "$LUMORA_DESKTOP_REFUSE"
  status=0
  HOME=$d "$app" --grant-screen-access >"$tmp/refused-grant.out" 2>&1 || status=$?
  rm -f "$LUMORA_DESKTOP_REFUSE"
  check "wayland: a refused --grant-screen-access exits 1" is "exit status" "$status" 1

  # This compositor cannot unplug an output; the fake compositor of the unit tests does.
  note "wayland: a monitor plugged in, and its mode changed, while Lumora runs"
  local e; new_home e
  vantor_json "$tmp/before-plug" "$e" session displays
  local sizes='[.displays[] | "\(.id):\(.pixelWidth)x\(.pixelHeight)"] | join(" ")'
  local listed="" want tries
  swaymsg -q create_output
  want="$LUMORA_DESKTOP_OUTPUT:${w}x$h HEADLESS-2:1920x1080"
  for tries in $(seq 50); do  # the compositor tells at once; bounded all the same
    vantor_json "$tmp/plugged" "$e" session displays
    listed=$(field "$tmp/plugged" "$sizes")
    [[ $listed == "$want" ]] && break
    sleep 0.1
  done
  check "wayland: a monitor plugged in is listed by the requests after it" eval '
    is "displays before" "$(field "$tmp/before-plug" "$sizes")" "$LUMORA_DESKTOP_OUTPUT:${w}x$h" &&
    is "displays after" "$listed" "$want"'
  swaymsg -q output HEADLESS-2 mode 800x600
  want="$LUMORA_DESKTOP_OUTPUT:${w}x$h HEADLESS-2:800x600"
  for tries in $(seq 50); do
    vantor_json "$tmp/changed" "$e" session displays
    listed=$(field "$tmp/changed" "$sizes")
    [[ $listed == "$want" ]] && break
    sleep 0.1
  done
  check "wayland: a monitor's new mode is listed by the requests after it" is "displays" "$listed" "$want"
}

# ======================================================================================
# X11: Xvfb in the private /tmp/.X11-unix, found by "auto" without DISPLAY
x11_cases() {
  local number
  group_directory
  local e; new_home e
  # -noreset: the screen keeps its colour when the last client leaves.
  Xvfb -displayfd 1 -screen 0 1280x720x24 -nolisten tcp -noreset >"$tmp/display" 2>"$tmp/xvfb.log" &
  group_pids+=($!)
  local i
  for ((i = 0; i < 100; i++)); do [[ -s $tmp/display ]] && break; sleep 0.1; done
  number=$(head -n 1 "$tmp/display")
  if [[ -z $number ]]; then fail "x11: Xvfb started"; return; fi
  # A known colour on the screen, and a window with a moving ball in its top left corner.
  DISPLAY=:$number xsetroot -solid '#00ff00'
  DISPLAY=:$number gst-launch-1.0 -q videotestsrc pattern=ball is-live=true \
    ! video/x-raw,width=320,height=240,framerate=30/1 ! ximagesink >"$tmp/client.log" 2>&1 &
  group_pids+=($!)
  note "x11: auto under Xvfb :$number"
  vantor_json "$tmp/displays" "$e" bare displays
  check "x11: auto finds the X server without DISPLAY and lists its screen" is "display size" \
    "$(field "$tmp/displays" '.displays[0] | "\(.pixelWidth)x\(.pixelHeight)"')" 1280x720
  start_and_wait "$tmp/x11" "$e" bare "$(field "$tmp/displays" '.displays[0].id')" 2
  check "x11: the recording is saved" saved "$tmp/x11"
  local file codec fw fh rest
  file=$(field "$tmp/x11" .recording.path)
  read -r codec fw fh rest <<<"$(video_facts "$file" 2>/dev/null)"
  check "x11: the recording is H.264 at the screen's size" eval 'is codec "$codec" h264 && is size "${fw}x$fh" 1280x720'
  check "x11: the recording shows the X screen" eval \
    'colour_near "$(mean_colour "$file" 1.0 600 320 80 80)" "0 255 0" 40 || { echo "    centre: $(mean_colour "$file" 1.0 600 320 80 80)" >&2; false; }'
  check "x11: the recording shows the screen's motion" eval \
    'within "change of the moving window" "$(region_change "$file" 0.5 1.5 0 0 320 240)" 2 255'
}

# ======================================================================================
# No display at all: the synthetic test pattern
synthetic_cases() {
  group_directory
  local f; new_home f
  note "synthetic: auto with no display at all"
  vantor_json "$tmp/displays" "$f" bare displays
  check "synthetic: auto falls back to the test pattern's displays" eval '
    is "display name" "$(field "$tmp/displays" ".displays[0].name")" "Virtual Display 1" &&
    is "display size" "$(field "$tmp/displays" ".displays[0] | \"\(.pixelWidth)x\(.pixelHeight)\"")" 1920x1080'
  vantor_json "$tmp/caps" "$f" bare capabilities
  check "synthetic: capabilities say ready" is "captureReadiness" "$(field "$tmp/caps" .captureReadiness)" ready
  start_and_wait "$tmp/synthetic" "$f" bare "$(field "$tmp/displays" '.displays[0].id')" 1
  check "synthetic: the recording is saved" saved "$tmp/synthetic"
}

# ======================================================================================
case ${1:-all} in
  all)
    for program in "$app" "$vantor"; do
      [[ -x $program ]] || { echo "desktop tests: build the bundle first ($program is missing)" >&2; exit 1; }
    done
    exec "$root/scripts/desktop/isolate.sh" "$0" --isolated ;;
  --isolated)
    if [[ ${LUMORA_DESKTOP_ISOLATED:-0} != 1 ]]; then
      echo "desktop tests: they need a private mount namespace (run as root)" >&2; exit 1
    fi
    LUMORA_DESKTOP_RESULTS=$(mktemp /tmp/lumora-desktop-results.XXXXXX)
    export LUMORA_DESKTOP_RESULTS
    started=$SECONDS
    "$root/scripts/desktop/session.sh" "$0" --wayland || fail "wayland: the desktop session ran to its end"
    "$0" --x11 || fail "x11: the cases ran to their end"
    "$0" --synthetic || fail "synthetic: the cases ran to their end"
    passed=$(grep -c '^pass ' "$LUMORA_DESKTOP_RESULTS")
    failed=$(grep -c '^fail ' "$LUMORA_DESKTOP_RESULTS")
    if ((failed)); then echo "failed:"; sed -n 's/^fail /  /p' "$LUMORA_DESKTOP_RESULTS"; fi
    rm -f "$LUMORA_DESKTOP_RESULTS"
    note "took $((SECONDS - started)) s"
    echo "$passed passed, $failed failed"
    ((failed == 0)) ;;
  --wayland) wayland_cases ;;
  --x11) x11_cases ;;
  --synthetic) synthetic_cases ;;
  *) echo "usage: run.sh" >&2; exit 2 ;;
esac
