"""Shared by the Python client's tests: the scripted helper (SONDREL_SCRIPTED,
the program built with the scripted audio platform), the fake helper, the
frame pattern both write, and the bookkeeping that leaves no helper behind."""
import json, os, signal, sys, time

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from sondrel_process_loopback import capture_process_audio  # noqa: E402

SCRIPTED = os.environ.get("SONDREL_SCRIPTED",
                          os.path.join(HERE, "../../../build/linux/tests/sondrel-process-loopback-scripted"))
FAKE = os.path.join(HERE, "fake_helper.py")
HEADER = "534452410100000080bb000002002000"
RING = 5 * 48000 * 8  # what the helper keeps for a reader that falls behind
GUARD = 30  # seconds; reached only when something hangs
os.environ.pop("DISPLAY", None)  # --window must find no windows here


def pattern(frames, start=0):
    """Frame n of the helpers' pattern is (n + 1, -(n + 1))."""
    n = np.arange(start + 1, start + frames + 1, dtype=np.float32)
    return np.stack([n, -n], axis=1)


def gone(pid):
    """Exited (or a zombie nobody has reaped yet)."""
    try:
        os.kill(pid, 0)
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError):
        return True


def wait_until(condition, what="the condition"):
    deadline = time.monotonic() + GUARD
    while not condition():
        assert time.monotonic() < deadline, "%s never came" % what
        time.sleep(0.02)


@pytest.fixture
def helpers():
    """Starts captures of the scripted or the fake helper; a failed case leaves none running."""
    started = []

    class Helpers:
        def scripted(self, scenario, **o):
            o.setdefault("pid", os.getpid())
            return self.track(capture_process_audio(executable=SCRIPTED, env=dict(os.environ, SONDREL_SCENARIO=scenario), **o))

        def fake(self, plan, **o):
            return self.track(capture_process_audio(os.getpid(), executable=FAKE, env=dict(os.environ, FAKE_HELPER=json.dumps(plan)), **o))

        def track(self, capture):
            started.append(capture.pid)
            return capture
    if not os.path.exists(SCRIPTED):
        pytest.skip("no scripted helper at %s" % SCRIPTED)
    yield Helpers()
    for pid in started:
        if not gone(pid):
            os.kill(pid, signal.SIGKILL)
