#!/usr/bin/env bash
# Pictures of the desktop application for the README, taken under a virtual
# X display with a home folder of their own: the main window, the genre
# sheet, the about window, the preview of a batch, a finished batch's table of tracks, the picture
# of one track's analysis, that of a long track whole and zoomed in, and the
# location mappings' dialog on a library made on another computer.
#   scripts/screenshots.sh [BUILD_DIR]      (default build/; writes docs/*.png)
set -euo pipefail
cd "$(dirname "$0")/.."
builddir=${1:-build}
if [ ! -x "$builddir/bin/tempix" ]; then
  echo "screenshots: $builddir/bin/tempix is missing; build first" >&2
  exit 1
fi

work=/tmp/tempix-screenshots
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state"
mkdir -p "$XDG_CONFIG_HOME" "$HOME/Music"
/usr/bin/python3 tests/material/make_tracks.py --demo "$HOME/Music/Demo" >/dev/null
library="$HOME/Music/Library/iTunes Music Library.xml"
mkdir -p "$(dirname "$library")"
/usr/bin/python3 scripts/make_demo_library.py "$HOME/Music/Demo" "$library"

# A long track (a demo track over and over, 20 minutes) outside the batch's
# folder, and the demo library as another computer wrote it.
mkdir -p "$work/extra"
first=$(find "$HOME/Music/Demo" -name '*.mp3' | sort | head -n 1)
ffmpeg -v error -stream_loop -1 -i "$first" -t 1200 -c:a libmp3lame -b:a 128k "$work/extra/long.mp3"
sed "s#file://localhost$HOME/Music/#file://localhost/C:/Users/Anna%20Smith/Music/#" "$library" \
  > "$work/extra/moved.xml"
export TEMPIX_SCREENSHOT_LONG_TRACK="$work/extra/long.mp3"
export TEMPIX_SCREENSHOT_MOVED_LIBRARY="$work/extra/moved.xml"

# A chosen folder with tempo, times and volume; the library file chosen by
# hand; the results go to that library file.
cat > "$XDG_CONFIG_HOME/com.quillfen.tempix.conf" <<CONF
[General]
source=3
path=$HOME/Music/Demo
detectbpm=1
optimizetimes=1
lessintro=1
adjustvolume=1
export=1
libraryfile=$library
CONF

mkdir -p docs
rm -f docs/finished-batch.png
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 1024x768x24" "$builddir/bin/tempix" --screenshots "$PWD/docs"
ls -l docs/main-window.png docs/preview.png docs/genre-sheet.png docs/about-window.png docs/results-table.png docs/analysis-picture.png \
  docs/analysis-long.png docs/analysis-zoomed.png docs/map-locations-suggested.png docs/map-locations.png
