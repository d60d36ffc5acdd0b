#!/usr/bin/python3
"""Writes a music library file that lists the demo tracks, in the desktop
player's layout (one entry per line, %-escaped file URLs), so that the demo can
run library and playlist batches.

usage: make_demo_library.py MUSICDIR LIBRARYFILE
"""
import os
import sys
import urllib.parse
from xml.sax.saxutils import escape

music, library = (os.path.abspath(a) for a in sys.argv[1:3])
files = sorted(os.path.join(d, f) for d, _, names in os.walk(music) for f in names
               if f.lower().endswith((".mp3", ".m4a")))
if not files:
    sys.exit("no demo tracks in " + music)

lines = ['<?xml version="1.0" encoding="UTF-8"?>',
         '<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">',
         '<plist version="1.0">',
         '<dict>',
         '\t<key>Major Version</key><integer>1</integer>',
         '\t<key>Minor Version</key><integer>1</integer>',
         '\t<key>Application Version</key><string>9.2.1</string>',
         '\t<key>Tracks</key>',
         '\t<dict>']
ids = []
for n, path in enumerate(files):
    tid = 1000 + 2 * n
    ids.append(tid)
    url = "file://localhost" + urllib.parse.quote(path)
    kind = "AAC audio file" if path.lower().endswith(".m4a") else "MPEG audio file"
    lines += ['\t\t<key>%d</key>' % tid,
              '\t\t<dict>',
              '\t\t\t<key>Track ID</key><integer>%d</integer>' % tid,
              '\t\t\t<key>Name</key><string>%s</string>' % escape(os.path.splitext(os.path.basename(path))[0]),
              '\t\t\t<key>Kind</key><string>%s</string>' % kind,
              '\t\t\t<key>Persistent ID</key><string>%016X</string>' % (0x7E3A000000000000 + tid),
              '\t\t\t<key>Track Type</key><string>File</string>',
              '\t\t\t<key>Location</key><string>%s</string>' % escape(url),
              '\t\t</dict>']
lines += ['\t</dict>', '\t<key>Playlists</key>', '\t<array>']
for name, members in (("Library", ids), ("Demo Party", ids[:2])):
    lines += ['\t\t<dict>',
              '\t\t\t<key>Name</key><string>%s</string>' % escape(name),
              '\t\t\t<key>Playlist Items</key>',
              '\t\t\t<array>']
    for tid in members:
        lines += ['\t\t\t\t<dict>', '\t\t\t\t\t<key>Track ID</key><integer>%d</integer>' % tid, '\t\t\t\t</dict>']
    lines += ['\t\t\t</array>', '\t\t</dict>']
lines += ['\t</array>', '</dict>', '</plist>']

os.makedirs(os.path.dirname(library), exist_ok=True)
with open(library, "w", encoding="utf-8") as f:
    f.write("\n".join(lines) + "\n")
