"""The client against the scripted helper and the fake one: frames, failures, notices, clean-up."""
import asyncio, gc, json, os, re, subprocess, sys

import numpy as np
import pytest
from conftest import FAKE, HEADER, HERE, RING, SCRIPTED, gone, pattern, wait_until

from sondrel_process_loopback import CaptureError, Drop, capture_process_audio, list_audio_applications

LINE = "Falha na captura de \u00e1udio do processo"


def collect(capture):
    chunks = list(capture)
    return np.concatenate(chunks) if chunks else np.zeros((0, 2), np.float32)


def by_read(capture):
    chunks = []
    while len(chunk := capture.read(1000)):
        assert len(chunk) == 1000 or not len(capture.read(1)), "a short read before the end"
        chunks.append(chunk)
    return np.concatenate(chunks)


def by_async(capture):
    async def run():
        return np.concatenate([chunk async for chunk in capture])
    return asyncio.run(run())


@pytest.mark.parametrize("consume", [collect, by_read, by_async])
def test_frames_arrive_whole_and_in_order_whatever_the_cuts(helpers, consume):
    c = helpers.scripted("pace=prequeue packets=480x10,7")
    c.ready()
    c.stop()  # drained after the stop
    np.testing.assert_array_equal(consume(c), pattern(4807))
    stream, at, chunks = HEADER + pattern(6).tobytes().hex(), 0, []
    for n in (5, 14, 3, 9, 1, 20, 8, 4):  # cut inside the header, floats, frames
        chunks.append(stream[at * 2:(at + n) * 2])
        at += n
    got = consume(helpers.fake({"chunks": chunks + ["abcdef"], "delay": 0.015}))  # 3 bytes of a frame that never completes
    np.testing.assert_array_equal(got, pattern(6))


def bad(at, hex):
    return [HEADER[:at * 2] + hex + HEADER[at * 2 + len(hex):] + "00" * 32]


@pytest.mark.parametrize("plan, want, frames", [
    ({"chunks": bad(0, "53445242")}, dict(code="ERR_BAD_HEADER", message="not a sondrel"), 0),
    ({"chunks": bad(4, "02000000")}, dict(message="version 2 is not 1"), 0),
    ({"chunks": bad(8, "44ac0000")}, dict(message="44100 Hz, 2 channels, 32 bits is not"), 0),
    ({"chunks": bad(12, "0100")}, dict(message="1 channels"), 0),
    ({"chunks": bad(14, "1000")}, dict(message="16 bits is not"), 0),
    ({"chunks": [HEADER[:20]]}, dict(code="ERR_NO_HEADER", message="without a stream header"), 0),
    ({}, dict(code="ERR_NO_HEADER"), 0),
    ({"chunks": [HEADER[:8]], "signal": "SIGTERM"}, dict(code="ERR_SIGNAL", signal="SIGTERM", exit_code=None), 0),
    ({"chunks": [HEADER, HEADER], "signal": "SIGKILL"}, dict(code="ERR_SIGNAL", signal="SIGKILL"), 2),
    ({"stderr": LINE + " (0x800705B4)\r\n", "exit": 4},
     dict(exit_code=4, hresult=0x800705B4, code="ERROR_TIMEOUT", description="within 10 seconds",
          system_text=None, line=LINE + " (0x800705B4)"), 0),
    ({"stderr": "warning: a runtime's note\nAviso: \u00e1udio perdido: 5 quadros antes do quadro 0 (leitor atrasado)\n"
                "%s (0x80070002): x\r\nAviso: something\n" % LINE, "exit": 4},  # the last line that is no notice
     dict(hresult=0x80070002, code="ERROR_FILE_NOT_FOUND", description="no process-loopback", message="0x80070002"), 0),
    ({"stderr": "Segmentation fault\n", "exit": 139}, dict(exit_code=139, hresult=None, code="ERR_EXIT", line="Segmentation fault"), 0),
])
def test_a_wrong_stream_or_a_failed_helper_raises_what_went_wrong(helpers, plan, want, frames):
    c, got = helpers.fake(dict(plan, delay=0.005)), []
    with pytest.raises(CaptureError) as raised:
        for chunk in c:
            got.append(chunk)
    for key, value in want.items():
        actual = str(raised.value) if key == "message" else getattr(raised.value, key)
        assert value in actual if isinstance(value, str) and key in ("message", "description") else actual == value, key
    assert sum(map(len, got)) == frames
    if not frames:
        with pytest.raises(CaptureError):
            c.ready()


