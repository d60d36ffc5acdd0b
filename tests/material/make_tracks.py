#!/usr/bin/python3
"""Synthesises short music tracks of known tempo and encodes them with real encoders.

    make_tracks.py [--demo] OUTDIR

Without --demo: the test set (six tracks of 20-40 s at several tempi, mono and
stereo, 44100 and 48000 Hz, MP3 from lame and ffmpeg, M4A from ffmpeg's aac)
and a few files that must be refused. With --demo: five longer, nicer tracks
and nothing broken. Every file is tagged with mutagen (title, artist, genre).
OUTDIR/manifest.json lists each file with its tempo and expected outcome; when
it is already there from the same version and set, nothing is done.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import wave

import numpy as np
from mutagen.easyid3 import EasyID3
from mutagen.id3 import ID3NoHeaderError
from mutagen.mp4 import MP4

VERSION = 4

# Chord roots (MIDI) of a four-bar progression: I V vi IV.
PROGRESSIONS = {
    "C": [(48, "maj"), (55, "maj"), (57, "min"), (53, "maj")],
    "A": [(45, "min"), (53, "maj"), (48, "maj"), (55, "maj")],
    "E": [(52, "min"), (48, "maj"), (55, "maj"), (50, "maj")],
    "D": [(50, "maj"), (57, "maj"), (59, "min"), (55, "maj")],
    "F": [(53, "maj"), (48, "maj"), (50, "min"), (46, "maj")],
}


def folded(bpm):
    """The tempo as the analysis reports it: one beat period folded into 92..184."""
    while bpm < 92.0:
        bpm *= 2.0
    while bpm > 184.0:
        bpm /= 2.0
    return bpm


def hz(midi):
    return 440.0 * 2.0 ** ((midi - 69) / 12.0)


def place(track, start, sound, gain):
    """Adds sound (channels x n) at sample start, clipped to the track."""
    n = min(sound.shape[1], track.shape[1] - start)
    if n > 0:
        track[:, start:start + n] += sound[:, :n] * np.asarray(gain)[:, None]


def kick(sr):
    t = np.arange(int(0.30 * sr)) / sr
    freq = 48.0 + 110.0 * np.exp(-t * 35.0)
    phase = 2.0 * np.pi * np.cumsum(freq) / sr
    return (np.sin(phase) * np.exp(-t * 11.0))[None, :]


def snare(sr, rng):
    t = np.arange(int(0.20 * sr)) / sr
    noise = rng.standard_normal(t.size) * np.exp(-t * 22.0)
    tone = np.sin(2.0 * np.pi * 190.0 * t) * np.exp(-t * 30.0)
    return (0.55 * noise / 3.0 + 0.5 * tone)[None, :]


def hat(sr, rng, length=0.05):
    t = np.arange(int(length * sr)) / sr
    noise = np.diff(rng.standard_normal(t.size + 1))
    return (noise * np.exp(-t * 70.0) / 2.5)[None, :]


def tone(sr, freq, seconds, harmonics, attack, decay):
    t = np.arange(int(seconds * sr)) / sr
    wave_ = sum(np.sin(2.0 * np.pi * freq * k * t) / k ** 1.3 for k in range(1, harmonics + 1))
    env = np.minimum(1.0, t / attack) * np.exp(-t * decay)
    release = np.minimum(1.0, (seconds - t) / 0.02)
    return (wave_ * env * release)[None, :]


def render(bpm, seconds, sr, channels, key="C", seed=1, intro=3.0, outro=3.0, style="full"):
    """A track: a quiet pad intro, drums, bass and chords, and a quiet pad outro."""
    rng = np.random.default_rng(seed)
    n = int(round(seconds * sr))
    track = np.zeros((max(channels, 1), n))
    beat = 60.0 / bpm
    bar = 4 * beat
    prog = PROGRESSIONS[key]
    stereo = channels >= 2

    def pan(p):  # p in -1..1 -> gains per channel
        if not stereo:
            return [1.0]
        g = [np.sqrt((1.0 - p) / 2.0) * 1.4, np.sqrt((1.0 + p) / 2.0) * 1.4]
        return g + [0.7] * (channels - 2)

    # Pad chords over the whole track; loud only in the music.
    music_end = seconds - outro
    t = 0.0
    bar_index = 0
    while t < seconds:
        root, quality = prog[bar_index % len(prog)]
        third = 3 if quality == "min" else 4
        in_music = intro <= t < music_end
        level = 0.045 if in_music else 0.012
        for i, semis in enumerate((12, 12 + third, 19)):
            note = tone(sr, hz(root + semis), min(bar, seconds - t) + 0.01, 4, 0.08, 0.3)
            place(track, int(t * sr), note, [level * g for g in pan((i - 1) * 0.6)])
        t += bar
        bar_index += 1

    kick_s, snare_s = kick(sr), snare(sr, rng)
    k = 0
    while intro + k * beat < music_end:
        t = intro + k * beat
        pos = int(round(t * sr))
        root, _ = prog[int((t - 0.0) / bar) % len(prog)]
        place(track, pos, kick_s, [0.9 * g for g in pan(0.0)])
        if k % 2 == 1:
            place(track, pos, snare_s, [0.45 * g for g in pan(-0.25)])
        for half in (0.0, 0.5):
            hpos = int(round((t + half * beat) * sr))
            place(track, hpos, hat(sr, rng), [(0.16 if half else 0.11) * g for g in pan(0.6)])
        if style == "full" or k % 2 == 0:
            bass = tone(sr, hz(root - 12), 0.8 * beat, 3, 0.005, 3.0)
            place(track, pos, bass, [0.35 * g for g in pan(0.0)])
        k += 1

    peak = np.max(np.abs(track))
    if peak > 0:
        track *= 0.8 / peak
    return track


def write_wav(path, track, sr):
    pcm = np.clip(np.round(track.T * 32767.0), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(track.shape[0])
        w.setsampwidth(2)
        w.setframerate(sr)
        w.writeframes(pcm.tobytes())


def run(*cmd):
    subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL)


FFMPEG = ("ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y")


# Each encoder's options: lame's before its files, ffmpeg's between its input and its output.
ENCODERS = {
    "lame": ["-b", "160"],
    "lame-vbr": ["-V", "4"],
    "ffmpeg-mp3": ["-c:a", "libmp3lame", "-b:a", "128k"],
    # VBR without a frame-count header: the container can only estimate the length.
    "ffmpeg-mp3-noxing": ["-c:a", "libmp3lame", "-q:a", "3", "-write_xing", "0"],
    "ffmpeg-aac": ["-c:a", "aac", "-b:a", "128k"],
    "ffmpeg-aac-faststart": ["-c:a", "aac", "-b:a", "128k", "-movflags", "+faststart"],
}


def encode(wav, out, encoder):
    if encoder.startswith("lame"):
        run("lame", "--quiet", *ENCODERS[encoder], wav, out)
    else:
        run(*FFMPEG, "-i", wav, *ENCODERS[encoder], out)


def tag(path, title, artist, genre):
    if path.endswith(".mp3"):
        try:
            tags = EasyID3(path)
        except ID3NoHeaderError:
            tags = EasyID3()
        tags["title"], tags["artist"], tags["genre"] = title, artist, genre
        tags.save(path)
    else:
        tags = MP4(path)
        tags["\xa9nam"], tags["\xa9ART"], tags["\xa9gen"] = [title], [artist], [genre]
        tags.save()


# name, bpm, seconds, rate, channels, encoder, key, genre
TEST_TRACKS = [
    ("beat128_stereo44_lame.mp3", 128, 30, 44100, 2, "lame", "C", "House"),
    ("beat100_mono44_aac.m4a", 100, 24, 44100, 1, "ffmpeg-aac", "A", "Hip-Hop"),
    ("beat174_stereo48_aac.m4a", 174, 30, 48000, 2, "ffmpeg-aac-faststart", "E", "Drum & Bass"),
    ("beat85_mono48_lame.mp3", 85, 26, 48000, 1, "lame-vbr", "D", "Soul"),
    ("beat140_stereo44_noxing.mp3", 140, 32, 44100, 2, "ffmpeg-mp3-noxing", "F", "Techno"),
    ("beat64_stereo48_ffmpeg.mp3", 64, 28, 48000, 2, "ffmpeg-mp3", "C", "Downtempo"),
]

DEMO_TRACKS = [
    ("Morning Drive.mp3", 124, 45, 44100, 2, "lame", "C", "House"),
    ("Slow Tide.m4a", 96, 42, 44100, 2, "ffmpeg-aac", "A", "Pop"),
    ("Night Runner.mp3", 172, 40, 48000, 2, "lame-vbr", "E", "Drum & Bass"),
    ("Paper Lanterns.m4a", 80, 44, 48000, 2, "ffmpeg-aac", "D", "Soul"),
    ("Steel Garden.mp3", 138, 40, 44100, 1, "ffmpeg-mp3", "F", "Techno"),
]


def make_track(outdir, tmp, spec, seed, artist):
    name, bpm, seconds, sr, channels, encoder, key, genre = spec
    wav = os.path.join(tmp, "src.wav")
    write_wav(wav, render(bpm, seconds, sr, channels, key=key, seed=seed), sr)
    out = os.path.join(outdir, name)
    encode(wav, out, encoder)
    title = os.path.splitext(name)[0]
    tag(out, title, artist, genre)
    return {
        "file": name, "bpm": bpm, "expected_bpm": round(folded(bpm), 3),
        "seconds": seconds, "sample_rate": sr, "channels": channels, "encoder": encoder,
        "title": title, "artist": artist, "genre": genre, "outcome": "ok",
    }


def make_special(outdir, tmp):
    entries = []
    wav = os.path.join(tmp, "src.wav")

    def made(name, outcome, track=None, encoder="lame", **more):
        """Encodes the track (channels x samples at 44100 Hz) as name, when given, and lists the file."""
        if track is not None:
            write_wav(wav, track, 44100)
            encode(wav, os.path.join(outdir, name), encoder)
        entries.append(dict(file=name, outcome=outcome, **more))
        return os.path.join(outdir, name)

    def short(seconds, channels, seed, margin):
        return render(120, seconds, 44100, channels, seed=seed, intro=margin, outro=margin)

    # Three channels: refused before any decoding of note.
    made("three_channels.m4a", "error", short(6, 3, 11, 1), "ffmpeg-aac", error="Track has more than 2 channels.",
         channels=3)
    # Three seconds of music: too short.
    tag(made("short_3s.mp3", "error", short(3, 2, 12, 0.5), error="Track too short (3.000 s).", seconds=3),
        "Short", "Tempix Tests", "Pop")
    # Exactly four seconds: analysed as one window over the whole track.
    made("four_seconds.mp3", "ok", short(4, 1, 13, 0.2), seconds=4, bpm=120, expected_bpm=120.0, sample_rate=44100,
         channels=1)
    # Ten seconds of digital silence.
    made("silent_10s.mp3", "error", np.zeros((2, 10 * 44100)), error="No beat found in track.", seconds=10)

    # A download cut off in the middle of a frame: what is there is analysed.
    with open(os.path.join(outdir, "beat128_stereo44_lame.mp3"), "rb") as f:
        data = f.read()
    with open(made("truncated.mp3", "ok", bpm=128, expected_bpm=128.0, sample_rate=44100, channels=2), "wb") as f:
        f.write(data[:int(len(data) * 0.6) + 77])

    # Stretches of garbage inside the audio data: the decoder reports errors and
    # the rest of the track is still read.
    with open(os.path.join(outdir, "beat100_mono44_aac.m4a"), "rb") as f:
        data = bytearray(f.read())
    start = data.find(b"mdat") + 60000
    data[start:start + 30000] = np.random.default_rng(21).integers(0, 256, 30000, dtype=np.uint8).tobytes()
    with open(made("damaged.m4a", "ok", sample_rate=44100, channels=1, decoder_errors=True), "wb") as f:
        f.write(data)

    # Text that only claims to be audio, and an empty file.
    with open(made("not_audio.mp3", "error", error="Could not open track with QuickTime."), "w") as f:
        f.write("This is a shopping list, not a song.\n" * 200)
    open(made("empty.mp3", "error", error="Could not open track with QuickTime."), "wb").close()
    return entries


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    demo = "--demo" in argv[1:]
    if len(args) != 1 or set(argv[1:]) - set(args) - {"--demo"}:
        sys.stderr.write(__doc__)
        return 2
    outdir = os.path.abspath(args[0])
    manifest_path = os.path.join(outdir, "manifest.json")
    try:
        with open(manifest_path) as f:
            old = json.load(f)
        if old.get("version") == VERSION and old.get("demo") == demo and all(
                os.path.exists(os.path.join(outdir, e["file"])) for e in old["files"]):
            print(f"{outdir}: material is up to date")
            return 0
    except (OSError, ValueError, KeyError, TypeError):
        pass

    for tool in ("ffmpeg", "lame"):
        if shutil.which(tool) is None:
            sys.stderr.write(f"make_tracks.py: {tool} is not installed (run scripts/setup.sh)\n")
            return 1
    os.makedirs(outdir, exist_ok=True)
    if os.path.exists(manifest_path):
        os.remove(manifest_path)
    specs, seed, artist = (DEMO_TRACKS, 100, "The Tempix Demo Band") if demo else (TEST_TRACKS, 1, "Tempix Tests")
    with tempfile.TemporaryDirectory() as tmp:
        files = [make_track(outdir, tmp, spec, seed + i, artist) for i, spec in enumerate(specs)]
        if not demo:
            files.extend(make_special(outdir, tmp))
    # Written last: a run that was stopped half-way is redone next time.
    with open(manifest_path + ".tmp", "w") as f:
        json.dump({"version": VERSION, "demo": demo, "files": files}, f, indent=1)
    os.replace(manifest_path + ".tmp", manifest_path)
    print(f"{outdir}: {len(files)} files made")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
