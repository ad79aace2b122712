"""Reading the program's stream and finding tones in it (stdlib only)."""
import math
import struct

HEADER = b"SDRA" + struct.pack("<IIHH", 1, 48000, 2, 32)
RATE = 48000


def split_stream(data):
    """(header, left-channel samples) of a captured stream."""
    header, body = data[:16], data[16:]
    usable = len(body) - len(body) % 8
    samples = struct.unpack("<%df" % (usable // 4), body[:usable])
    return header, samples[0::2]


def level(samples, freq, rate=RATE):
    """Amplitude of one frequency (Goertzel), 1.0 for a full-scale sine."""
    n = len(samples)
    if n == 0:
        return 0.0
    coeff = 2.0 * math.cos(2.0 * math.pi * freq / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2.0 * math.sqrt(max(power, 0.0)) / n


def rms(samples):
    return math.sqrt(sum(x * x for x in samples) / len(samples)) if samples else 0.0


def strongest(samples, low=50, high=4000, step=10, window=9600):
    """Frequency (Hz) with the largest level in the loudest window."""
    if len(samples) < window:
        window = len(samples)
    if window == 0:
        return 0, 0.0
    best_start, best_rms = 0, -1.0
    for start in range(0, len(samples) - window + 1, window):
        r = rms(samples[start:start + window])
        if r > best_rms:
            best_start, best_rms = start, r
    chunk = samples[best_start:best_start + window]
    best = max(range(low, high + 1, step), key=lambda f: level(chunk, f))
    return best, level(chunk, best)
