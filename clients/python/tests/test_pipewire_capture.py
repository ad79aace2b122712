"""The client with the real Linux program (SONDREL_PROGRAM) in a private PipeWire session."""
import os, subprocess, sys

import numpy as np
import pytest
from conftest import HERE

from sondrel_process_loopback import Format, capture_process_audio

sys.path.insert(0, os.path.join(HERE, "../../../tests/pipewire"))
from test_pipewire import make_tone, start_session, stop_session  # noqa: E402

PROGRAM = os.environ.get("SONDREL_PROGRAM", os.path.join(HERE, "../../../build/linux/platform/pipewire/sondrel-process-loopback"))


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    if not os.path.exists(PROGRAM):
        pytest.skip("no Linux program at %s" % PROGRAM)
    directory = str(tmp_path_factory.mktemp("pw"))
    tone = os.path.join(directory, "1000.wav")
    make_tone(tone, 1000, 30)  # half scale
    try:
        yield start_session(directory), tone
    finally:
        stop_session(directory)


def level(block, rate):
    """Amplitude of 1 kHz in the left channel, full scale 1.0 (a whole number of cycles: no leakage)."""
    x = np.asarray(block, np.float64)[:, 0] / (32768 if block.dtype == np.int16 else 1)
    return 2 / len(x) * abs(np.sum(x * np.exp(-2j * np.pi * 1000 * np.arange(len(x)) / rate)))


@pytest.mark.parametrize("target, format", [("pid", Format()), ("exclude_pid", Format(16000, 1, "int16"))])
def test_a_tone_is_captured_at_its_level(session, target, format):
    env, tone = session
    player = subprocess.Popen(["pw-play", tone], env=env, start_new_session=True)
    bystander = subprocess.Popen(["sleep", "60"])
    try:
        chosen = player.pid if target == "pid" else bystander.pid
        with capture_process_audio(**{target: chosen}, format=format, executable=PROGRAM, env=env) as capture:
            quarter = format.sample_rate // 4
            for _ in range(80):  # up to 20 s of audio for the player's start
                if level(capture.read(quarter), format.sample_rate) > 0.3:
                    break
            heard = level(capture.read(2 * quarter), format.sample_rate)
        print("%s: 1 kHz at %.4f of full scale" % (target, heard))
        assert abs(heard - 0.5) < 0.025, heard
    finally:
        player.kill()
        bystander.kill()
        player.wait(), bystander.wait()
