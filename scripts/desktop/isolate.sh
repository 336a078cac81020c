#!/usr/bin/env bash
# Runs a command with private copies of the places where Lumora looks for the user's desktop:
# /run/user (runtime directories holding wayland-0 and the session bus) and /tmp/.X11-unix (X
# servers). Tests then see only the desktops they start themselves, never another test's X server
# or a developer's own session, and they can put a session at /run/user/<uid> without touching
# the machine's. The command also gets a process namespace of its own: vantor looks for a running
# Lumora among all processes it can see, so a developer's own Lumora stays out of the tests'
# way, and whatever the command leaves running ends with it. Needs root (namespaces); otherwise
# the command runs as it is and LUMORA_DESKTOP_ISOLATED=0 tells it so.
#
#   isolate.sh COMMAND [ARG...]
set -euo pipefail

if [[ ${LUMORA_DESKTOP_ISOLATED:-} == 1 ]]; then exec "$@"; fi
if [[ $(id -u) -ne 0 ]] || ! unshare --mount --propagation private -- true 2>/dev/null; then
  LUMORA_DESKTOP_ISOLATED=0 exec "$@"
fi
# Inside the new namespace: fresh, empty file systems over both places (an X socket directory
# missing on the host is created as X servers create it).
[[ -d /tmp/.X11-unix ]] || install -d -m 1777 /tmp/.X11-unix
[[ -d /run/user ]] || install -d -m 0755 /run/user
exec unshare --mount --propagation private --pid --fork --kill-child --mount-proc -- bash -c '
  mount -t tmpfs -o mode=0755 lumora-run-user /run/user &&
  mount -t tmpfs -o mode=1777 lumora-x11-unix /tmp/.X11-unix &&
  LUMORA_DESKTOP_ISOLATED=1 exec "$@"' isolate "$@"
