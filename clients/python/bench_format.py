#!/usr/bin/python3
"""Prints how many times faster than real time the format conversion runs on
one core, for the formats speech tools ask for, with numpy and without.
  bench_format.py [SECONDS]   (of helper audio per measure, default 10)"""
import math, os, struct, sys, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sondrel_process_loopback import Format, _format  # noqa: E402

FORMATS = [Format(16000, 1, "int16"), Format(16000, 2), Format(44100, 2), Format(24000, 1), Format(48000, 1, "int16")]
CHUNK_FRAMES = 480  # 10 ms, the helper's usual packet


def speed(format, seconds, numpy=True):
    """Seconds of audio converted per second of CPU time, fed as the helper sends it."""
    saved = _format.np
    _format.np = saved if numpy else None
    try:
        converter = _format.Converter(format)
        chunk = struct.pack("<%df" % (2 * CHUNK_FRAMES), *[0.5 * math.sin(i // 2 * 0.13) for i in range(2 * CHUNK_FRAMES)])
        chunks = int(seconds * 48000 / CHUNK_FRAMES)
        start = time.process_time()
        for _ in range(chunks):
            converter.convert(chunk)
        return chunks * CHUNK_FRAMES / 48000 / (time.process_time() - start)
    finally:
        _format.np = saved


if __name__ == "__main__":
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10
    print("conversion speed, x real time, %g s of 48 kHz stereo in 10 ms chunks, one core" % seconds)
    for format in FORMATS:
        print("  %-6d Hz %d ch %-7s  numpy %8.0f   pure Python %6.1f" % (
            format.sample_rate, format.channels, format.sample_type, speed(format, seconds),
            speed(format, seconds / 10, numpy=False)))
