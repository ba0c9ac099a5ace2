#!/bin/sh
# Takes a picture of guichet.exe's native window under wine: a private X server (Xvfb)
# through xvfb-run, a temporary site with guichet.exe and Radiveve.dll from the Windows
# build, the screen captured and cropped to the window (its frame included).
#
#   tools/screenshot-windows.sh [BUILD_DIR [OUT_PNG]]   (defaults: build-win, docs/window-windows.png)
#
# Needs xvfb-run, wine64, xdotool, xwininfo and ImageMagick.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build-win}" && pwd)
out=${2:-$here/docs/window-windows.png}
if [ -z "${DISPLAY_READY:-}" ]; then
  exec env DISPLAY_READY=1 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$build" "$out"
fi

for tool in xdotool xwininfo import convert; do
  command -v "$tool" >/dev/null 2>&1 || { echo "screenshot-windows.sh: $tool is missing" >&2; exit 2; }
done
[ -f "$build/guichet.exe" ] || { echo "screenshot-windows.sh: no $build/guichet.exe" >&2; exit 2; }
export WINEPREFIX=${WINEPREFIX:-$build/wine} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine64

site=$(mktemp -d /tmp/guichet-shot.XXXXXX)
guichet_pid=
cleanup() {
  set +e
  if [ -n "$guichet_pid" ]; then
    kill "$guichet_pid" 2>/dev/null && sleep 0.3
    kill -9 "$guichet_pid" 2>/dev/null
  fi
  rm -rf "$site"
}
trap cleanup EXIT INT TERM

mkdir -p "$site/Guichet" "$site/IsapiHalvero" "$site/Tasks"
cp "$build/guichet.exe" "$build/Radiveve.dll" "$site/Guichet/"
(cd "$site/Guichet" && exec "$wine" ./guichet.exe </dev/null >/dev/null 2>"$site/guichet.err") &
guichet_pid=$!

# The window once it is shown, and a tick later so the labels are set.
id=
i=0
while [ $i -lt 300 ] && [ -z "$id" ]; do
  id=$(xdotool search --onlyvisible --name '^Guichet' 2>/dev/null | head -n 1 || true)
  [ -n "$id" ] || sleep 0.1
  i=$((i + 1))
done
[ -n "$id" ] || { echo "screenshot-windows.sh: the window did not appear" >&2; cat "$site/guichet.err" >&2; exit 1; }
sleep 2.5

info=$(xwininfo -id "$id")
x=$(echo "$info" | sed -n 's/.*Absolute upper-left X: *//p')
y=$(echo "$info" | sed -n 's/.*Absolute upper-left Y: *//p')
w=$(echo "$info" | sed -n 's/.*Width: *//p')
h=$(echo "$info" | sed -n 's/.*Height: *//p')
import -window root "$site/screen.png"
mkdir -p "$(dirname "$out")"
convert "$site/screen.png" -crop "${w}x${h}+${x}+${y}" +repage "$out"
echo "geometry $x $y $w $h"
