#!/usr/bin/env bash
# How long the desktop application takes to end after a termination signal
# (what a logout sends, and what Quit does without asking): idle, and in the
# middle of a batch over five-minute tracks, where the batch is cancelled and
# waited for and the settings are saved. Runs under Xvfb.
#
#   bench/quit_time.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
app=$build/bin/tempix
[ -x "$app" ] || { echo "build first: cmake --build $build" >&2; exit 2; }

work=/tmp/tempix-quit-bench
mkdir -p "$work/tracks"
/usr/bin/python3 tests/material/make_tracks.py --demo "$work/demo" >/dev/null
# Thirty five-minute tracks: a batch of half a minute or more.
for name in "Morning Drive.mp3" "Slow Tide.m4a" "Night Runner.mp3"; do
  long="$work/long ${name}"
  [ -s "$long" ] || ffmpeg -nostdin -v error -y -stream_loop 6 -i "$work/demo/$name" -map 0:a "$long"
  for n in 0 1 2 3 4 5 6 7 8 9; do
    [ -s "$work/tracks/$n $name" ] || cp "$long" "$work/tracks/$n $name"
  done
done

cat > "$work/run.sh" <<'RUN'
set -u
work=$1 app=$2 batch=$3
export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state"
rm -rf "$HOME"; mkdir -p "$XDG_CONFIG_HOME" "$HOME/Music" "$work/shots"
printf '[General]\nsource=3\npath=%s\nreprocess=1\nadjustvolume=1\nexport=0\n' "$work/tracks" \
  > "$XDG_CONFIG_HOME/com.quillfen.tempix.conf"
if [ "$batch" = 1 ]; then
  # The screenshot run starts a batch 0.8 s after the window shows.
  "$app" --screenshots "$work/shots" >/dev/null 2>&1 & pid=$!
  sleep 3
else
  "$app" >/dev/null 2>&1 & pid=$!
  sleep 2
fi
start=$(date +%s%N)
kill -TERM "$pid"
wait "$pid"; status=$?
end=$(date +%s%N)
saved=no
grep -q '^reprocess=1' "$XDG_CONFIG_HOME/com.quillfen.tempix.conf" && grep -q '^detectbpm=' "$XDG_CONFIG_HOME/com.quillfen.tempix.conf" && saved=yes
log="$XDG_STATE_HOME/tempix/Tempix.log"
begun=$(grep -c '^Processing: ' "$log" 2>/dev/null); done=$(grep -c '^Track updated' "$log" 2>/dev/null)
echo "$(( (end - start) / 1000000 )) $status $saved ${begun:-0} ${done:-0}"
RUN

for batch in 0 1; do
  label=$([ $batch = 1 ] && echo "during a batch" || echo "idle")
  best=""
  for i in 1 2 3; do
    read -r ms status saved begun done < <(xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/run.sh" "$work" "$PWD/$app" $batch 2>/dev/null)
    [ -z "$best" ] || [ "$ms" -lt "$best" ] && best=$ms
    echo "  $label, run $i: ${ms} ms, exit status $status, settings saved: $saved, tracks begun $begun, finished $done"
  done
  echo "$label: best ${best} ms from SIGTERM to the end of the process"
done
