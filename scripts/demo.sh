#!/usr/bin/env bash
# Installs what is needed, builds Tempix, makes demo tracks in build/demo and
# runs the main job over them twice: the second run finds them up to date.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja
cmake --build build -j2

demo=build/demo
# Fresh tracks each time, so that the first run has something to do.
rm -rf "$demo/music" "$demo/home"
/usr/bin/python3 tests/material/make_tracks.py --demo "$demo/music"
export HOME="$PWD/$demo/home"
mkdir -p "$HOME"
for run in first second; do
  echo "=== $run run"
  build/bin/tempix-cli --adjust-volume "$PWD/$demo/music" || true
done
