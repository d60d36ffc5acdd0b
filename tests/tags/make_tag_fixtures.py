#!/usr/bin/python3
"""Makes the audio files the tag tests work on, with real encoders and taggers.

Usage: make_tag_fixtures.py OUTDIR

Short tones encoded by lame, ffmpeg, flac, oggenc and opusenc, tagged by
mutagen, eyeD3, id3v2, AtomicParsley and metaflac. Made once per build tree: a finished OUTDIR is left alone, and
parallel callers wait for the one that makes it.
"""
import fcntl
import hashlib
import os
import shutil
import struct
import subprocess
import sys

import mutagen.id3 as id3
from mutagen.mp4 import MP4

def run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

def tone(path, seconds=3, freq=440):
    run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
        f"sine=frequency={freq}:duration={seconds}", "-ac", "2", "-ar", "44100", path)

def copy(src, dst):
    shutil.copyfile(src, dst)
    return dst

# --- MP3 ----------------------------------------------------------------------

def synchsafe(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])

def frame22(fid, body):
    """An ID3v2.2 frame: three letters and a three-byte size."""
    return fid + struct.pack(">I", len(body))[1:] + body

def v22_tag():
    """An ID3v2.2 tag, which none of the taggers here write any more."""
    frames = b"".join([
        frame22(b"TT2", b"\x00Twenty Two"),
        frame22(b"TP1", b"\x00Artist 22"),
        frame22(b"TCO", b"\x00(17)"),
        frame22(b"TBP", b"\x0099"),
        frame22(b"COM", b"\x00eng\x00comment 22"),
        frame22(b"PIC", b"\x00JPG\x03\x00" + bytes.fromhex("FFD8FFE000104A46494600") + b"\x00" * 16),
    ]) + b"\x00" * 64
    return b"ID3\x02\x00\x00" + synchsafe(len(frames)) + frames

def id3tagged(src, path, version, frames, padding=None):
    """A copy of src with an ID3v2 tag of the given frames."""
    copy(src, path)
    tags = id3.ID3()
    for frame in frames:
        tags.add(frame)
    tags.save(path, v2_version=version, padding=None if padding is None else (lambda info: padding))
    return path

def make_mp3(out, wav):
    base = os.path.join(out, "notag.mp3")
    run("lame", "--quiet", "-b", "128", wav, base)

    run("id3v2", "-1", "-t", "Old Title", "-a", "Old Artist", "-A", "Old Album", "-g", "17",
        "-c", "v1 comment", copy(base, os.path.join(out, "v1only.mp3")))

    with open(base, "rb") as f:
        audio = f.read()
    with open(os.path.join(out, "v22.mp3"), "wb") as f:
        f.write(v22_tag() + audio)

    for name, padding in (("v23.mp3", 1024), ("v23_nopad.mp3", 0)):
        id3tagged(base, os.path.join(out, name), 3, [
            id3.TIT2(encoding=0, text="Title Three"),
            id3.TPE1(encoding=0, text="Artist Three"),
            id3.TCOM(encoding=0, text="Composer Three"),
            id3.TALB(encoding=0, text="Album Three"),
            id3.TCON(encoding=0, text="(17)"),
            id3.COMM(encoding=0, lang="eng", desc="", text="Comment text  "),
            id3.TBPM(encoding=0, text="128")], padding)

    path = copy(base, os.path.join(out, "v23_utf16.mp3"))
    run("eyeD3", "--quiet", "--to-v2.3", "--encoding", "utf16", "-t", "Ünïcødé ☃ 𝄞",
        "-a", "Ärtist", "-G", "Bossa Nova", "--bpm", "140", path)

    id3tagged(base, os.path.join(out, "v23_rvad.mp3"), 3, [
        id3.TIT2(encoding=0, text="Quieter"), id3.RVAD(adjustments=[-1000, -1000, 0, 0])])
    id3tagged(base, os.path.join(out, "v24.mp3"), 4, [
        id3.TIT2(encoding=3, text="Vier ✓"),
        id3.TPE1(encoding=3, text="Artist Four"),
        id3.TCON(encoding=3, text="Electronic"),
        id3.TBPM(encoding=3, text="128.5"),
        id3.RVA2(desc="", channel=1, gain=-3.0, peak=0.0),
        id3.COMM(encoding=3, lang="eng", desc="", text="four")])

    id3tagged(base, os.path.join(out, "empty24.mp3"), 4, [])
    path = copy(base, os.path.join(out, "v24_eyed3.mp3"))
    run("eyeD3", "--quiet", "--to-v2.4", "-t", "Eye Four", "-G", "Jazz", "--bpm", "97", path)