@pytest.mark.parametrize("make, want", [
    (lambda h: h.scripted("activate=0x80070005"), dict(exit_code=4, hresult=0x80070005, code="E_ACCESSDENIED",
                                                      system_text="Acesso negado.", line=LINE + " (0x80070005): Acesso negado.")),
    (lambda h: h.scripted("", pid=None, window=0x7FFFFFF0), dict(exit_code=2, code="ERR_USAGE")),
    (lambda h: h.scripted("", pid=None, window="window:123456:0"), dict(exit_code=2, code="ERR_USAGE")),
    (lambda h: capture_process_audio(42, executable=os.path.join(HERE, "none")), dict(code="ENOENT", exit_code=None)),
])
def test_failures_carry_a_name_a_description_the_code_and_the_line(helpers, make, want):
    with pytest.raises(CaptureError) as raised:
        with make(helpers) as c:
            c.stop()
    assert {k: getattr(raised.value, k) for k in want} == want
    assert raised.value.description and (raised.value.code != "ERR_USAGE" or raised.value.line.startswith("Uso: "))


def test_frames_before_a_failure_come_first_and_targets_are_checked(helpers, monkeypatch):
    got, c = [], helpers.scripted("pace=prequeue packets=480x4 fail=getnext:2:0x88890004")
    with pytest.raises(CaptureError) as raised:
        got.extend(c)
    assert (raised.value.code, raised.value.exit_code) == ("AUDCLNT_E_DEVICE_INVALIDATED", 4)
    np.testing.assert_array_equal(np.concatenate(got), pattern(960))
    for error, targets in [(TypeError, [{}, dict(pid=1, exclude_pid=2), dict(pid="12"), dict(pid=True), dict(window=1.5)]),
                           (ValueError, [dict(pid=0), dict(pid=-1), dict(pid=2 ** 32), dict(exclude_pid=0), dict(window=0),
                                         dict(window=2 ** 64), dict(window="0x10"), dict(window="screen:1:0")])]:
        for target in targets:
            with pytest.raises(error):
                capture_process_audio(executable=SCRIPTED, **target)
    monkeypatch.setattr(sys, "platform", "darwin")
    with pytest.raises(CaptureError, match="no helper for darwin.*executable="):
        capture_process_audio(42)


def test_drop_notices_are_counted_and_never_taken_for_the_failure(helpers):
    notices = ["Aviso: \u00e1udio perdido: 480 quadros antes do quadro 960 (leitor atrasado)\r\n",
               "Aviso: \u00e1udio perdido: 0 quadros antes do quadro 1440 (descontinuidade do sistema)\n",
               "Aviso: \u00e1udio perdido: 7 quadros antes do quadro 1920 (leitor atrasado)\n", "Aviso: a note\n"]
    c = helpers.fake({"chunks": [HEADER + pattern(2).tobytes().hex()], "stderr": "".join(notices), "exit": 0})
    assert len(collect(c)) == 2 and c.exit_code == 0
    assert (c.dropped_frames, c.drops) == (487, [Drop(480, 960, "reader behind"), Drop(0, 1440, "system discontinuity"),
                                                 Drop(7, 1920, "reader behind")])


def flooded(helpers, tmp_path):
    """A helper with far more than the ring to write, and nobody reading: where does it stop?"""
    report = str(tmp_path / "flood.json")
    c, last = helpers.fake({"chunks": [HEADER], "flood": RING + 4 * 2 ** 20, "report": report}), [None]
    c.ready()

    def held():  # finished, or held back past the ring with no progress between two looks
        try:
            with open(report) as f:
                now = json.load(f)
        except FileNotFoundError:
            return False
        still, last[0] = now["state"] == "blocked" and last[0] == now and now["accepted"] >= RING, now
        return now["state"] == "finished" or still
    wait_until(held, "a held-back or finished helper")
    return c, last[0]


def frames_in_order(chunks):
    got = np.concatenate(chunks)
    np.testing.assert_array_equal(got, pattern(len(got)))
    return len(got)


@pytest.mark.parametrize("then", ["resume", "stop"])
def test_a_stalled_consumer_holds_back_the_helper_after_the_ring_and_loses_nothing(helpers, tmp_path, then):
    c, state = flooded(helpers, tmp_path)
    assert state["state"] == "blocked" and RING <= state["accepted"] < RING + 2 ** 20, state
    if then == "stop":  # stop() while the consumer is far behind: the helper drains and exits
        c.stop()
        assert c.exit_code == 0 and frames_in_order(list(c)) >= RING // 8
    else:
        assert frames_in_order(list(c)) == (RING + 4 * 2 ** 20) // 8


def end_by_with(h):
    with h.scripted("packets=480 repeat pace=realtime") as c:
        c.read(480)
    return c


def end_by_exception(h):
    c = h.scripted("packets=480 repeat pace=fast")
    with pytest.raises(ZeroDivisionError):
        for chunk in c:
            1 / 0
    return c


