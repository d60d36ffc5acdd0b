#!/usr/bin/env bash
# Peak memory of analysing a 60-minute track against decoding it alone.
#
#   bench/long_track_memory.sh [BUILD_DIR] [RUNS] [FILE...]
#
# Without files it makes a 60-minute stereo MP3 and M4A at 44100 Hz in
# /tmp/tempix-bench-long by looping a demo track (stream copy, so it takes
# seconds). Each file is, RUNS times (default 5), analysed with
# `tempix-cli --analyze`, decoded by the plain decoder program (same FFmpeg
# libraries) and read through Tempix's own decoder and down-mix by the same
# program (`--tempix`). It prints the lowest, middle and highest maximum
# resident memory of each, the differences of the middle values, and the CPU
# times. For scale it also prints what tempix-cli and the decoder program hold
# once their libraries are loaded, before they read anything.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
shift 2 || shift $# || true
cli=$build/bin/tempix-cli
decode=$build/bench/tempix-bench-decode
[ -x "$cli" ] && [ -x "$decode" ] || { echo "build first: cmake -S . -B $build -DTEMPIX_BUILD_BENCH=ON && cmake --build $build" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package 'time')" >&2; exit 2; }

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  work=/tmp/tempix-bench-long
  mkdir -p "$work"
  /usr/bin/python3 tests/material/make_tracks.py --demo "$work/demo" >/dev/null
  for ext in mp3 m4a; do
    src=$(ls "$work"/demo/*."$ext" | head -1)
    out=$work/sixty_min_stereo44.$ext
    # Enough loops of the demo track for an hour, cut at exactly 60 minutes.
    secs=$(ffprobe -v quiet -show_entries format=duration -of csv=p=0 "$src")
    loops=$(awk -v s="$secs" 'BEGIN {print int(3600 / s) + 1}')
    [ -s "$out" ] || ffmpeg -nostdin -v error -y -stream_loop "$loops" -i "$src" -map 0:a -c copy -t 3600 "$out"
    files+=("$out")
  done
fi

# "maxrss_kib cpu_seconds" of one run.
measure() {
  local out
  out=$(mktemp)
  /usr/bin/time -f '%M %U %S' -o "$out" "$@" >/dev/null 2>&1 || true
  awk '{printf "%d %.2f\n", $1, $2 + $3}' "$out"
  rm -f "$out"
}

# Lowest, middle and highest of the numbers on standard input.
spread() { sort -n | awk '{v[NR]=$1} END {printf "%d %d %d\n", v[1], v[int((NR+1)/2)], v[NR]}'; }

# What a program holds with its libraries loaded: it is stopped while it waits
# to open a named pipe.
startup() {
  local fifo pid kib
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  "$@" "$fifo" >/dev/null 2>&1 &
  pid=$!
  sleep 1
  kib=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
  : >"$fifo"  # let it go on; it finds nothing to read
  wait "$pid" || true
  rm -f "$fifo"
  echo "$kib"
}

echo "maximum resident memory in KiB (lowest middle highest of $runs runs), CPU seconds (middle)"
for f in "${files[@]}"; do
  secs=$(ffprobe -v quiet -show_entries format=duration -of csv=p=0 "$f")
  ana=(); dec=(); own=(); anacpu=(); deccpu=(); owncpu=()
  for _ in $(seq "$runs"); do
    read -r k c < <(measure "$cli" --analyze "$f"); ana+=("$k"); anacpu+=("$c")
    read -r k c < <(measure "$decode" "$f"); dec+=("$k"); deccpu+=("$c")
    read -r k c < <(measure "$decode" --tempix "$f"); own+=("$k"); owncpu+=("$c")
  done
  read -r alo amid ahi < <(printf '%s\n' "${ana[@]}" | spread)
  read -r dlo dmid dhi < <(printf '%s\n' "${dec[@]}" | spread)
  read -r olo omid ohi < <(printf '%s\n' "${own[@]}" | spread)
  middle() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
  ac=$(printf '%s\n' "${anacpu[@]}" | middle)
  dc=$(printf '%s\n' "${deccpu[@]}" | middle)
  oc=$(printf '%s\n' "${owncpu[@]}" | middle)
  printf '%s (%.0f s)\n' "$(basename "$f")" "$secs"
  printf '  analysis               %7d %7d %7d   cpu %6.2f s\n' "$alo" "$amid" "$ahi" "$ac"
  printf '  decoding alone         %7d %7d %7d   cpu %6.2f s\n' "$dlo" "$dmid" "$dhi" "$dc"
  printf '  Tempix decoder alone   %7d %7d %7d   cpu %6.2f s\n' "$olo" "$omid" "$ohi" "$oc"
  mib() { awk -v a="$1" -v d="$2" 'BEGIN {printf "%d KiB (%.1f MiB)", a - d, (a - d) / 1024}'; }
  printf '  analysis - decoding alone: %s, cpu ratio %.2f\n' "$(mib "$amid" "$dmid")" \
    "$(awk -v a="$ac" -v d="$dc" 'BEGIN {print (d > 0 ? a / d : 0)}')"
  printf '  analysis - Tempix decoder alone: %s\n' "$(mib "$amid" "$omid")"
done
echo "with the libraries loaded, before reading: tempix-cli $(startup "$cli" --analyze) KiB," \
  "decoder $(startup "$decode") KiB"
