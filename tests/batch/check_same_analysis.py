#!/usr/bin/python3
"""Two builds' analyses of the generated material, compared byte for byte.

    check_same_analysis.py THIS_DUMP OTHER_DUMP MATERIAL_DIR

Each DUMP is an analysis_dump program; every file of the material's manifest
(tracks and refused files alike) is analysed by both.
"""
import json
import os
import subprocess
import sys


def main():
    this, other, material = sys.argv[1:4]
    with open(os.path.join(material, "manifest.json")) as f:
        files = [os.path.join(material, e["file"]) for e in json.load(f)["files"]]
    outputs = [subprocess.run([dump, *files], capture_output=True, text=True, timeout=600, check=True).stdout
               for dump in (this, other)]
    lines = [o.splitlines() for o in outputs]
    for output in lines:
        if len(output) != len(files):
            print(f"FAIL: {len(output)} lines for {len(files)} files")
            return 1
    differing = [(a, b) for a, b in zip(*lines) if a != b]
    for a, b in differing:
        print(f"FAIL:\n  this:  {a}\n  other: {b}")
    analysed = sum("\tok\t" in line for line in lines[0])
    print(f"{len(files)} files ({analysed} analysed), {len(differing)} differ")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