def end_by_gc(h):
    c = h.scripted("packets=480 repeat pace=realtime")
    c.ready()
    core = c._core
    del c
    gc.collect()
    return type("Ended", (), {"_core": core, "exit_code": property(lambda s: s._core.returncode)})()


def end_by_cancel(h):
    c, got = h.scripted("packets=480 repeat pace=realtime"), asyncio.Event()

    async def consume():
        async with c:
            async for _ in c:
                got.set()

    async def run():
        task = asyncio.ensure_future(consume())
        await got.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    asyncio.run(run())
    return c


@pytest.mark.parametrize("end", [end_by_with, end_by_exception, end_by_gc, end_by_cancel])
def test_the_helper_never_outlives_its_consumer_or_capture(helpers, end):
    c = end(helpers)
    wait_until(lambda: c._core.finished, "the helper's end")
    assert c.exit_code == 0  # asked to stop, not killed


PARENT = """import os, signal, sys
sys.path.insert(0, %r)
from sondrel_process_loopback import capture_process_audio
c = capture_process_audio(os.getpid(), executable=%r)
%s"""


@pytest.mark.parametrize("scenario, ending, killed", [
    ("packets=480 repeat pace=realtime", "try:\n with c:\n  print(c.pid, flush=True)\n  for chunk in c: os.kill(os.getpid(), "
     "signal.SIGINT)\nexcept KeyboardInterrupt: print(c.exit_code)", False),  # Ctrl+C: asked, gone before the with is left
    ("completion=never", "print(c.pid, 0, flush=True)", True),  # exits before ready, when the helper reads no stdin yet
    ("packets=480 repeat pace=realtime", "c.ready(); print(c.pid, 0, flush=True); os.kill(os.getpid(), signal.SIGKILL)", False),
])
def test_the_helper_never_outlives_its_parent(helpers, tmp_path, scenario, ending, killed):
    trace = str(tmp_path / "trace")
    parent = subprocess.run([sys.executable, "-c", PARENT % (os.path.dirname(HERE), SCRIPTED, ending)], timeout=60,
                            env=dict(os.environ, SONDREL_SCENARIO=scenario, SONDREL_TRACE=trace), capture_output=True, text=True)
    pid, exit_code = map(int, parent.stdout.split())
    wait_until(lambda: gone(pid), "the helper's end")
    assert exit_code == 0
    ended = os.path.exists(trace) and re.search(r"^exit live=", open(trace).read(), re.M)  # said by a helper that ends itself
    assert bool(ended) != killed


def test_time_outs_end_a_helper_that_hangs(helpers):
    c = helpers.fake({"chunks": [HEADER], "hang": True})
    c.ready()
    with pytest.raises(CaptureError) as raised:
        c.stop()  # ignores stdin: killed after 5 s
    assert (raised.value.code, raised.value.signal, gone(c.pid)) == ("ERR_STOP_TIMEOUT", "SIGKILL", True)
    c = helpers.fake({"hang": True})
    with pytest.raises(CaptureError, match="no stream header within 0.5 s") as raised:
        c.ready(timeout=0.5)
    wait_until(lambda: gone(c.pid), "the helper's end")


def test_listing(tmp_path):
    app = {"pid": 12, "pids": [12, 14], "appPid": 10, "name": "firefox", "exe": "/usr/lib/firefox/firefox",
           "title": "Firefox", "window": None, "active": True, "peak": 0.5012}
    argv = str(tmp_path / "argv")
    for plan, ms, want in [({"stdout": [app, dict(app, pid=20, window=7, exe=None)]}, 100, ["--list"]),
                           ({"stdout": []}, 250, ["--list", "250"])]:
        env = dict(os.environ, FAKE_HELPER=json.dumps(dict(plan, argv=argv)))
        got = list_audio_applications(ms, executable=FAKE, env=env)
        assert [(a.pid, a.pids, a.app_pid, a.exe, a.window, a.active, a.peak) for a in got] == [
            (o["pid"], tuple(o["pids"]), o["appPid"], o["exe"], o["window"], o["active"], o["peak"]) for o in plan["stdout"]]
        assert json.load(open(argv)) == want
    for plan, code in [({"stderr": LINE + " (0x88890010)\n", "exit": 4}, "AUDCLNT_E_SERVICE_NOT_RUNNING"),
                       ({"chunks": ["7b7d0a"]}, "ERR_BAD_LIST"), ({"exit": 2}, "ERR_USAGE")]:
        with pytest.raises(CaptureError) as raised:
            list_audio_applications(executable=FAKE, env=dict(os.environ, FAKE_HELPER=json.dumps(plan)))
        assert raised.value.code == code
