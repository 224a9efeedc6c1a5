#!/usr/bin/env bash
# Runs a command on a virtual desktop of its own, as the practice window's
# tests and screenshots need: an X server in memory (Xvfb, started by
# xvfb-run on a free display) with the openbox window manager, so that
# windows are placed, decorated and focused as on a person's desktop and
# real key presses and clicks (xdotool, java.awt.Robot) reach the focused
# window. The screen is 1280x800 unless `--screen WxH` comes first. Returns
# the command's exit code.
#
#   scripts/desktop.sh --screen 1600x1000 bin/tambrino app song.wav
set -euo pipefail
screen=1280x800
if [ "${1:-}" = --screen ]; then
  screen=$2
  shift 2
fi
if [ "${1:-}" != --inside ]; then
  exec xvfb-run -a -s "-screen 0 ${screen}x24 -dpi 96" "$(readlink -f "${BASH_SOURCE[0]}")" --inside "$@"
fi
shift
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
# The window manager announces itself on the root window; windows mapped
# before it would be left unmanaged.
for _ in $(seq 200); do
  if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
    break
  fi
  sleep 0.05
done
set +e
"$@"
rc=$?
set -e
kill "$wm" 2>/dev/null || true
wait "$wm" 2>/dev/null || true
exit "$rc"
