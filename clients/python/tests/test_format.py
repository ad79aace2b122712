"""Format conversion (the design and figures of the Node client's), 16-bit samples, WAV files."""
import math, struct, wave
from array import array

import numpy as np
import pytest
from conftest import pattern

from sondrel_process_loopback import Format, _format, to_int16, write_wav

frames = lambda chunk, channels: np.asarray(chunk, np.float64).reshape(-1, channels)  # noqa: E731
convert = lambda format, data: frames(_format.Converter(format).convert(data.tobytes()), format.channels)  # noqa: E731


@pytest.fixture(params=["numpy", "pure"])
def impl(request, monkeypatch):  # each case with numpy and with the standard library alone
    _ = request.param == "pure" and monkeypatch.setattr(_format, "np", None)
    return request.param


@pytest.mark.parametrize("rate, passed, rejected, alias", [(16000, 1000, 12000, 4000), (32000, 1000, 20000, 12000), (44100, 1000, 26100, 18000)])
def test_the_resampler_keeps_the_passband_level_and_rejects_aliases(impl, rate, passed, rejected, alias):
    def db(freq, at):  # in the last second, relative to the input's 0.5 (whole cycles: no leakage)
        left = (0.5 * np.sin(2 * np.pi * freq * np.arange(72000) / 48000)).astype(np.float32)
        x = convert(Format(rate, 1), np.stack([left, left], axis=1))[-rate:, 0]
        return 20 * math.log10(4 / rate * abs(np.sum(x * np.exp(-2j * np.pi * at * np.arange(rate) / rate))))
    print("48 kHz -> %d Hz (%s): %d Hz at %+.4f dB, %d Hz as %d Hz at %.1f dB" % (rate, impl, passed, kept := db(passed, passed), rejected, alias, leaked := db(rejected, alias)))
    assert abs(kept) < 0.1 and leaked < -60


@pytest.mark.parametrize("format", [Format(16000, 1, "int16"), Format(44100), Format(32000), Format(8000, 1), Format(48000, 1, "int16"), Format(48000, 1)])
def test_any_cut_of_the_stream_gives_the_same_samples_with_or_without_numpy(monkeypatch, format):
    rng = np.random.default_rng(7)
    data, converter, cut, at = rng.uniform(-1.2, 1.2, (14400, 2)).astype(np.float32), _format.Converter(format), [], 0  # some clip in int16
    whole = convert(format, data)
    for n in list(rng.integers(0, 700, 30)) + [1, 0, 14400]:
        cut.append(frames(converter.convert(data[at:at + n].tobytes()), format.channels))
        at = min(at + n, len(data))
    monkeypatch.setattr(_format, "np", None)
    assert len(whole) == math.ceil(14400 * format.sample_rate / 48000)
    for other in (np.concatenate(cut), convert(format, data)): np.testing.assert_allclose(other, whole, rtol=0, atol=1 if format.sample_type == "int16" else 1e-6)
    if format.sample_rate == 48000:  # mono is the mean of left and right
        mean = (data[:, 0].astype(np.float64) + data[:, 1]) / 2  # in float64, 16-bit samples from it too
        np.testing.assert_array_equal(whole[:, 0], to_int16(mean) if format.sample_type == "int16" else mean.astype(np.float32))


def test_int16_rounds_like_javascript_and_clips(impl):
    values = [-2, -1, -0.5, 0, 0.25, 1 - 2 ** -20, 1, 3, float("nan"), 0.5 / 32768, -0.5 / 32768, -1.5 / 32768, 2.5 / 32768, 32766.5 / 32768]
    got = to_int16(array("f", values) if impl == "pure" else np.array(values))
    assert list(got) == [-32768, -32768, -16384, 0, 8192, 32767, 32767, 32767, 0, 1, 0, -1, 3, 32767]


@pytest.mark.parametrize("format", [Format(24000, 2), Format(16000, 1, "int16")])
def test_a_capture_gives_its_format_in_chunks_and_reads(helpers, impl, format):
    c = helpers.scripted("pace=prequeue packets=480x10,7", format=format)
    first, _ = c.read(1000), c.stop()
    chunks, kind = [first] + list(c), {"float32": ("f", np.float32), "int16": ("h", np.int16)}[format.sample_type]
    assert len(frames(first, format.channels)) == 1000
    np.testing.assert_allclose(np.concatenate([frames(x, format.channels) for x in chunks]), convert(format, pattern(4807)), atol=1e-6)
    assert all((x.typecode == kind[0]) if impl == "pure" else (x.dtype == kind[1] and x.shape[1] == format.channels) for x in chunks)


@pytest.mark.parametrize("format", [Format(), Format(16000, 1, "int16")])
def test_wav_files(tmp_path, impl, format):
    samples, path = np.array([[0.5, -0.5], [0.25, -0.25], [1, -1]], np.float32)[:, :format.channels], str(tmp_path / "out.wav")
    assert write_wav(path, [samples[:1], samples[1:]] if impl == "numpy" else [array("f", samples[:1].ravel()), array("f", samples[1:].ravel())], format) == 3
    if format.sample_type == "int16":  # the standard library reads it back
        with wave.open(path) as w: assert (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.readframes(10)) == (1, 2, 16000, to_int16(samples).tobytes())
        return
    header = (b"RIFF" + struct.pack("<I", 50 + 24) + b"WAVEfmt " + struct.pack("<IHHIIHHH", 18, 3, 2, 48000, 384000, 8, 32, 0)
              + b"fact" + struct.pack("<II", 4, 3) + b"data" + struct.pack("<I", 24))  # IEEE float needs a fact chunk
    assert open(path, "rb").read() == header + samples.tobytes()

