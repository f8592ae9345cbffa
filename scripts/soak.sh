#!/usr/bin/env bash
# A long run of the editing property test: random GUI-like actions on a scene, then undo
# everything and compare every frame with the original.
#   bash scripts/soak.sh [seeds] [actions]     default 20 seeds of 3000 actions each
# KAVRIN_SOAK_SANITIZE=address or thread builds the engine and its tests with that sanitizer
# into build-<sanitizer>/ first.
set -euo pipefail
cd "$(dirname "$0")/.."
seeds=${1:-20}
actions=${2:-3000}
sanitize=${KAVRIN_SOAK_SANITIZE:-}
dir=build
if [ -n "$sanitize" ]; then
  dir=build-$sanitize
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRIN_ENGINE_ONLY=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=$sanitize -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitize" >/dev/null
else
  bash scripts/setup.sh
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$dir" --target scene_tests
KAVRIN_EDIT_SEEDS=$seeds KAVRIN_EDIT_ACTIONS=$actions \
  "$dir/tests/scene/scene_tests" --gtest_filter='EditingProperty.*'
