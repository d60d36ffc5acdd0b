#!/usr/bin/python3
"""Prints what mutagen reads from an audio file, one "key=value" line each.

MP3: the ID3 version and every frame (texts joined with "/", binary data in
hex). M4A: every 'ilst' item, the children of 'udta' with their sizes and the
content of any atom that is not 'meta', and the sizes of the metadata
containers and their 'free' children. FLAC, Ogg Vorbis, Opus: the vendor
string, every comment field in order, and (FLAC) the padding and a hash of
every other metadata block.

With --track, then, as another program sees the track: "bpm" and "genre", and the 64-byte
data record found where each tag keeps it (an ID3 GEOB or comment frame, an
MP4 atom in moov/udta, Base64 in the Vorbis comment TEMPIX_ANALYSIS of FLAC,
Ogg Vorbis and Opus), decoded field by field as "record_..." lines.
"""
import base64
import hashlib
import struct
import sys

import mutagen
from mutagen.flac import FLAC, Padding

import mutagen.id3 as id3
from mutagen.mp4 import MP4, Atoms

OWNER = "com.quillfen.tempix.trackdata"
FIELDS = ["flags", "sample_rate", "frame_count", "loudness", "peak_level", "beat_period",
          "start_period", "end_period", "first_beat", "last_beat"]
track = {}  # what the summary lines say


def record(data):
    if len(data) != 64:
        track["record_raw"] = data.hex()
        return
    size, version = struct.unpack(">IB", data[:5])
    bpm, start, stop, volume = struct.unpack(">Iiii", data[48:64])
    track.update({"record_size": size, "record_version": version})
    track.update({"record_" + k: v for k, v in zip(FIELDS, struct.unpack(">10I", data[8:48]))})
    track.update({"record_bpm": bpm, "record_start_ms": start, "record_stop_ms": stop, "record_volume": volume,
                  "record_raw": data.hex()})


def mp3(path):
    try:
        tags = id3.ID3(path, translate=False)
    except id3.ID3NoHeaderError:
        print("version=none")
        return
    print("version=2.%d" % tags.version[1])
    if "TBPM" in tags:
        track["bpm"] = int(float(str(tags["TBPM"].text[0])))
    if "TCON" in tags:
        track["genre"] = str(tags["TCON"].text[0])
    for frame in tags.getall("GEOB"):
        if frame.desc == OWNER:
            record(frame.data)
    for frame in tags.getall("COMM"):
        if frame.desc == OWNER:
            # Written without "=" padding: the last group is filled with zero
            # bits, so the text decodes to 66 bytes of which 64 are the record.
            record(base64.b64decode(str(frame.text[0]))[:64])
    for frame in tags.getall("RVA2"):
        track["rva2"] = frame.gain
    for frame in tags.values():
        fid = frame.FrameID
        if fid == "TXXX":
            print("TXXX:%s=%s" % (frame.desc, "/".join(str(t) for t in frame.text)))
        elif fid == "COMM":
            print("COMM:%s:%s=%s" % (frame.desc, frame.lang, "/".join(frame.text)))
            print("COMM:%s.encoding=%d" % (frame.desc, int(frame.encoding)))
        elif isinstance(frame, id3.TextFrame):
            print("%s=%s" % (fid, "/".join(str(t) for t in frame.text)))
            print("%s.encoding=%d" % (fid, int(frame.encoding)))
        elif fid == "RVA2":
            print("RVA2:%s:%d=%d" % (frame.desc, frame.channel, round(frame.gain * 512)))
        elif fid == "RVAD":
            print("RVAD=%s" % ",".join(str(a) for a in frame.adjustments))
        elif fid == "GEOB":
            print("GEOB:%s=%s" % (frame.desc, frame.data.hex()))
            print("GEOB:%s.mime=%s" % (frame.desc, frame.mime))
        elif fid in ("APIC", "PIC"):
            print("APIC.mime=%s" % frame.mime)
            print("APIC.data=%s" % frame.data.hex())
        elif hasattr(frame, "data"):
            print("%s:%s=%s" % (fid, getattr(frame, "owner", ""), frame.data.hex()))
        else:
            print("%s=?" % fid)

def m4a(path):
    f = MP4(path)
    for key, value in (f.tags or {}).items():
        print("%s=%s" % (key, "/".join(v.decode("utf-8", "replace") if isinstance(v, bytes) else str(v)
                                        for v in value)))
    if "tmpo" in (f.tags or {}):
        track["bpm"] = int(f.tags["tmpo"][0])
    if "\xa9gen" in (f.tags or {}):
        track["genre"] = str(f.tags["\xa9gen"][0])
    with open(path, "rb") as fh:
        atoms = Atoms(fh)
        print("moov.size=%d" % atoms[b"moov"].length)
        if b"moov.udta" in atoms:
            udta = atoms.path(b"moov", b"udta")[-1]
            print("udta.size=%d" % udta.length)
            for child in udta.children or []:
                print("udta.%s.size=%d" % (child.name.decode("latin-1"), child.length))
                if child.name not in (b"meta", b"free"):
                    fh.seek(child.offset + 8)
                    data = fh.read(child.length - 8)
                    print("udta.%s=%s" % (child.name.decode("latin-1"), data.hex()))
                    if child.name == b"Tpix":
                        record(data)
        if b"moov.udta.meta" in atoms:
            meta = atoms.path(b"moov", b"udta", b"meta")[-1]
            print("meta.size=%d" % meta.length)
            for child in meta.children or []:
                print("meta.%s.size=%d" % (child.name.decode("latin-1"), child.length))
        if b"moov.udta.meta.ilst" in atoms:
            ilst = atoms.path(b"moov", b"udta", b"meta", b"ilst")[-1]
            print("ilst.children=%s" % ",".join(c.name.decode("latin-1") for c in ilst.children or []))
            for child in ilst.children or []:
                if child.name == b"free":
                    print("ilst.free.size=%d" % child.length)

def xiph(path):
    f = mutagen.File(path)
    print("vendor=%s" % f.tags.vendor)
    for i, (key, value) in enumerate(f.tags):
        if len(value) > 200:
            value = "sha1:" + hashlib.sha1(value.encode()).hexdigest()
        print("field.%d=%s=%s" % (i, key, value))
    for key in ("BPM", "TEMPIX_ANALYSIS"):
        if key in f.tags:
            print("tag.%s=%s" % (key, "/".join(f.tags[key])))
    if isinstance(f, FLAC):
        print("padding=%d" % sum(b.length for b in f.metadata_blocks if b.code == Padding.code))
        for i, b in enumerate(b for b in f.metadata_blocks if b.code not in (Padding.code, 4)):
            print("block.%d=%d:%s" % (i, b.code, hashlib.sha1(b.write()).hexdigest()))
    if "bpm" in f.tags:
        track["bpm"] = int(float(f.tags["bpm"][0]))
    if "genre" in f.tags:
        track["genre"] = f.tags["genre"][0]
    if "tempix_analysis" in f.tags:
        record(base64.b64decode(f.tags["tempix_analysis"][0] + "==")[:64])


path = sys.argv[-1]
if path.lower().endswith(".mp3"):
    mp3(path)
elif path.lower().endswith((".flac", ".ogg", ".oga", ".opus")):
    xiph(path)
else:
    m4a(path)
for key, value in track.items() if "--track" in sys.argv[1:-1] else ():
    print("%s=%s" % (key, value))
