#!/usr/bin/env bash
# Installs what is needed, builds Tempix, makes demo tracks and a library file
# that lists them under build/demo, and runs the main job twice: the first run
# analyses and updates every track, the second finds them all up to date.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja
cmake --build build -j2

demo="$PWD/build/demo"
# Fresh tracks each time, so that the first run has something to do.
rm -rf "$demo"
export HOME="$demo/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state"
music="$HOME/Music/Demo"
library="$HOME/Music/iTunes/iTunes Music Library.xml"
/usr/bin/python3 tests/material/make_tracks.py --demo "$music"
/usr/bin/python3 scripts/make_demo_library.py "$music" "$library"

for run in first second; do
  echo
  echo "=== $run run over the whole library: tempo, start and stop times, volume"
  build/bin/tempix-cli --library --optimize-times --less-intro --adjust-volume
done
echo
echo "=== what the library file now holds"
/usr/bin/python3 scripts/show_demo_library.py "$library"
echo
echo "The log is in $XDG_STATE_HOME/tempix/Tempix.log; 'build/bin/tempix-cli --dump FILE' shows a track's tag."
