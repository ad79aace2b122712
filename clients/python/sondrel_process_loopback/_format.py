"""The output format of a capture, and the streaming conversion to it from the
helper's float32 stereo 48 kHz frames: channel mix, polyphase windowed-sinc
resampling, 16-bit samples. With numpy the chunks are arrays of shape
(frames, channels); without it, interleaved array('f') or array('h')."""
import math
import sys
from array import array
from dataclasses import dataclass
from operator import mul

try:
    import numpy as np
except ImportError:  # the client needs nothing beyond the standard library
    np = None

HELPER_RATE = 48000
# The prototype low-pass: cutoff at 0.9 of the output's Nyquist frequency, a
# Kaiser window with beta 8, and 24 output periods on either side.
CUTOFF = 0.45
BETA = 8.0
HALF_SPAN = 24
# Up to this many phases each one gets a strided view (fast for 16, 24, 32 kHz);
# beyond, one gather for all outputs costs less than a loop over the phases.
STRIDED_PHASES = 8
GATHER_BLOCK = 2048


@dataclass(frozen=True)
class Format:
    """sample_rate 8000..48000 Hz, channels 1 (the mean of left and right) or
    2, sample_type 'float32' or 'int16'. Format() is the helper's own."""
    sample_rate: int = HELPER_RATE
    channels: int = 2
    sample_type: str = "float32"

    def __post_init__(self):
        if isinstance(self.sample_rate, bool) or not isinstance(self.sample_rate, int) \
                or not 8000 <= self.sample_rate <= HELPER_RATE:
            raise ValueError("sample_rate is an integer from 8000 to 48000, got %r" % (self.sample_rate,))
        if self.channels not in (1, 2) or isinstance(self.channels, bool):
            raise ValueError("channels is 1 or 2, got %r" % (self.channels,))
        if self.sample_type not in ("float32", "int16"):
            raise ValueError("sample_type is 'float32' or 'int16', got %r" % (self.sample_type,))

    @property
    def bytes_per_sample(self):
        return 4 if self.sample_type == "float32" else 2


def _bessel_i0(x):
    total, term, k = 1.0, 1.0, 1
    while term > 1e-17 * total:
        term *= (x / (2 * k)) ** 2
        total += term
        k += 1
    return total


def phase_taps(sample_rate):
    """(L, M, rows): rows[p][i] weighs input n0 - (T - 1 - i) for an output of phase p."""
    g = math.gcd(sample_rate, HELPER_RATE)
    up, down = sample_rate // g, HELPER_RATE // g
    per_phase = 2 * math.ceil(HALF_SPAN * HELPER_RATE / sample_rate)
    length = per_phase * up
    centre, a = (length - 1) / 2, 2 * CUTOFF / down  # a: cutoff over the up-sampled Nyquist
    if np is not None:
        t = np.arange(length) - centre
        proto = np.sinc(a * t) * np.i0(BETA * np.sqrt(np.clip(1 - (t / centre) ** 2, 0, 1))) / np.i0(BETA)
        rows = proto.reshape(per_phase, up).T[:, ::-1]
        return up, down, rows / rows.sum(axis=1, keepdims=True)
    i0_beta, proto = _bessel_i0(BETA), []
    for m in range(length):
        t = m - centre
        sinc = 1.0 if t == 0 else math.sin(math.pi * a * t) / (math.pi * a * t)
        proto.append(sinc * _bessel_i0(BETA * math.sqrt(max(0.0, 1 - (t / centre) ** 2))) / i0_beta)
    rows = []
    for p in range(up):
        row = proto[p::up][::-1]
        total = sum(row)
        rows.append([w / total for w in row])
    return up, down, rows


def _int16(x):
    # JavaScript's Math.round: halves go up, exactly (x * 32768 is exact).
    if x != x:
        return 0
    if x >= 1:
        return 32767
    if x <= -1:
        return -32768
    v = x * 32768
    r = math.floor(v)
    return min(32767, r + 1 if v - r >= 0.5 else r)


def to_int16(samples):
    """Floats in [-1, 1] to 16-bit samples; louder values clip, NaN is silence."""
    if np is not None and isinstance(samples, np.ndarray):
        x = samples.astype(np.float64)
        v = x * 32768
        r = np.floor(v)
        r += (v - r) >= 0.5
        r = np.where(x >= 1, 32767, np.where(x <= -1, -32768, np.minimum(r, 32767)))
        return np.where(np.isnan(x), 0, r).astype(np.int16)
    return array("h", [_int16(x) for x in samples])


