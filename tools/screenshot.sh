#!/bin/sh
# Takes a picture of Guichet's window: starts a private X server (Xvfb) on a free display,
# lays out a temporary site, starts guichet from the build folder in it, captures the
# screen and crops it to the window.
#
#   tools/screenshot.sh [BUILD_DIR [OUT_PNG]]     (defaults: build, docs/window.png)
#
# Prints one line "geometry X Y WIDTH HEIGHT SCREEN_WIDTH SCREEN_HEIGHT" (the window's
# client area on the screen, in pixels). Needs Xvfb, xdotool, xwininfo and ImageMagick.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
out=${2:-$here/docs/window.png}
screen_w=1280
screen_h=1024

for tool in Xvfb xdotool xwininfo import convert; do
  command -v "$tool" >/dev/null 2>&1 || { echo "screenshot.sh: $tool is missing" >&2; exit 2; }
done
[ -x "$build/guichet" ] || { echo "screenshot.sh: no $build/guichet" >&2; exit 2; }

site=$(mktemp -d /tmp/guichet-shot.XXXXXX)
xvfb_pid=
guichet_pid=
cleanup() {
  set +e
  if [ -n "$guichet_pid" ]; then
    kill "$guichet_pid" 2>/dev/null && sleep 0.3
    kill -9 "$guichet_pid" 2>/dev/null
  fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; fi
  rm -rf "$site"
}
trap cleanup EXIT INT TERM

# A free display number from 90 up: no lock file, and the server really starts.
n=90
while [ $n -lt 190 ]; do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
    Xvfb ":$n" -screen 0 "${screen_w}x${screen_h}x24" -nolisten tcp -noreset >"$site/xvfb.log" 2>&1 &
    xvfb_pid=$!
    i=0
    while [ $i -lt 50 ] && kill -0 "$xvfb_pid" 2>/dev/null; do
      if DISPLAY=":$n" xwininfo -root >/dev/null 2>&1; then
        # Ours only if the lock names our server: another program may have raced for n.
        [ "$(tr -d ' \n' <"/tmp/.X$n-lock" 2>/dev/null)" = "$xvfb_pid" ] && break 2
        break
      fi
      sleep 0.1
      i=$((i + 1))
    done
    kill "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  fi
  n=$((n + 1))
done
[ -n "$xvfb_pid" ] || { echo "screenshot.sh: no X server could start" >&2; exit 1; }
export DISPLAY=":$n"

mkdir -p "$site/Guichet" "$site/IsapiHalvero" "$site/Tasks"
cp "$build/guichet" "$site/Guichet/"
[ -f "$build/Radiveve.so" ] && cp "$build/Radiveve.so" "$site/Guichet/"
(cd "$site/Guichet" && exec ./guichet </dev/null >/dev/null 2>"$site/guichet.err") &
guichet_pid=$!

# The window, once it is shown (class "Guichet"), and one tick later so the labels are set.
id=
i=0
while [ $i -lt 100 ] && [ -z "$id" ]; do
  id=$(xdotool search --onlyvisible --class '^Guichet$' 2>/dev/null | head -n 1 || true)
  [ -n "$id" ] || sleep 0.1
  i=$((i + 1))
done
[ -n "$id" ] || { echo "screenshot.sh: the window did not appear" >&2; cat "$site/guichet.err" >&2; exit 1; }
sleep 1.5

info=$(xwininfo -id "$id")
x=$(echo "$info" | sed -n 's/.*Absolute upper-left X: *//p')
y=$(echo "$info" | sed -n 's/.*Absolute upper-left Y: *//p')
w=$(echo "$info" | sed -n 's/.*Width: *//p')
h=$(echo "$info" | sed -n 's/.*Height: *//p')

import -window root "$site/screen.png"
mkdir -p "$(dirname "$out")"
convert "$site/screen.png" -crop "${w}x${h}+${x}+${y}" +repage "$out"
echo "geometry $x $y $w $h $screen_w $screen_h"
