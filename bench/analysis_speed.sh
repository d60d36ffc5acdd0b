#!/usr/bin/env bash
# The cost of the analysis against decoding alone, and the peak memory of a long track.
#
#   bench/analysis_speed.sh [BUILD_DIR] [FILE...]
#
# Without files it makes its own set in /tmp/tempix-bench: the demo tracks looped
# to five minutes (MP3 and M4A, mono and stereo) and one 60-minute stereo MP3.
# For each file it prints the best of three wall times of `tempix-cli --analyze`
# and of the plain decoder (same FFmpeg libraries) and their ratio; then the
# maximum resident memory of analysing the longest file.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
cli=$build/bin/tempix-cli
decode=$build/bench/tempix-bench-decode
[ -x "$cli" ] && [ -x "$decode" ] || { echo "build first: cmake --build $build" >&2; exit 2; }

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  work=/tmp/tempix-bench
  mkdir -p "$work"
  /usr/bin/python3 tests/material/make_tracks.py --demo "$work/demo" >/dev/null
  loop() {  # source, loops, output, encoder options...
    local src=$1 n=$2 out=$3; shift 3
    [ -s "$out" ] || ffmpeg -nostdin -v error -y -stream_loop "$n" -i "$src" -map 0:a "$@" "$out"
  }
  loop "$work/demo/Morning Drive.mp3" 6 "$work/five_min_stereo44.mp3" -c:a libmp3lame -b:a 192k
  loop "$work/demo/Slow Tide.m4a" 6 "$work/five_min_stereo44.m4a" -c:a aac -b:a 160k
  loop "$work/demo/Steel Garden.mp3" 7 "$work/five_min_mono44.mp3" -c:a libmp3lame -b:a 128k
  loop "$work/demo/Night Runner.mp3" 7 "$work/five_min_stereo48.mp3" -c:a libmp3lame -q:a 2
  loop "$work/demo/Morning Drive.mp3" 79 "$work/sixty_min_stereo44.mp3" -c:a libmp3lame -b:a 160k
  files=("$work"/five_min_*.mp3 "$work"/five_min_*.m4a "$work/sixty_min_stereo44.mp3")
fi

besttime() {  # best wall time of three runs, in seconds
  local best=
  for _ in 1 2 3; do
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    best=$(echo "$t0 $t1 ${best:-}" | awk '{d=$2-$1; if ($3=="" || d<$3) print d; else print $3}')
  done
  echo "$best"
}

printf '%-28s %10s %10s %10s %8s\n' file seconds decode analyze ratio
total_decode=0
total_analyze=0
for f in "${files[@]}"; do
  secs=$(ffprobe -v quiet -show_entries format=duration -of csv=p=0 "$f")
  d=$(besttime "$decode" "$f")
  a=$(besttime "$cli" --analyze "$f")
  total_decode=$(echo "$total_decode $d" | awk '{print $1+$2}')
  total_analyze=$(echo "$total_analyze $a" | awk '{print $1+$2}')
  printf '%-28s %10.1f %10.3f %10.3f %8.3f\n' "$(basename "$f")" "$secs" "$d" "$a" "$(echo "$a $d" | awk '{print $1/$2}')"
done
printf '%-28s %10s %10.3f %10.3f %8.3f\n' all "" "$total_decode" "$total_analyze" \
  "$(echo "$total_analyze $total_decode" | awk '{print $1/$2}')"

longest=$(for f in "${files[@]}"; do echo "$(stat -c %s "$f") $f"; done | sort -n | tail -1 | cut -d' ' -f2-)
if [ -x /usr/bin/time ]; then
  mem() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident/ {gsub(/ /,"",$2); print $2}'; }
  echo "peak memory (max RSS) for $(basename "$longest"):"
  echo "  tempix-cli --analyze: $(mem "$cli" --analyze "$longest") KiB"
  echo "  decoding alone:       $(mem "$decode" "$longest") KiB"
else
  echo "(install the 'time' package for the peak memory figures)"
fi
"$cli" --analyze "$longest"