class Converter:
    """Turns whole helper frames (bytes) into chunks of `format`, keeping the
    resampler's history so that any cut of the stream gives the same samples."""

    def __init__(self, format):
        self.format = format
        self.numpy = np is not None
        self.resampling = format.sample_rate != HELPER_RATE
        if self.resampling:
            self.up, self.down, self.rows = phase_taps(format.sample_rate)
            self.taps = len(self.rows[0])
            zeros = (self.taps - 1) * [0.0]
            self.history = np.zeros((format.channels, self.taps - 1)) if self.numpy \
                else [list(zeros) for _ in range(format.channels)]
            self.t = 0  # the next output's time in 1/L input frames from the chunk's first frame
            self.scratch = None

    def empty(self):
        if self.numpy:
            return np.zeros((0, self.format.channels), np.float32 if self.format.sample_type == "float32"
                            else np.int16)
        return array("f" if self.format.sample_type == "float32" else "h")

    def convert(self, data):
        return self._numpy(data) if self.numpy else self._pure(data)

    def _outputs(self, frames):
        """How many outputs fall in a chunk of `frames`, and the time after them."""
        span = frames * self.up - self.t
        count = max(0, -(-span // self.down))
        return count, self.t + count * self.down - frames * self.up

    def _numpy(self, data):
        x = np.frombuffer(data, "<f4").reshape(-1, 2)
        if self.format.channels == 1:
            x = ((x[:, 0].astype(np.float64) + x[:, 1]) / 2)[:, None]
        if self.resampling:
            x = self._resample(x.T.astype(np.float64)).T
        # 16-bit samples from the float64 values; float32 ones are a copy the caller may write into.
        return to_int16(x) if self.format.sample_type == "int16" else x.astype(np.float32)

    def _resample(self, x):
        frames, taps = x.shape[1], self.taps
        buf = np.concatenate([self.history, x], axis=1)
        count, after = self._outputs(frames)
        out = np.empty((x.shape[0], count))
        times = self.t + self.down * np.arange(count)
        if count and self.up <= STRIDED_PHASES:
            step = buf.strides[1]
            for i in range(min(self.up, count)):
                n0, phase, rows = times[i] // self.up, times[i] % self.up, len(range(i, count, self.up))
                for c in range(buf.shape[0]):
                    window = np.lib.stride_tricks.as_strided(
                        buf[c, n0:], (rows, taps), (self.down * step, step), writeable=False)
                    out[c, i::self.up] = window @ self.rows[phase]
        elif count:
            # In blocks, into arrays kept between chunks: fresh ones this size cost
            # more in page faults than the sums.
            if self.scratch is None:
                self.scratch = tuple(np.empty((GATHER_BLOCK, taps), t) for t in (np.intp, np.float64, np.float64))
            for at in range(0, count, GATHER_BLOCK):
                block = times[at:at + GATHER_BLOCK]
                index, weights, gathered = (a[:len(block)] for a in self.scratch)
                np.add((block // self.up)[:, None], np.arange(taps), out=index)
                np.take(self.rows, block % self.up, axis=0, out=weights)
                for c in range(buf.shape[0]):
                    out[c, at:at + len(block)] = np.einsum("kt,kt->k", np.take(buf[c], index, out=gathered), weights)
        self.history = buf[:, buf.shape[1] - (taps - 1):].copy()
        self.t = after
        return out

    def _pure(self, data):
        x = array("f")
        x.frombytes(data)
        if sys.byteorder != "little":
            x.byteswap()
        if self.format.channels == 1:
            x = [(float(l) + r) / 2 for l, r in zip(x[0::2], x[1::2])]
        if self.resampling:
            channels = self.format.channels
            ins = [x[c::channels] for c in range(channels)]
            outs = [self._resample_pure(c, list(ins[c])) for c in range(channels)]
            x = [v for frame in zip(*outs) for v in frame]
            self.t = self._outputs(len(ins[0]))[1]
        return to_int16(x) if self.format.sample_type == "int16" else array("f", x)

    def _resample_pure(self, channel, x):
        buf = self.history[channel] + x
        count, _ = self._outputs(len(x))
        out = []
        for k in range(count):
            time = self.t + k * self.down
            n0 = time // self.up
            out.append(sum(map(mul, self.rows[time % self.up], buf[n0:n0 + self.taps])))
        self.history[channel] = buf[len(buf) - (self.taps - 1):]
        return out