# --- M4A ----------------------------------------------------------------------

def atoms(data, start, end):
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        yield pos, size, kind
        pos += size

def find(data, start, end, kind):
    for pos, size, k in atoms(data, start, end):
        if k == kind:
            return pos, size
    raise KeyError(kind)

def descend(data, *kinds):
    """Offset and size of the atom at the end of a path of types from the top level."""
    start, end = 0, len(data)
    for kind in kinds:
        pos, size = find(data, start, end, kind)
        start, end = pos + 8, pos + size
    return pos, size

def without_udta(src, dst, drop_free=False):
    """The same file without 'moov'/'udta' (and the top-level 'free'), chunk offsets moved along."""
    data = bytearray(open(src, "rb").read())
    moov, moov_size = find(data, 0, len(data), b"moov")
    udta, udta_size = find(data, moov + 8, moov + moov_size, b"udta")
    del data[udta:udta + udta_size]
    struct.pack_into(">I", data, moov, moov_size - udta_size)
    removed = [(udta, udta_size)]
    if drop_free:
        free, free_size = find(data, 0, len(data), b"free")
        del data[free:free + free_size]
        removed.append((free, free_size))
    stco, s = descend(data, b"moov", b"trak", b"mdia", b"minf", b"stbl", b"stco")
    count = struct.unpack(">I", data[stco + 12:stco + 16])[0]
    for i in range(count):
        at = stco + 16 + 4 * i
        offset = struct.unpack(">I", data[at:at + 4])[0]
        shift = sum(size for pos, size in removed if pos < offset)
        struct.pack_into(">I", data, at, offset - shift)
    open(dst, "wb").write(data)

def make_m4a(out):
    def aac(name, *flags):
        path = os.path.join(out, name)
        run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=330:duration=3",
            "-ac", "2", "-c:a", "aac", "-b:a", "96k", *flags, path)
        return path
    tail = aac("tail.m4a", "-fflags", "+bitexact", "-map_metadata", "-1")
    fast = aac("fast.m4a", "-fflags", "+bitexact", "-map_metadata", "-1", "-movflags", "+faststart")
    aac("ffmeta.m4a", "-metadata", "title=FF Title", "-metadata", "artist=FF Artist",
        "-metadata", "genre=Deep House", "-movflags", "+faststart")

    without_udta(tail, os.path.join(out, "noudta_tail.m4a"))
    without_udta(fast, os.path.join(out, "noudta_fast.m4a"), drop_free=True)
    without_udta(fast, os.path.join(out, "noudta_fast_free.m4a"))

    path = copy(tail, os.path.join(out, "ap_gnre.m4a"))
    run("AtomicParsley", path, "--title", "AP Title", "--artist", "AP Artist", "--genre", "Rock",
        "--bpm", "120", "--comment", "ap comment", "--composer", "AP Composer", "--album", "AP Album",
        "--overWrite")

    path = copy(fast, os.path.join(out, "ap_fast.m4a"))
    run("AtomicParsley", path, "--title", "AP Fast", "--genre", "Techno", "--bpm", "133", "--overWrite")

    def mutagen(name, src, padding, **items):
        path = copy(src, os.path.join(out, name))
        f = MP4(path)
        for key, value in items.items():
            f[key.replace("X", "\xa9")] = value
        f.save(padding=(lambda info: padding))
        return path
    mutagen("mutagen_gen.m4a", fast, 100, Xnam=["Mutagen Title"], Xgen=["Deep House"], tmpo=[125])
    mutagen("mutagen_bigfree.m4a", tail, 5000, Xnam=["Roomy"], Xgen=["Ambient"], tmpo=[90])
    mutagen("mutagen_nofree.m4a", fast, 0, Xnam=["Tight"], XART=["Packed"], tmpo=[100])

    data = bytearray(open(fast, "rb").read())
    data[8:12] = b"M4B "
    open(os.path.join(out, "brand_m4b.m4a"), "wb").write(data)

# --- FLAC, Ogg Vorbis, Opus ---------------------------------------------------

