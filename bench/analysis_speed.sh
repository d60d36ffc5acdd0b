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
[ -x "$cli" ] && [ -x "$decode" ] || { echo "build first: cmake -S . -B $build -DTEMPIX_BUILD_BENCH=ON && cmake --build $build" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package 'time')" >&2; exit 2; }

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

# Best of three runs: "wall cpu" in seconds (cpu = user + system). On a busy
# machine the CPU time is the steadier figure.
best() {
  local out
  out=$(mktemp)
  for _ in 1 2 3; do
    /usr/bin/time -f '%e %U %S' -o "$out" -a "$@" >/dev/null 2>&1 || true
  done
  awk 'NR==1 || $1<w {w=$1} NR==1 || $2+$3<c {c=$2+$3} END {printf "%.3f %.3f\n", w, c}' "$out"
  rm -f "$out"
}

printf '%-26s %8s | %9s %9s %6s | %9s %9s %6s\n' file seconds "wall dec" "wall ana" ratio "cpu dec" "cpu ana" ratio
tw_d=0; tw_a=0; tc_d=0; tc_a=0
for f in "${files[@]}"; do
  secs=$(ffprobe -v quiet -show_entries format=duration -of csv=p=0 "$f")
  read -r wd cd < <(best "$decode" "$f")
  read -r wa ca < <(best "$cli" --analyze "$f")
  tw_d=$(awk -v a="$tw_d" -v b="$wd" 'BEGIN {print a+b}'); tw_a=$(awk -v a="$tw_a" -v b="$wa" 'BEGIN {print a+b}')
  tc_d=$(awk -v a="$tc_d" -v b="$cd" 'BEGIN {print a+b}'); tc_a=$(awk -v a="$tc_a" -v b="$ca" 'BEGIN {print a+b}')
  printf '%-26s %8.1f | %9.3f %9.3f %6.3f | %9.3f %9.3f %6.3f\n' "$(basename "$f")" "$secs" \
    "$wd" "$wa" "$(awk -v a="$wa" -v b="$wd" 'BEGIN {print a/b}')" \
    "$cd" "$ca" "$(awk -v a="$ca" -v b="$cd" 'BEGIN {print a/b}')"
done
printf '%-26s %8s | %9.3f %9.3f %6.3f | %9.3f %9.3f %6.3f\n' all "" "$tw_d" "$tw_a" \
  "$(awk -v a="$tw_a" -v b="$tw_d" 'BEGIN {print a/b}')" "$tc_d" "$tc_a" "$(awk -v a="$tc_a" -v b="$tc_d" 'BEGIN {print a/b}')"

longest=$(for f in "${files[@]}"; do echo "$(stat -c %s "$f") $f"; done | sort -n | tail -1 | cut -d' ' -f2-)
mem() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident/ {gsub(/ /,"",$2); print $2}'; }
echo "peak memory (max RSS) for $(basename "$longest"):"
echo "  tempix-cli --analyze: $(mem "$cli" --analyze "$longest") KiB"
echo "  decoding alone:       $(mem "$decode" "$longest") KiB"
"$cli" --analyze "$longest"
