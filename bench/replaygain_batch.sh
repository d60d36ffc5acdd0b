#!/usr/bin/env bash
# CPU time of a fresh batch without and with ReplayGain (sample peak, true
# peak), and of loudgain run after Tempix on the same files (a second
# decoding): what measuring in Tempix's own decoding saves.
#   bench/replaygain_batch.sh [BUILD_DIR] FILE...
# Each run works on fresh copies of the files in a scratch folder.
set -euo pipefail
build=${1:-build}
shift || true
[ $# -gt 0 ] || { echo "usage: $0 BUILD_DIR FILE..." >&2; exit 2; }
cli="$(cd "$build" && pwd)/bin/tempix-cli"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
env=(env HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_STATE_HOME="$scratch/state")

cpu() { # label command...: user + system seconds of the command
  local label=$1
  shift
  /usr/bin/time -f "%U %S" -o "$scratch/time" "$@" > /dev/null 2>&1
  awk -v l="$label" '{ printf "%-44s %6.2f s CPU\n", l, $1 + $2 }' "$scratch/time"
}
fresh() {
  rm -rf "$scratch/music"
  mkdir -p "$scratch/music"
  cp "$@" "$scratch/music/"
}

fresh "$@"
cpu "tempix-cli (no ReplayGain)" "${env[@]}" "$cli" --jobs 1 --no-export --all-genres "$scratch/music"
fresh "$@"
cpu "tempix-cli --replaygain (sample peak)" "${env[@]}" "$cli" --jobs 1 --no-export --all-genres --replaygain \
  "$scratch/music"
fresh "$@"
cpu "tempix-cli --replaygain --true-peak" "${env[@]}" "$cli" --jobs 1 --no-export --all-genres --replaygain \
  --true-peak "$scratch/music"
if command -v loudgain > /dev/null; then
  fresh "$@"
  cpu "loudgain -a -s s after Tempix (true peak)" loudgain -q -a -s s "$scratch"/music/*
fi
