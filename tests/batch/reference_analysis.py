#!/usr/bin/python3
"""A plain second implementation of the tempo analysis, to check the program's.

    reference_analysis.py SAMPLES.f32 RATE

SAMPLES.f32 holds one channel of little-endian 32-bit floats, the whole track.
Everything is held in memory and computed one step after the other, in the
precision the method prescribes (single-precision products and differences,
double sums added in order). Prints the nine values, a "key=value" line each, or
"error=" and the failure line.
"""
import math
import sys

import numpy as np


def lround(x):
    # Halves away from zero, like C's lround.
    return int(math.floor(abs(x) + 0.5)) * (1 if x >= 0 else -1)


def seqsum(values):
    """The sum of float64 values added one after the other."""
    if len(values) == 0:
        return 0.0
    return float(np.cumsum(values, dtype=np.float64)[-1])


class RunningMean:
    def __init__(self):
        self.slots = np.zeros(10, dtype=np.float32)
        self.sum = 0.0
        self.index = 0

    def push(self, x):
        diff = np.float32(x) - self.slots[self.index]  # single precision
        self.sum += float(diff)
        self.slots[self.index] = x
        self.index = 0 if self.index == 9 else self.index + 1

    def mean(self):
        return self.sum / 10.0


def find_period(x, n, min_lag, max_lag):
    if min_lag >= max_lag:
        return 0
    best, best_lag = 0.0, 0
    for lag in range(min_lag, max_lag):
        products = (x[:n - lag] * x[lag:n]).astype(np.float64) if lag < n else np.zeros(0)
        s = seqsum(products)
        if s > best:
            best, best_lag = s, lag
    return best_lag


def find_phase(x, n, period):
    k = n // period
    best, best_phase = 0.0, 0
    for phase in range(period):
        s = seqsum(x[phase:phase + k * period:period].astype(np.float64)) if k > 0 else 0.0
        if s > best:
            best, best_phase = s, phase
    return best_phase


def fold(p, hop, sr):
    while p * hop / sr < 0.6527139518645054:
        p = p + p
    while p * hop / sr > 1.305427903729011:
        p = p * 0.5
    return p


def analyse(samples, sr):
    frames = len(samples)
    if frames / sr < 4.0:
        return "Track too short (%.3f s)." % (frames / sr)
    hop = lround(0.001 * sr)
    nb = frames // hop
    span20 = lround(20.0 * sr / hop)
    win10 = lround(10.0 * sr / hop)
    min_lag = int(0.3 * sr / hop)
    max_lag = int(3.0 * sr / hop)

    blocks = samples[:nb * hop].astype(np.float64).reshape(nb, hop)
    e = np.empty(nb, dtype=np.float32)
    for b in range(nb):
        e[b] = np.float32(seqsum(blocks[b] * blocks[b]) / nb)

    length = min(span20, nb)
    first = (nb - length) // 2
    rm = RunningMean()
    total, peak = 0.0, 0.0
    for i in range(length):
        v = e[first + i]
        total += float(v)
        rm.push(v)
        peak = max(peak, rm.mean())
    loudness = lround(math.sqrt(total / length) * 4294967295.0)
    peak_level = lround(math.sqrt(peak) * 4294967295.0)

    rm = RunningMean()
    start = nb
    for b in range(nb):
        rm.push(e[b])
        if rm.mean() >= 0.4 * peak:
            start = b
            break
    rm = RunningMean()
    end = 0
    for b in range(nb - 1, 0, -1):
        rm.push(e[b])
        if rm.mean() >= 0.6 * peak:
            end = b
            break
    if end <= start:
        return "No beat found in track."

    mean = seqsum(e.astype(np.float64)) / nb
    e = (e.astype(np.float64) - mean).astype(np.float32)

    if win10 < end - start:
        r0, r1, w = start, end, win10
    else:
        r0, r1, w = 0, nb, nb
    periods = []
    pos = r0
    while pos + w <= r1:
        count = min(w, nb - pos)
        lag = find_period(e[pos:], count, min_lag, max_lag)
        if lag:
            periods.append(fold(float(lag), hop, sr))
        pos += span20
    if not periods:
        return "No beat found in track."
    first_period = periods[0]
    periods.sort()
    median = periods[len(periods) // 2]

    phase = find_phase(e[r0:], min(w, nb - r0), int(first_period))
    first_block = r0 + phase
    end_start = 0 if r1 < w else r1 - w
    count2 = min(w, nb - end_start)
    lag2 = find_period(e[end_start:], count2, min_lag, max_lag)
    end_period = fold(float(lag2), hop, sr) if lag2 else fold(0.9230769230769231 * sr / hop, hop, sr)
    x = end_start + find_phase(e[end_start:], count2, int(end_period))
    while float(x) + end_period <= float(r1):
        x += int(end_period)

    m32 = 0xFFFFFFFF
    return {
        "sample_rate": lround(sr), "frame_count": frames & m32,
        "loudness": loudness, "peak_level": peak_level,
        "beat_period": lround(median * hop), "start_period": lround(first_period * hop),
        "end_period": lround(end_period * hop),
        "first_beat": (first_block * hop) & m32, "last_beat": (x * hop) & m32,
    }


def main():
    samples = np.fromfile(sys.argv[1], dtype="<f4")
    result = analyse(samples, float(sys.argv[2]))
    for key, value in (result.items() if isinstance(result, dict) else [("error", result)]):
        print(f"{key}={value}")


if __name__ == "__main__":
    main()
