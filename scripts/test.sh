#!/usr/bin/env bash
# Installs, builds and runs the whole test suite under a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
xvfb-run -a -s "-screen 0 1280x800x24" ctest --output-on-failure
