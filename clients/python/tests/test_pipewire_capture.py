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
    _ = os.path.exists(PROGRAM) or pytest.skip("no Linux program at %s" % PROGRAM)
    directory = str(tmp_path_factory.mktemp("pw"))
    make_tone(os.path.join(directory, "1000.wav"), 1000, 30)  # half scale
    try: yield start_session(directory), os.path.join(directory, "1000.wav")
    finally: stop_session(directory)


@pytest.mark.parametrize("target, format", [("pid", Format()), ("exclude_pid", Format(16000, 1, "int16"))])
def test_a_tone_is_captured_at_its_level(session, target, format):
    def level(block):  # of 1 kHz in the first channel, full scale 1.0 (whole cycles: no leakage)
        x = np.asarray(block, np.float64)[:, 0] / (32768 if block.dtype == np.int16 else 1)
        return 2 / len(x) * abs(np.sum(x * np.exp(-2j * np.pi * 1000 * np.arange(len(x)) / format.sample_rate)))
    player, bystander = subprocess.Popen(["pw-play", session[1]], env=session[0]), subprocess.Popen(["sleep", "60"])
    try:
        with capture_process_audio(**{target: (player if target == "pid" else bystander).pid}, format=format, executable=PROGRAM, env=session[0]) as c:
            for _ in range(80):  # up to 20 s of audio for the player's start
                if level(c.read(format.sample_rate // 4)) > 0.3: break
            heard = level(c.read(format.sample_rate // 2))
        print("%s: 1 kHz at %.4f of full scale" % (target, heard))
        assert abs(heard - 0.5) < 0.025, heard
    finally:
        for p in (player, bystander): p.kill(), p.wait()
