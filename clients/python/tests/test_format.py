"""Format conversion (the same design and figures as the Node client's), 16-bit samples, WAV files."""
import math, os, struct, sys, wave
from array import array

import numpy as np
import pytest
from conftest import pattern

from sondrel_process_loopback import CaptureError, Format, _capture, _format, to_int16, write_wav

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import bench_format  # noqa: E402


@pytest.fixture(params=["numpy", "pure"])
def impl(request, monkeypatch):
    """Each case with numpy and with the standard library alone."""
    if request.param == "pure":
        monkeypatch.setattr(_format, "np", None)
    return request.param


def frames(chunk, channels):
    return np.asarray(chunk, np.float64).reshape(-1, channels)


def tone(freq, seconds, amplitude=0.5):
    left = (amplitude * np.sin(2 * np.pi * freq * np.arange(int(48000 * seconds)) / 48000)).astype(np.float32)
    return np.stack([left, left], axis=1)


def level_db(samples, freq, rate, amplitude=0.5):
    """Level of `freq` in the last second, relative to the input's amplitude (whole cycles: no leakage)."""
    x = samples[-rate:]
    return 20 * math.log10(2 / rate * abs(np.sum(x * np.exp(-2j * np.pi * freq * np.arange(rate) / rate))) / amplitude)


@pytest.mark.parametrize("rate, passed, rejected, alias", [(16000, 1000, 12000, 4000), (32000, 1000, 20000, 12000),
                                                            (44100, 1000, 26100, 18000)])
def test_the_resampler_keeps_the_passband_level_and_rejects_aliases(impl, rate, passed, rejected, alias):
    convert = lambda freq: frames(_format.Converter(Format(rate, 1)).convert(tone(freq, 1.5).tobytes()), 1)[:, 0]
    kept, leaked = level_db(convert(passed), passed, rate), level_db(convert(rejected), alias, rate)
    print("48 kHz -> %d Hz (%s): %d Hz at %+.4f dB, %d Hz as %d Hz at %.1f dB" % (rate, impl, passed, kept, rejected, alias, leaked))
    assert abs(kept) < 0.1 and leaked < -60


@pytest.mark.parametrize("format", [Format(16000, 1, "int16"), Format(44100), Format(32000), Format(8000, 1),
                                    Format(48000, 1, "int16"), Format(48000, 1)])
def test_any_cut_of_the_stream_gives_the_same_samples_with_or_without_numpy(monkeypatch, format):
    rng = np.random.default_rng(7)
    data = rng.uniform(-1.2, 1.2, (14400, 2)).astype(np.float32)  # some clip in int16
    whole = frames(_format.Converter(format).convert(data.tobytes()), format.channels)
    converter, cut, at = _format.Converter(format), [], 0
    for n in list(rng.integers(0, 700, 30)) + [1, 0, 14400]:
        cut.append(frames(converter.convert(data[at:at + n].tobytes()), format.channels))
        at += len(data[at:at + n])
    monkeypatch.setattr(_format, "np", None)
    pure = frames(_format.Converter(format).convert(data.tobytes()), format.channels)
    tolerance = 1 if format.sample_type == "int16" else 1e-6
    assert len(whole) == math.ceil(14400 * format.sample_rate / 48000)
    for other in (np.concatenate(cut), pure):
        np.testing.assert_allclose(other, whole, rtol=0, atol=tolerance)
    if format.sample_rate == 48000:  # mono is the mean of left and right
        mean = ((data[:, 0].astype(np.float64) + data[:, 1]) / 2).astype(np.float32)
        np.testing.assert_array_equal(whole[:, 0], to_int16(mean) if format.sample_type == "int16" else mean)


def test_int16_rounds_like_javascript_and_clips(impl):
    values = [-2, -1, -0.5, 0, 0.25, 1 - 2 ** -20, 1, 3, float("nan"), 0.5 / 32768, -0.5 / 32768, -1.5 / 32768,
              2.5 / 32768, 32766.5 / 32768]
    want = [-32768, -32768, -16384, 0, 8192, 32767, 32767, 32767, 0, 1, 0, -1, 3, 32767]
    got = to_int16(array("f", values) if impl == "pure" else np.array(values, np.float64))
    assert list(got) == want


def test_conversion_runs_far_faster_than_real_time():
    speed = bench_format.speed(Format(16000, 1, "int16"), 5)
    print("48 kHz stereo -> 16 kHz mono int16: %.0f x real time" % speed)
    assert speed >= 10  # the figure is the benchmark's; this only catches a collapse


@pytest.mark.parametrize("format", [Format(24000, 2), Format(16000, 1, "int16")])
def test_a_capture_gives_its_format_in_chunks_and_reads(helpers, impl, format):
    c = helpers.scripted("pace=prequeue packets=480x10,7", format=format)
    first = c.read(1000)
    c.stop()
    rest = list(c)
    want = frames(_format.Converter(format).convert(pattern(4807).tobytes()), format.channels)
    got = np.concatenate([frames(x, format.channels) for x in [first] + rest])
    assert len(frames(first, format.channels)) == 1000 and len(got) == len(want)
    np.testing.assert_allclose(got, want, atol=1e-6)
    kind = (np.ndarray, {"float32": np.float32, "int16": np.int16}[format.sample_type]) if impl == "numpy" else \
        (array, {"float32": "f", "int16": "h"}[format.sample_type])
    assert all(isinstance(x, kind[0]) and (x.dtype if impl == "numpy" else x.typecode) == kind[1] for x in [first] + rest)


@pytest.mark.parametrize("format", [Format(), Format(16000, 1, "int16")])
def test_wav_files(tmp_path, impl, format):
    samples = np.array([[0.5, -0.5], [0.25, -0.25], [1, -1]], np.float32)[:, :format.channels]
    chunks = [samples[:1], samples[1:]] if impl == "numpy" else [array("f", samples[:1].ravel()), array("f", samples[1:].ravel())]
    path = str(tmp_path / "out.wav")
    assert write_wav(path, chunks, format) == 3
    data = to_int16(samples).tobytes() if format.sample_type == "int16" else samples.tobytes()
    if format.sample_type == "int16":  # the standard library reads it back
        with wave.open(path) as w:
            assert (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.readframes(10)) == (1, 2, 16000, data)
        return
    header = (b"RIFF" + struct.pack("<I", 50 + len(data)) + b"WAVEfmt " + struct.pack("<IHHIIHHH", 18, 3, 2, 48000, 384000, 8, 32, 0)
              + b"fact" + struct.pack("<II", 4, 3) + b"data" + struct.pack("<I", len(data)))  # IEEE float needs a fact chunk
    assert open(path, "rb").read() == header + data


def test_formats_and_platforms_that_do_not_exist_are_refused(monkeypatch):
    for bad in [dict(sample_rate=7999), dict(sample_rate=48001), dict(sample_rate=16000.0), dict(channels=3),
                dict(sample_type="int24")]:
        with pytest.raises(ValueError):
            Format(**bad)
    monkeypatch.setattr(_capture.sys, "platform", "darwin")
    with pytest.raises(CaptureError, match="no helper for darwin.*executable=") as raised:
        _capture.default_executable()
    assert raised.value.code == "ERR_UNSUPPORTED_PLATFORM"
