#!/usr/bin/env bash
# Takes pictures of the running window with the "100" scene at debug levels 0, 1 and 2, into
# build/screenshots/ (or the folder given). Builds the program first if needed.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/screenshots}"
if [ ! -x build/bin/kavrin ]; then
  bash scripts/build.sh
else
  cmake --build build --target kavrin >/dev/null
fi
mkdir -p "$out"
out="$(cd "$out" && pwd)"
for level in 0 1 2; do
  rm -f "$out/window_debug$level.png"
  xvfb-run -a -s "-screen 0 1280x800x24" env KAVRIN_SCREENSHOT="$out/window_debug$level.png" \
    KAVRIN_SHOW_DEBUG="$level" KAVRIN_FRAME="${KAVRIN_FRAME:-99}" build/bin/kavrin
  [ -s "$out/window_debug$level.png" ] || { echo "screenshots: no picture at level $level" >&2; exit 1; }
  echo "$out/window_debug$level.png"
done
