"""Shared: the scripted helper (SONDREL_SCRIPTED: the program on the scripted audio platform), the
fake one (the Node client's), the frame pattern both write, and the bookkeeping that leaves no helper behind."""
import json, os, signal, sys, time

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from sondrel_process_loopback import capture_process_audio  # noqa: E402

SCRIPTED = os.environ.get("SONDREL_SCRIPTED", os.path.join(HERE, "../../../build/linux/tests/sondrel-process-loopback-scripted"))
FAKE, HEADER, GUARD = os.path.join(HERE, "../../node/test/fake-helper.mjs"), "534452410100000080bb000002002000", 30  # GUARD: s, reached only on a hang
RING = 5 * 48000 * 8  # what the helper keeps for a reader that falls behind
os.environ.pop("DISPLAY", None)  # --window must find no windows here


def pattern(frames): return np.arange(1, frames + 1, dtype=np.float32)[:, None] * np.float32([1, -1])  # frame n of both helpers: (n + 1, -(n + 1))


def gone(pid):  # exited, or a zombie nobody has reaped yet
    try: return os.kill(pid, 0) or open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError): return True


def wait_until(condition, what):
    deadline = time.monotonic() + GUARD
    while not condition(): assert time.monotonic() < deadline, "%s never came" % what; time.sleep(0.02)


@pytest.fixture
def helpers():
    _, started = os.path.exists(SCRIPTED) or pytest.skip("no scripted helper at %s" % SCRIPTED), []

    def start(executable, var, value, o):
        o.setdefault("pid", os.getpid())
        capture = capture_process_audio(executable=executable, env=dict(os.environ, **{var: value}), **o)
        started.append(capture.pid)  # not the capture, which a case may need collected
        return capture
    yield type("Helpers", (), dict(scripted=staticmethod(lambda scenario, **o: start(SCRIPTED, "SONDREL_SCENARIO", scenario, o)),
                                   fake=staticmethod(lambda plan, **o: start(FAKE, "FAKE_HELPER", json.dumps(plan), o))))
    for pid in (pid for pid in started if not gone(pid)): os.kill(pid, signal.SIGKILL)