def make_xiph(out, wav):
    # A noisy picture, large enough that Opus' comment header spans pages.
    cover = os.path.join(out, "cover.png")
    run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "nullsrc=s=200x200,geq=random(1)*255:128:128",
        "-frames:v", "1", cover)
    cue = os.path.join(out, "tone.cue")
    with open(cue, "w") as f:
        f.write('FILE "tone.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n')

    # Padding and a seek table as flac makes them, a cue sheet, a picture,
    # names in mixed case, a repeated name and another program's tempo.
    flac = os.path.join(out, "comments.flac")
    run("flac", "-s", "-f", "--cuesheet=" + cue, "-T", "TITLE=Flac Title", "-T", "Artist=Mixed Case",
        "-T", "ARTIST=Second Artist", "-T", "GENRE=Ambient", "-T", "bpm=99", "-o", flac, wav)
    run("metaflac", "--import-picture-from=" + cover, flac)
    run("flac", "-s", "-f", "--no-padding", "-T", "TITLE=Tight", "-o", os.path.join(out, "nopad.flac"), wav)
    bare = copy(os.path.join(out, "nopad.flac"), os.path.join(out, "bare.flac"))
    run("metaflac", "--remove", "--block-type=VORBIS_COMMENT,SEEKTABLE,PADDING", "--dont-use-padding", bare)
    # Some taggers put an ID3v2 tag in front of FLAC.
    title = b"\x00Tagged in front"
    frame = b"TIT2" + struct.pack(">I", len(title)) + b"\x00\x00" + title
    body = frame + b"\x00" * 32
    with open(os.path.join(out, "id3.flac"), "wb") as f:
        f.write(b"ID3\x03\x00\x00" + synchsafe(len(body)) + body)
        f.write(open(flac, "rb").read())

    ogg = os.path.join(out, "comments.ogg")
    run("oggenc", "-Q", "-c", "TITLE=Ogg Title", "-c", "Artist=Mixed Case", "-c", "ARTIST=Second",
        "-c", "GENRE=Techno", "-c", "COMMENT=keep me", "-o", ogg, wav)
    run("opusenc", "--quiet", "--title", "Opus Title", "--artist", "Opus Artist", "--comment", "GENRE=Jazz",
        "--comment", "Mood=calm", "--picture", cover, wav, os.path.join(out, "picture.opus"))
    # Two streams one after the other: a chained file.
    second = os.path.join(out, "second.ogg")
    run("oggenc", "-Q", "-c", "TITLE=Second Part", "-o", second, wav)
    with open(os.path.join(out, "chained.ogg"), "wb") as f:
        f.write(open(ogg, "rb").read() + open(second, "rb").read())
    # A comment that fills its header page to the last of 255 segments, so
    # that our fields need one page more and every later page is renumbered.
    full = os.path.join(out, "full.ogg")
    def filled(length):
        run("oggenc", "-Q", "-c", "TITLE=Full Page", "-c", "LYRICS=" + "la " * (length // 3), "-o", full, wav)
        data = open(full, "rb").read()
        first = 28 + data[26] + data[27:27 + data[26]][0]  # behind the identification page
        lacing = data[first + 27:first + 27 + data[first + 26]]
        sizes, n = [], 0
        for l in lacing:
            n += l
            if l < 255:
                sizes.append(n)
                n = 0
        return sizes  # comment, setup
    comment, setup = filled(3000)[:2]
    wanted = 255 * (253 - setup // 255) + 200
    sizes = filled(3000 + wanted - comment)
    if len(sizes) != 2 or sizes[0] // 255 + sizes[1] // 255 + 2 != 255:
        raise RuntimeError("could not fill the header page of full.ogg: %r" % sizes)
    # Ogg FLAC, which the tag does not handle.
    run("flac", "-s", "-f", "--ogg", "-o", os.path.join(out, "oggflac.oga"), wav)
    for name in (cover, cue, second):
        os.remove(name)

def main():
    out = sys.argv[1]
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        # The stamp is this script's own hash: a changed script remakes the set.
        stamp = hashlib.sha256(open(__file__, "rb").read()).hexdigest()
        try:
            if open(os.path.join(out, "done")).read() == stamp:
                return
        except OSError:
            pass
        work = out + ".tmp"
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        wav = os.path.join(work, "tone.wav")
        tone(wav)
        make_mp3(work, wav)
        make_m4a(work)
        make_xiph(work, wav)
        os.remove(wav)
        with open(os.path.join(work, "done"), "w") as done:
            done.write(stamp)
        shutil.rmtree(out, ignore_errors=True)
        os.rename(work, out)

if __name__ == "__main__":
    try:
        main()
    except subprocess.CalledProcessError as e:
        sys.stderr.write(f"{' '.join(e.cmd)} failed: {e.stderr.decode(errors='replace')}\n")
        sys.exit(1)
