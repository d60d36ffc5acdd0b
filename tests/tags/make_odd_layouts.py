#!/usr/bin/python3
"""Makes tag layouts that other programs write and that are easy to damage.

Usage: make_odd_layouts.py FIXTURES OUTDIR

Starts from the tag fixtures (real encoders and taggers), tags with mutagen,
eyeD3 and ffmpeg, and shapes what no tagger here writes by itself (an empty
frame, an extended header, iTunes' TCP in ID3v2.2, a second tag, header
flags, two media data atoms) with byte edits of the tagged files.
"""
import os
import struct
import subprocess
import sys

import mutagen.id3 as id3

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_tag_fixtures import descend, find, frame22, id3tagged, synchsafe  # noqa: E402

fixtures, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)


def unsafe(b):
    return (b[0] << 21) | (b[1] << 14) | (b[2] << 7) | b[3]

def tagged(name, version, frames, padding=256):
    return id3tagged(os.path.join(fixtures, "notag.mp3"), os.path.join(out, name), version, frames, padding)

def split(path):
    data = open(path, "rb").read()
    size = 10 + unsafe(data[6:10])
    return data[:size], data[size:]

def write(path, header, body, rest):
    open(path, "wb").write(header[:6] + synchsafe(len(body)) + body + rest)

def frames24():
    return [id3.TIT2(encoding=3, text="Odd"), id3.TPE1(encoding=3, text="Layout"),
            id3.APIC(encoding=0, mime="image/png", type=3, desc="", data=b"\x89PNG" + b"\x00" * 60),
            id3.TXXX(encoding=3, desc="MusicBrainz Album Id", text="a0b1c2"), id3.TDRC(encoding=3, text="2001")]

# ID3v2.4 with an empty frame in front of the others.
tag, rest = split(tagged("empty_frame.mp3", 4, frames24()))
write(os.path.join(out, "empty_frame.mp3"), tag, b"PRIV\x00\x00\x00\x00\x00\x00" + tag[10:], rest)

# ID3v2.4 with an extended header (no flags).
tag, rest = split(tagged("extended.mp3", 4, frames24()))
write(os.path.join(out, "extended.mp3"), tag[:5] + bytes([tag[5] | 0x40]), b"\x00\x00\x00\x06\x01\x00" + tag[10:], rest)

# ID3v2.2 with iTunes' compilation frame TCP, which id3lib does not know.
body = (frame22(b"TT2", b"\x00Twenty Two") + frame22(b"TCP", b"\x001") + frame22(b"TP1", b"\x00After TCP") +
        frame22(b"TBP", b"\x0090") + frame22(b"COM", b"\x00eng\x00kept") + b"\x00" * 128)
audio = open(os.path.join(fixtures, "notag.mp3"), "rb").read()
write(os.path.join(out, "v22_tcp.mp3"), b"ID3\x02\x00\x00", body, audio)

# Two ID3v2 tags in a row: the second holds the picture, IDs, date and genre.
first, _ = split(tagged("first.mp3", 3, [id3.TIT2(encoding=0, text="First tag")], padding=64))
second, rest = split(tagged("second.mp3", 3, [id3.APIC(encoding=0, mime="image/jpeg", type=3, desc="", data=b"\xff\xd8" + b"\x01" * 40),
                                               id3.TXXX(encoding=0, desc="MusicBrainz Artist Id", text="1234"),
                                               id3.TYER(encoding=0, text="1999"), id3.TCON(encoding=0, text="Jazz")], padding=0))
open(os.path.join(out, "two_tags.mp3"), "wb").write(first + second + rest)
os.remove(os.path.join(out, "first.mp3"))
os.remove(os.path.join(out, "second.mp3"))

# ID3v2.3 with another program's object and a Latin-1 ID3v1 tag that holds
# more than the ID3v2 tag.
path = tagged("with_v1.mp3", 3, [id3.TIT2(encoding=0, text="Tïtle"),
                                 id3.GEOB(encoding=0, mime="application/x-foo", filename="f", desc="other.owner",
                                          data=b"xyz")])
subprocess.run(["id3v2", "-1", "-t", "Only in v1", "-c", "v1 comment", path], check=True, stdout=subprocess.DEVNULL)
data = bytearray(open(path, "rb").read())
data[-125:-95] = "Tïtle".encode("latin-1").ljust(30, b"\x00")
open(path, "wb").write(data)

# ID3v2.3 marked unsynchronised, and a header with every flag set.
def unsynchronised(body):
    out = bytearray()
    for i, b in enumerate(body):
        out.append(b)
        if b == 0xFF and (i + 1 == len(body) or body[i + 1] >= 0xE0 or body[i + 1] == 0):
            out.append(0)
    return bytes(out)
tag, rest = split(tagged("unsync.mp3", 3, [id3.TIT2(encoding=0, text="Unsync"), id3.TYER(encoding=0, text="1998"),
                                            id3.TDAT(encoding=0, text="0112"), id3.TIME(encoding=0, text="1200"),
                                            id3.APIC(encoding=0, mime="image/jpeg", type=3, desc="",
                                                     data=b"\xff\xd8\xff\xe0\x00\x10JFIF\xff\x00\xff")]))
write(os.path.join(out, "unsync.mp3"), tag[:5] + b"\x80", unsynchronised(tag[10:]), rest)
tag, rest = split(tagged("flags_ff.mp3", 3, [id3.TIT2(encoding=0, text="Flags")]))
write(os.path.join(out, "flags_ff.mp3"), tag[:5] + b"\xff", tag[10:], rest)

# Fragmented MP4 with the brand "M4A ".
subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=330:duration=3", "-c:a", "aac",
                "-movflags", "frag_keyframe+empty_moov", "-brand", "M4A ", os.path.join(out, "fragmented.m4a")], check=True)

# An 'mdat' in front of 'moov' and another behind it, each with half the chunks.
data = open(os.path.join(fixtures, "tail.m4a"), "rb").read()
mdat, mdat_size = find(data, 0, len(data), b"mdat")
moov, moov_size = find(data, 0, len(data), b"moov")
stco, s = descend(data, b"moov", b"trak", b"mdia", b"minf", b"stbl", b"stco")
count = struct.unpack(">I", data[stco + 12:stco + 16])[0]
offsets = [struct.unpack(">I", data[stco + 16 + 4 * i:stco + 20 + 4 * i])[0] for i in range(count)]
cut = offsets[count // 2]
head = data[:mdat]
part1 = data[mdat + 8:cut]
part2 = data[cut:mdat + mdat_size]
moov_bytes = bytearray(data[moov:moov + moov_size])
mdat2 = len(head) + 8 + len(part1) + moov_size
for i, o in enumerate(offsets):
    new = o if o < cut else mdat2 + 8 + (o - cut)
    struct.pack_into(">I", moov_bytes, stco - moov + 16 + 4 * i, new)
open(os.path.join(out, "two_mdat.m4a"), "wb").write(
    head + struct.pack(">I", len(part1) + 8) + b"mdat" + part1 + bytes(moov_bytes) +
    struct.pack(">I", len(part2) + 8) + b"mdat" + part2)
