#!/usr/bin/env bash
# A fresh batch with one job against one job per core, and a second run over
# the same tracks, on real-length tracks.
#
#   bench/batch_jobs.sh [BUILD_DIR] [RUNS] [JOBS]
#
# Makes eight tracks of 3 to 4 minutes (MP3 by lame, M4A by ffmpeg: the demo
# tracks of tests/material/make_tracks.py, looped by stream copy) in
# /tmp/tempix-bench-batch. Each of RUNS rounds (default 3) runs tempix-cli
# --no-export over a fresh copy with --jobs 1 and with --jobs JOBS (default:
# the cores), then once more over the copy each left (the second run). Prints
# every run's wall and user+sys CPU seconds, then the medians, the speed-up and
# the second run as a fraction of the first. Other work on the machine shows
# in the figures: run it on a quiet machine, and look at the CPU times too.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
jobs=${3:-$(nproc)}
cli=$build/bin/tempix-cli
[ -x "$cli" ] || { echo "build first: cmake --build $build" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package 'time')" >&2; exit 2; }

work=/tmp/tempix-bench-batch
mkdir -p "$work/tracks"
/usr/bin/python3 tests/material/make_tracks.py --demo "$work/demo" >/dev/null
i=0
for src in "$work"/demo/*.mp3 "$work"/demo/*.m4a "$work"/demo/*.mp3; do
  for n in 1 2; do
    [ $i -lt 8 ] || break
    ext=${src##*.}
    secs=$((180 + i * 8))
    out=$work/tracks/track$i.$ext
    [ -s "$out" ] || ffmpeg -nostdin -v error -y -stream_loop 6 -i "$src" -map 0:a -c copy -t "$secs" "$out"
    i=$((i + 1))
  done
done

# One batch: prints "wall cpu" in seconds.
timed() {
  HOME=$work/home XDG_STATE_HOME=$work/home/state XDG_CONFIG_HOME=$work/home/config \
    /usr/bin/time -o "$work/time" -f "%e %U %S" "$cli" --no-export "$@" >/dev/null 2>&1 || true
  tail -1 "$work/time" | awk '{printf "%.2f %.2f\n", $1, $2 + $3}'
}

median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

: >"$work/results"
for r in $(seq "$runs"); do
  for j in 1 "$jobs"; do
    rm -rf "$work/run"
    cp -r "$work/tracks" "$work/run"
    read -r wall cpu < <(timed --jobs "$j" "$work/run")
    read -r wall2 cpu2 < <(timed --jobs "$j" "$work/run")
    echo "round $r, --jobs $j: first ${wall} s (cpu ${cpu} s), second ${wall2} s (cpu ${cpu2} s)"
    echo "$j $wall $cpu $wall2 $cpu2" >>"$work/results"
  done
done

m() { awk -v j="$1" -v c="$2" '$1 == j {print $c}' "$work/results" | median; }
one=$(m 1 2) many=$(m "$jobs" 2)
echo "audio: $(ls "$work/tracks" | wc -l) tracks, $(for f in "$work"/tracks/*; do ffprobe -v quiet -show_entries format=duration -of csv=p=0 "$f"; done | awk '{s += $1} END {printf "%.1f", s / 60}') minutes"
echo "median first run, --jobs 1: $one s wall, $(m 1 3) s cpu"
echo "median first run, --jobs $jobs: $many s wall, $(m "$jobs" 3) s cpu"
echo "speed-up: $(awk -v a="$one" -v b="$many" 'BEGIN {printf "%.2f", a / b}')x"
echo "median second run, --jobs $jobs: $(m "$jobs" 4) s wall ($(awk -v a="$(m "$jobs" 4)" -v b="$many" 'BEGIN {printf "%.1f", 100 * a / b}')% of the first), $(m "$jobs" 5) s cpu"
echo "median second run, --jobs 1: $(m 1 4) s wall ($(awk -v a="$(m 1 4)" -v b="$one" 'BEGIN {printf "%.1f", 100 * a / b}')% of the first)"
