#!/usr/bin/python3
"""tempix-cli --analyze --json on the generated material, checked against its manifest.

    check_analyze_cli.py TEMPIX_CLI MATERIAL_DIR

Every track's tempo is its known tempo folded into 92..184 BPM (within 1 BPM),
every refused file has its failure line, each line is one JSON object with
exactly the documented keys, the exit status says whether all were analysed,
and no file is changed, byte for byte.
"""
import hashlib
import json
import os
import subprocess
import sys

KEYS = ["path", "sample_rate", "frame_count", "loudness", "peak_level", "beat_period", "start_period",
        "end_period", "first_beat", "last_beat", "bpm", "start_ms", "stop_ms", "less_intro_start_ms",
        "less_intro_stop_ms", "volume", "volume_percent", "library_volume"]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    cli, material = sys.argv[1], sys.argv[2]
    with open(os.path.join(material, "manifest.json")) as f:
        manifest = json.load(f)["files"]
    paths = [os.path.join(material, e["file"]) for e in manifest]
    before = {p: digest(p) for p in paths}

    run = subprocess.run([cli, "--analyze", *paths, "--json"], capture_output=True, text=True, timeout=240)
    check(run.returncode == 1, f"exit status {run.returncode} with refused files among them")
    lines = run.stdout.splitlines()
    check(len(lines) == len(paths), f"{len(lines)} lines for {len(paths)} files")
    by_path = {}
    for line in lines:
        obj = json.loads(line)
        by_path[obj["path"]] = obj

    for entry, path in zip(manifest, paths):
        obj = by_path.get(path)
        name = entry["file"]
        if obj is None:
            failures.append(f"{name}: no output")
            continue
        if entry["outcome"] == "ok":
            check(list(obj.keys()) == KEYS, f"{name}: keys {list(obj.keys())}")
            if "expected_bpm" in entry:
                check(abs(obj["bpm"] - entry["expected_bpm"]) <= 1.0,
                      f"{name}: bpm {obj['bpm']}, known {entry['expected_bpm']}")
            if "sample_rate" in entry:
                check(obj["sample_rate"] == entry["sample_rate"], f"{name}: rate {obj['sample_rate']}")
            check(0 < obj["first_beat"] < obj["last_beat"] <= obj["frame_count"], f"{name}: beat grid {obj}")
        else:
            check(list(obj.keys()) == ["path", "error"], f"{name}: keys {list(obj.keys())}")
            # The line as the manifest has it, then the decoder's reason in words.
            error = obj.get("error") or ""
            opened = not entry["error"].startswith("Could not open")
            check(error == entry["error"] or (not opened and error.startswith(entry["error"] + "\n")
                                               and "The decoder (FFmpeg) says: " in error),
                  f"{name}: error {error!r}")

    for p in paths:
        check(digest(p) == before[p], f"{p} was changed")

    # All good files together: exit 0. The text form goes to standard output too.
    good = [p for e, p in zip(manifest, paths) if e["outcome"] == "ok"][:2]
    run = subprocess.run([cli, "--analyze", *good], capture_output=True, text=True, timeout=120)
    check(run.returncode == 0, f"exit {run.returncode} for good files")
    check(run.stdout.count(" BPM\n") == len(good), "text output has a tempo per file")

    for f in failures:
        print("FAIL:", f)
    print(f"{len(paths)} files, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
