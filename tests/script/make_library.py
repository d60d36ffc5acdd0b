#!/usr/bin/python3
"""Makes a small music library for the script tests: real audio files encoded
by ffmpeg, tagged by mutagen, and a library file in the desktop player's own
layout (one entry per line, entity references, %-escaped locations).

usage: make_library.py OUTDIR
Prints one line per track: track-id persistent-id path
"""
import math
import os
import subprocess
import sys
import urllib.parse

from mutagen.id3 import ID3, TBPM, RVA2, RVAD, ID3NoHeaderError
from mutagen.mp4 import MP4

out = os.path.abspath(sys.argv[1])
music = os.path.join(out, "Music & \"Stuff\"")
os.makedirs(music, exist_ok=True)


def encode(path, codec):
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=1", "-ac", "2", "-c:a", codec,
                    "-b:a", "64k", path], check=True)


def rva2index(rva):
    # relative volume (amplitude 1 + rva/65535) to 1/512 dB
    return int(math.floor(10240 * math.log10(1 + rva / 65535.0) + 0.5))


tracks = []
# 1: ID3v2.4 with TBPM and an RVA2 master volume
p = os.path.join(music, "one.mp3")
encode(p, "libmp3lame")
t = ID3()
t.add(TBPM(encoding=3, text=["120"]))
t.add(RVA2(desc="", channel=1, gain=rva2index(1000) / 512.0, peak=0.0))
t.save(p, v2_version=4)
tracks.append((101, "00AB00CD00EF0012", p, "File"))
# 2: ID3v2.3 with TBPM and an RVAD of both channels
p = os.path.join(music, "two & more.mp3")
encode(p, "libmp3lame")
t = ID3()
t.add(TBPM(encoding=1, text=["98"]))
t.add(RVAD(adjustments=[-1000, -1000, 0, 0]))
t.save(p, v2_version=3)
tracks.append((102, "1234567890ABCDEF", p, "File"))
# 3: MP4 with tmpo
p = os.path.join(music, "three.m4a")
encode(p, "aac")
m = MP4(p)
m["tmpo"] = [128]
m.save()
tracks.append((103, "0000000000000ABC", p, "File"))
# 4: an MP3 without any tag
p = os.path.join(music, "four.mp3")
encode(p, "libmp3lame")
tracks.append((104, "FEDCBA9876543210", p, "File"))


def xmltext(s):
    return s.replace("&", "&#38;").replace("<", "&#60;").replace(">", "&#62;").replace('"', "&#34;")


lines = ['<?xml version="1.0" encoding="UTF-8"?>',
         '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">',
         '<plist version="1.0">',
         '<dict>',
         '\t<key>Major Version</key><integer>1</integer>',
         '\t<key>Minor Version</key><integer>1</integer>',
         '\t<key>Date</key><date>2026-01-02T03:04:05Z</date>',
         '\t<key>Application Version</key><string>9.2.1</string>',
         '\t<key>Show Content Ratings</key><true/>',
         '\t<key>Music Folder</key><string>file://localhost/music/</string>',
         '\t<key>Tracks</key>',
         '\t<dict>']
for tid, pid, path, kind in tracks:
    name = os.path.basename(path)
    url = "file://localhost" + urllib.parse.quote(path)
    lines += ['\t\t<key>%d</key>' % tid,
              '\t\t<dict>',
              '\t\t\t<key>Track ID</key><integer>%d</integer>' % tid,
              '\t\t\t<key>Name</key><string>%s</string>' % xmltext(name),
              '\t\t\t<key>Kind</key><string>MPEG audio file</string>',
              '\t\t\t<key>Size</key><integer>%d</integer>' % os.path.getsize(path),
              '\t\t\t<key>Total Time</key><integer>1000</integer>']
    if tid == 102:
        lines += ['\t\t\t<key>Start Time</key><integer>5</integer>',
                  '\t\t\t<key>BPM</key><integer>7</integer>']
    lines += ['\t\t\t<key>Date Added</key><date>2026-01-02T03:04:05Z</date>',
              '\t\t\t<key>Compilation</key><false/>',
              '\t\t\t<key>Persistent ID</key><string>%s</string>' % pid,
              '\t\t\t<key>Track Type</key><string>%s</string>' % kind,
              '\t\t\t<key>Location</key><string>%s</string>' % xmltext(url),
              '\t\t\t<key>File Folder Count</key><integer>-1</integer>',
              '\t\t</dict>']
# a stream: no file track
lines += ['\t\t<key>105</key>',
          '\t\t<dict>',
          '\t\t\t<key>Track ID</key><integer>105</integer>',
          '\t\t\t<key>Name</key><string>Radio</string>',
          '\t\t\t<key>Persistent ID</key><string>5555555555555555</string>',
          '\t\t\t<key>Track Type</key><string>URL</string>',
          '\t\t\t<key>Location</key><string>http://example.invalid/stream</string>',
          '\t\t</dict>',
          '\t</dict>',
          '\t<key>Playlists</key>',
          '\t<array>',
          '\t\t<dict>',
          '\t\t\t<key>Name</key><string>Library</string>',
          '\t\t\t<key>Master</key><true/>',
          '\t\t\t<key>Playlist ID</key><integer>200</integer>',
          '\t\t\t<key>Playlist Items</key>',
          '\t\t\t<array>']
for tid in [101, 102, 103, 104, 105]:
    lines += ['\t\t\t\t<dict>', '\t\t\t\t\t<key>Track ID</key><integer>%d</integer>' % tid, '\t\t\t\t</dict>']
lines += ['\t\t\t</array>',
          '\t\t</dict>',
          '\t\t<dict>',
          '\t\t\t<key>Name</key><string>Other</string>',
          '\t\t\t<key>Playlist ID</key><integer>201</integer>',
          '\t\t\t<key>Playlist Items</key>',
          '\t\t\t<array>',
          '\t\t\t\t<dict>', '\t\t\t\t\t<key>Track ID</key><integer>103</integer>', '\t\t\t\t</dict>',
          '\t\t\t</array>',
          '\t\t</dict>',
          '\t</array>',
          '</dict>',
          '</plist>']
with open(os.path.join(out, "iTunes Music Library.xml"), "w", encoding="utf-8") as f:
    f.write("\n".join(lines) + "\n")
for tid, pid, path, kind in tracks:
    print(tid, pid, path)
