#!/usr/bin/env bash
# Installs, builds and starts Kavrin; without a display it runs under a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
if [ -n "${DISPLAY:-}" ]; then
  exec build/bin/kavrin
fi
echo "kavrin: no display found, starting under a virtual X display (Xvfb)" >&2
exec xvfb-run -a -s "-screen 0 1280x800x24" build/bin/kavrin
