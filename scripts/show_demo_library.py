#!/usr/bin/python3
"""Prints what the library file now holds for each demo track."""
import plistlib
import sys

with open(sys.argv[1], "rb") as f:
    library = plistlib.load(f)
print("%-28s %5s %10s %10s %8s" % ("track", "BPM", "start ms", "stop ms", "volume"))
for track in library["Tracks"].values():
    print("%-28s %5s %10s %10s %8s" % (track.get("Name", "?")[:28], track.get("BPM", "-"),
                                       track.get("Start Time", "-"), track.get("Stop Time", "-"),
                                       track.get("Volume Adjustment", "-")))
