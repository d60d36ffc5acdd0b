#!/usr/bin/python3
"""Makes a small music library for the script tests: real audio files encoded
by ffmpeg, tagged by mutagen, and a library file in the desktop player's own
layout (one entry per line, entity references, %-escaped locations).

usage: make_library.py OUTDIR
Prints one line per track: track-id persistent-id path
"""
import math, os, subprocess, sys, urllib.parse

from mutagen.id3 import ID3, TBPM, RVA2, RVAD
from mutagen.mp4 import MP4

out = os.path.abspath(sys.argv[1])
music = os.path.join(out, "Music & \"Stuff\"")
os.makedirs(music, exist_ok=True)


def encode(name, codec):
    path = os.path.join(music, name)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=1", "-ac", "2", "-c:a", codec,
                    "-b:a", "64k", path], check=True)
    return path


def id3tag(path, version, *frames):
    t = ID3()
    for frame in frames:
        t.add(frame)
    t.save(path, v2_version=version)
    return path


def rva2index(rva):
    # relative volume (amplitude 1 + rva/65535) to 1/512 dB
    return int(math.floor(10240 * math.log10(1 + rva / 65535.0) + 0.5))


# ID3v2.4 with TBPM and an RVA2 master volume; ID3v2.3 with TBPM and an RVAD of
# both channels; MP4 with tmpo; an MP3 without any tag.
mp4 = encode("three.m4a", "aac")
m = MP4(mp4)
m["tmpo"] = [128]
m.save()
tracks = [(101, "00AB00CD00EF0012", id3tag(encode("one.mp3", "libmp3lame"), 4, TBPM(encoding=3, text=["120"]),
                                           RVA2(desc="", channel=1, gain=rva2index(1000) / 512.0, peak=0.0)), "File"),
          (102, "1234567890ABCDEF", id3tag(encode("two & more.mp3", "libmp3lame"), 3, TBPM(encoding=1, text=["98"]),
                                           RVAD(adjustments=[-1000, -1000, 0, 0])), "File"),
          (103, "0000000000000ABC", mp4, "File"),
          (104, "FEDCBA9876543210", encode("four.mp3", "libmp3lame"), "File")]


def xmltext(s):
    return s.replace("&", "&#38;").replace("<", "&#60;").replace(">", "&#62;").replace('"', "&#34;")


def kv(depth, key, kind, value=None):
    """One key and its value on a line, as the player writes them."""
    return "\t" * depth + "<key>%s</key>" % key + ("<%s/>" % kind if value is None else "<%s>%s</%s>" % (kind, value, kind))


def entry(tid, lines):
    return ["\t\t<key>%d</key>" % tid, "\t\t<dict>", kv(3, "Track ID", "integer", tid)] + lines + ["\t\t</dict>"]


def playlist(name, pid, ids, master=False):
    lines = ["\t\t<dict>", kv(3, "Name", "string", name)] + ([kv(3, "Master", "true")] if master else [])
    lines += [kv(3, "Playlist ID", "integer", pid), "\t\t\t<key>Playlist Items</key>", "\t\t\t<array>"]
    for tid in ids:
        lines += ["\t\t\t\t<dict>", kv(5, "Track ID", "integer", tid), "\t\t\t\t</dict>"]
    return lines + ["\t\t\t</array>", "\t\t</dict>"]


lines = ['<?xml version="1.0" encoding="UTF-8"?>',
         '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">',
         '<plist version="1.0">', "<dict>",
         kv(1, "Major Version", "integer", 1), kv(1, "Minor Version", "integer", 1),
         kv(1, "Date", "date", "2026-01-02T03:04:05Z"), kv(1, "Application Version", "string", "9.2.1"),
         kv(1, "Show Content Ratings", "true"), kv(1, "Music Folder", "string", "file://localhost/music/"),
         "\t<key>Tracks</key>", "\t<dict>"]
for tid, pid, path, kind in tracks:
    body = [kv(3, "Name", "string", xmltext(os.path.basename(path))), kv(3, "Kind", "string", "MPEG audio file"),
            kv(3, "Size", "integer", os.path.getsize(path)), kv(3, "Total Time", "integer", 1000)]
    if tid == 102:
        body += [kv(3, "Start Time", "integer", 5), kv(3, "BPM", "integer", 7)]
    body += [kv(3, "Date Added", "date", "2026-01-02T03:04:05Z"), kv(3, "Compilation", "false"),
             kv(3, "Persistent ID", "string", pid), kv(3, "Track Type", "string", kind),
             kv(3, "Location", "string", xmltext("file://localhost" + urllib.parse.quote(path))),
             kv(3, "File Folder Count", "integer", -1)]
    lines += entry(tid, body)
# a stream: no file track
lines += entry(105, [kv(3, "Name", "string", "Radio"), kv(3, "Persistent ID", "string", "5555555555555555"),
                     kv(3, "Track Type", "string", "URL"),
                     kv(3, "Location", "string", "http://example.invalid/stream")])
lines += ["\t</dict>", "\t<key>Playlists</key>", "\t<array>"]
lines += playlist("Library", 200, [101, 102, 103, 104, 105], master=True) + playlist("Other", 201, [103])
lines += ["\t</array>", "</dict>", "</plist>"]
with open(os.path.join(out, "iTunes Music Library.xml"), "w", encoding="utf-8") as f:
    f.write("\n".join(lines) + "\n")
for tid, pid, path, kind in tracks:
    print(tid, pid, path)
