"""WAV files from capture chunks: 16-bit PCM through the standard wave
module, 32-bit float (which wave does not write) with the header IEEE float
files need."""
import struct
import sys
import wave
from array import array

from ._format import Format, np, to_int16

RIFF_LIMIT = 0xFFFFFFFF
FLOAT_HEADER = 58


def _samples(chunk, format):
    """The chunk's samples as little-endian bytes of `format`'s sample type."""
    if isinstance(chunk, (bytes, bytearray, memoryview)):
        return bytes(chunk)
    int16 = format.sample_type == "int16"
    if np is not None and isinstance(chunk, np.ndarray):
        if int16 and chunk.dtype.kind == "f":
            chunk = to_int16(chunk)
        return np.ascontiguousarray(chunk, "<i2" if int16 else "<f4").tobytes()
    if int16 and chunk.typecode in "fd":
        chunk = to_int16(chunk)
    chunk = array("h" if int16 else "f", chunk)
    if sys.byteorder != "little":
        chunk.byteswap()
    return chunk.tobytes()


def _float_header(format, data_bytes):
    block = format.channels * 4
    return (b"RIFF" + struct.pack("<I", FLOAT_HEADER - 8 + data_bytes) + b"WAVEfmt "
            + struct.pack("<IHHIIHHH", 18, 3, format.channels, format.sample_rate, format.sample_rate * block,
                          block, 32, 0)
            + b"fact" + struct.pack("<II", 4, data_bytes // block) + b"data" + struct.pack("<I", data_bytes))


def write_wav(path, chunks, format=None):
    """Writes the chunks (arrays from a capture, or bytes) to a WAV file of
    `format` (by default the capture's, when `chunks` is one, else Format());
    float chunks become 16-bit samples for an int16 format. Returns the
    number of frames written."""
    format = format or getattr(chunks, "format", None) or Format()
    block = format.channels * format.bytes_per_sample
    total = 0
    with open(path, "wb") as f:
        out = f
        if format.sample_type == "int16":
            out = wave.open(f, "wb")
            out.setnchannels(format.channels)
            out.setsampwidth(2)
            out.setframerate(format.sample_rate)
        else:
            f.write(_float_header(format, 0))
        try:
            for chunk in chunks:
                data = _samples(chunk, format)
                if total + len(data) + FLOAT_HEADER - 8 > RIFF_LIMIT:
                    raise ValueError("a WAV file holds at most 4 GiB of samples")
                (out.writeframes if out is not f else f.write)(data)
                total += len(data)
        finally:
            if out is not f:
                out.close()
            else:
                f.seek(0)
                f.write(_float_header(format, total))
    return total // block
