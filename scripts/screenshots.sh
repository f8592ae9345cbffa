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
# The brush at work, from the window tests of strokes on the "100" scene: the window mid-stroke
# (cursor, selection heat, direction line) and after it, and the timeline (doubled in size) while
# the stroke waits to spread and once it has; a mirrored stroke mid-way (both brushes), the onion
# skin around the bent frame, and the status line (doubled) while the "10000" scene builds, then
# with a message in its message area, and its display popup (point size, onion frames, scene unit,
# FBX scale); the brush's size ring over the fountain and the brush fields of the side panel.
cmake --build build --target view_window_tests >/dev/null
stroke_pictures="window_stroke window_after_stroke timeline_waiting timeline_bands"
stroke_pictures="$stroke_pictures window_mirror_stroke window_onion_skin status_line"
stroke_pictures="$stroke_pictures status_message display_popup brush_ring brush_fields"
for name in $stroke_pictures; do rm -f "$out/$name.png"; done
xvfb-run -a -s "-screen 0 1280x800x24" env KAVRIN_PICTURES="$out" \
  build/tests/view/view_window_tests --gtest_filter='WindowStroke.*' >/dev/null ||
  { echo "screenshots: the stroke test failed" >&2; exit 1; }
for name in $stroke_pictures; do
  [ -s "$out/$name.png" ] || { echo "screenshots: no picture $name" >&2; exit 1; }
  echo "$out/$name.png"
done
# FBX in the window: a bottle imported in the scene's unit among the fountain's particles, and
# the view through an imported camera.
cmake --build build --target app_tests >/dev/null
fbx_pictures="window_fbx_bottle window_scene_camera"
for name in $fbx_pictures; do rm -f "$out/$name.png"; done
xvfb-run -a -s "-screen 0 1280x800x24" env KAVRIN_PICTURES="$out" \
  build/tests/app/app_tests --gtest_filter='FbxView.*' >/dev/null ||
  { echo "screenshots: the FBX test failed" >&2; exit 1; }
for name in $fbx_pictures; do
  [ -s "$out/$name.png" ] || { echo "screenshots: no picture $name" >&2; exit 1; }
  echo "$out/$name.png"
done
# The sample scenes "wine" and "fireball" through their own cameras, downloaded from the loopback
# sample server that serves the generated sample tree. The program's earlier downloads are
# dropped first, so that the pictures show the samples as they are generated now.
cmake --build build --target kavrin kavrin_samples >/dev/null
rm -rf build/bin/resource/samples
server_out="$(mktemp)"
/usr/bin/python3 scripts/sample_server.py build/samples_server 0 >"$server_out" 2>/dev/null &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; rm -f "$server_out"' EXIT
port=""
for _ in $(seq 100); do
  port="$(sed -n 's/^port \([0-9]*\)$/\1/p' "$server_out")"
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "screenshots: the sample server did not start" >&2; exit 1; }
for sample in wine fireball; do
  case "$sample" in wine) frame=40 ;; *) frame=30 ;; esac
  rm -f "$out/sample_$sample.png"
  xvfb-run -a -s "-screen 0 1280x800x24" env KAVRIN_SERVER_URL="http://127.0.0.1:$port/" \
    KAVRIN_SAMPLE="$sample" KAVRIN_FRAME="$frame" KAVRIN_SCREENSHOT="$out/sample_$sample.png" \
    build/bin/kavrin
  [ -s "$out/sample_$sample.png" ] || { echo "screenshots: no picture of $sample" >&2; exit 1; }
  echo "$out/sample_$sample.png"
done
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
