#!/usr/bin/env bash
# Installs every Debian package Kavrin needs to build, run and test. Safe to run again.
# --farm also installs a Slurm controller, node daemon and munge, for scripts/farm_test.sh.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config clang clang-format
  qt6-base-dev libqt6opengl6-dev libglu1-mesa-dev libgl1-mesa-dri
  libboost-dev libboost-python-dev python3-dev python3
  libassimp-dev libopenvdb-dev python3-numpy
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth
)
[ "${1:-}" = --farm ] && packages+=(slurm-wlm munge)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  echo "setup: installing ${missing[*]}" >&2
  "${as_root[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
