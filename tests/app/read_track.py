#!/usr/bin/python3
"""Prints, one "key=value" a line, what a track's tag holds as another program sees it:
BPM, genre and volume through mutagen, and the 64-byte data record, found
the way each tag keeps it (an ID3 GEOB or comment frame, an MP4 atom in
moov/udta, Base64 in the Vorbis comment TEMPIX_ANALYSIS of FLAC, Ogg Vorbis
and Opus) and decoded field by field.

    read_track.py FILE
"""
import base64
import struct
import sys

import mutagen
from mutagen.id3 import ID3, ID3NoHeaderError
from mutagen.mp4 import MP4

OWNER = "com.quillfen.tempix.trackdata"
FIELDS = ["sample_rate", "frame_count", "loudness", "peak_level", "beat_period",
          "start_period", "end_period", "first_beat", "last_beat"]


def decode(data):
    if data is None or len(data) != 64:
        return None if data is None else {"raw": data.hex()}
    size, version = struct.unpack(">IB", data[:5])
    values = struct.unpack(">I9I", data[8:48])
    bpm, start, stop, volume = struct.unpack(">Iiii", data[48:64])
    record = {"size": size, "version": version, "flags": values[0], "bpm": bpm,
              "start_ms": start, "stop_ms": stop, "volume": volume, "raw": data.hex()}
    record.update(dict(zip(FIELDS, values[1:])))
    return record


def mp3(path):
    out = {"bpm": None, "genre": None, "record": None, "rva2": None}
    try:
        tags = ID3(path)
    except ID3NoHeaderError:
        return out
    if "TBPM" in tags:
        out["bpm"] = int(float(str(tags["TBPM"].text[0])))
    if "TCON" in tags:
        out["genre"] = str(tags["TCON"].text[0])
    for frame in tags.getall("GEOB"):
        if frame.desc == OWNER:
            out["record"] = decode(frame.data)
    for frame in tags.getall("COMM"):
        if frame.desc == OWNER:
            # Written without "=" padding: the last group is filled with zero
            # bits, so the text decodes to 66 bytes of which 64 are the record.
            out["record"] = decode(base64.b64decode(str(frame.text[0]))[:64])
    for frame in tags.getall("RVA2"):
        out["rva2"] = frame.gain
    return out


def atoms(data, start, end):
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        header = 8
        if size == 1:
            size = struct.unpack(">Q", data[pos + 8:pos + 16])[0]
            header = 16
        elif size == 0:
            size = end - pos
        if size < header or pos + size > end:
            return
        yield kind, pos + header, pos + size
        pos += size


def m4a(path):
    out = {"bpm": None, "genre": None, "record": None}
    tags = MP4(path).tags or {}
    if "tmpo" in tags:
        out["bpm"] = int(tags["tmpo"][0])
    if "\xa9gen" in tags:
        out["genre"] = str(tags["\xa9gen"][0])
    with open(path, "rb") as f:
        data = f.read()
    for kind, start, end in atoms(data, 0, len(data)):
        if kind != b"moov":
            continue
        for kind2, start2, end2 in atoms(data, start, end):
            if kind2 != b"udta":
                continue
            for kind3, start3, end3 in atoms(data, start2, end2):
                if kind3 == b"Tpix":
                    out["record"] = decode(data[start3:end3])
    return out


def xiph(path):
    out = {"bpm": None, "genre": None, "record": None}
    tags = mutagen.File(path).tags
    if "bpm" in tags:
        out["bpm"] = int(float(tags["bpm"][0]))
    if "genre" in tags:
        out["genre"] = tags["genre"][0]
    if "tempix_analysis" in tags:
        out["record"] = decode(base64.b64decode(tags["tempix_analysis"][0] + "==")[:64])
    return out


def main(path):
    lower = path.lower()
    if lower.endswith(".m4a"):
        info = m4a(path)
    elif lower.endswith((".flac", ".ogg", ".oga", ".opus")):
        info = xiph(path)
    else:
        info = mp3(path)
    record = info.pop("record")
    for key, value in info.items():
        if value is not None:
            print("%s=%s" % (key, value))
    if record is not None:
        for key, value in record.items():
            print("record_%s=%s" % (key, value))


if __name__ == "__main__":
    main(sys.argv[1])
