#!/bin/bash
# Makes one file of each layout (about 6.5 MB of audio) and times a tag
# update of each with tempix-bench-tags.
#   bench/tag_update.sh [BUILD_DIR] [REPEATS] [WORKDIR]
set -euo pipefail
build=${1:-build}
repeats=${2:-9}
work=${3:-$(mktemp -d)}
src=$work/sources
mkdir -p "$src"
ff() { ffmpeg -v error -y "$@"; }
ff -f lavfi -i "sine=frequency=440:duration=400" -ac 2 -ar 44100 "$src/tone.wav"
lame --quiet -b 128 "$src/tone.wav" "$src/plain.mp3"
/usr/bin/python3 - "$src" <<'PY'
import shutil, sys
import mutagen.id3 as id3
src = sys.argv[1]
def v2(name, version, padding):
    path = f"{src}/{name}"
    shutil.copyfile(f"{src}/plain.mp3", path)
    t = id3.ID3()
    t.add(id3.TIT2(encoding=0 if version == 3 else 3, text="Bench"))
    t.add(id3.TPE1(encoding=0 if version == 3 else 3, text="Tempix"))
    t.save(path, v2_version=version, padding=(lambda info: padding))
v2("mp3_v23_fits.mp3", 3, 2048)
v2("mp3_v23_grows.mp3", 3, 0)
v2("mp3_v24_taglib.mp3", 4, 2048)
shutil.copyfile(f"{src}/plain.mp3", f"{src}/mp3_new_tag.mp3")
PY
ff -i "$src/tone.wav" -c:a aac -b:a 128k -movflags +faststart "$src/m4a_grows_moves_media.m4a"
ff -i "$src/tone.wav" -c:a aac -b:a 128k "$src/m4a_meta_at_end.m4a"
cp "$src/m4a_meta_at_end.m4a" "$src/m4a_fits.m4a"
/usr/bin/python3 -c "
from mutagen.mp4 import MP4
f = MP4('$src/m4a_fits.m4a'); f['\xa9nam'] = ['Bench']; f.save(padding=lambda info: 8192)"
flac -s -f -o "$src/flac_fits.flac" "$src/tone.wav"
flac -s -f --no-padding -o "$src/flac_grows_moves_frames.flac" "$src/tone.wav"
# Ogg comments have no padding: a first update shifts every later page.
oggenc -Q -o "$src/vorbis_shifts_pages.ogg" "$src/tone.wav"
opusenc --quiet "$src/tone.wav" "$src/opus_shifts_pages.opus"
# A comment that fills its header page, so that every later page is renumbered.
/usr/bin/python3 - "$src" <<'PY'
import subprocess, sys
src = sys.argv[1]
def filled(length):
    path = f"{src}/vorbis_renumbers_pages.ogg"
    subprocess.run(["oggenc", "-Q", "-c", "LYRICS=" + "la " * (length // 3), "-o", path, f"{src}/tone.wav"], check=True)
    data = open(path, "rb").read()
    first = 28 + data[26] + data[27]
    sizes, n = [], 0
    for l in data[first + 27:first + 27 + data[first + 26]]:
        n += l
        if l < 255:
            sizes.append(n)
            n = 0
    return sizes
comment, setup = filled(3000)[:2]
filled(3000 + 255 * (253 - setup // 255) + 200 - comment)
PY
"$build/bench/tempix-bench-tags" "$repeats" "$work" \
  "$src/mp3_v23_fits.mp3" "$src/mp3_v23_grows.mp3" "$src/mp3_v24_taglib.mp3" "$src/mp3_new_tag.mp3" \
  "$src/m4a_fits.m4a" "$src/m4a_grows_moves_media.m4a" "$src/m4a_meta_at_end.m4a" \
  "$src/flac_fits.flac" "$src/flac_grows_moves_frames.flac" "$src/vorbis_shifts_pages.ogg" "$src/opus_shifts_pages.opus" \
  "$src/vorbis_renumbers_pages.ogg"
