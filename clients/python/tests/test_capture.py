"""The client against the scripted helper and the fake one: frames, failures, notices, stalls, clean-up, listing."""
import asyncio, json, os, re, subprocess, sys

import numpy as np
import pytest
from conftest import FAKE, HEADER, HERE, RING, SCRIPTED, gone, pattern, wait_until

from sondrel_process_loopback import CaptureError, Drop, Format, capture_process_audio, list_audio_applications

LINE, REALTIME = "Falha na captura de \u00e1udio do processo", "packets=480 repeat pace=realtime"
NOTICE = "Aviso: \u00e1udio perdido: %d quadros antes do quadro %d (%s)\n"
joined = lambda chunks: np.concatenate(chunks) if chunks else np.zeros((0, 2), np.float32)  # noqa: E731


def reads(c):  # whole reads until the last
    chunks = []
    while len(chunk := c.read(1000)): assert not chunks or len(chunks[-1]) == 1000; chunks.append(chunk)
    return chunks


async def each(c): return [chunk async for chunk in c]


@pytest.mark.parametrize("consume", [list, reads, lambda c: asyncio.run(each(c))])
def test_frames_arrive_whole_and_in_order_whatever_the_cuts(helpers, consume):
    c = helpers.scripted("pace=prequeue packets=480x10,7")
    c.ready(), c.stop()  # drained after the stop
    np.testing.assert_array_equal(joined(consume(c)), pattern(4807))
    stream, cuts = HEADER + pattern(6).tobytes().hex(), np.cumsum([0, 5, 14, 3, 9, 1, 20, 8, 4]) * 2  # inside the header, floats, frames
    chunks = [stream[a:b] for a, b in zip(cuts, cuts[1:])] + ["abcdef"]  # and 3 bytes of a frame that never completes
    np.testing.assert_array_equal(joined(consume(helpers.fake({"chunks": chunks, "delayMs": 15}))), pattern(6))


def bad(at, hex): return {"chunks": [HEADER[:at * 2] + hex + HEADER[at * 2 + len(hex):] + "00" * 32]}


@pytest.mark.parametrize("make, want", [
    (bad(0, "53445242"), dict(code="ERR_BAD_HEADER", message="not a sondrel")), (bad(4, "02000000"), dict(message="version 2 is not 1")),
    (bad(8, "44ac0000"), dict(message="44100 Hz, 2 channels, 32 bits is not")), (bad(12, "0100"), dict(message="1 channels")),
    (bad(14, "1000"), dict(message="16 bits is not")), ({"chunks": [HEADER[:20]]}, dict(code="ERR_NO_HEADER", message="without a stream header")),
    ({"chunks": [HEADER[:8]], "signal": "SIGTERM"}, dict(code="ERR_SIGNAL", signal="SIGTERM", exit_code=None)),
    ({"stderr": LINE + " (0x800705B4)\r\n", "exit": 4}, dict(exit_code=4, hresult=0x800705B4, code="ERROR_TIMEOUT",
                                                             description="within 10 seconds", system_text=None, line=LINE + " (0x800705B4)")),
    ({"chunks": [HEADER, pattern(2).tobytes().hex()], "stderr": "a runtime's note\n" + NOTICE % (5, 0, "leitor atrasado") + LINE + " (0x80070002): x\r\nAviso: a note\n",
      "exit": 4}, dict(code="ERROR_FILE_NOT_FOUND", description="no process-loopback", system_text="x", line=LINE + " (0x80070002): x", frames=2)),  # the last line that is no notice
    ({"stderr": "Segmentation fault\n", "exit": 139}, dict(exit_code=139, hresult=None, code="ERR_EXIT", line="Segmentation fault")),
    (lambda h: h.scripted("", pid=None, window=0x7FFFFFF0), dict(exit_code=2, code="ERR_USAGE", message="--window 0x7ffffff0", line=re.compile("^Uso: "))),
    *[(lambda h, w=w: h.scripted("", pid=None, window=w), dict(code="ERR_USAGE", message="--window 0x1e240")) for w in ("window:123456:0", "123456", "0X1E240")],
    (lambda h: capture_process_audio(42, executable=os.path.join(HERE, "none")), dict(code="ENOENT", message="no file there")),
    ({"chunks": [HEADER, pattern(2).tobytes().hex()], "signal": "SIGKILL"}, dict(code="ERR_SIGNAL", frames=2)),  # the frames before it first
])
def test_a_wrong_stream_or_a_failed_helper_raises_what_went_wrong(helpers, make, want):
    c, got, frames = None, [], want.get("frames", 0)
    with pytest.raises(CaptureError) as raised:
        c = helpers.fake(dict(make, delayMs=5)) if isinstance(make, dict) else make(helpers)
        got.extend(c)
    np.testing.assert_array_equal(joined(got), pattern(frames))
    for key, value in ((k, v) for k, v in want.items() if k != "frames"):
        got = str(raised.value) if key == "message" else getattr(raised.value, key)
        assert value.search(got) if isinstance(value, re.Pattern) else value in got if key in ("message", "description") else got == value, key
    for call in ([c.ready] if c and not frames else []) + ([c.stop] if c else []):
        with pytest.raises(CaptureError) as again: call()
        assert again.value is raised.value


def test_what_names_nothing_is_refused_before_anything_starts(monkeypatch):
    for bad in [dict(sample_rate=7999), dict(sample_rate=48001), dict(sample_rate=16000.0), dict(channels=3), dict(sample_type="int24")]:
        with pytest.raises(ValueError): Format(**bad)
    for error, targets in [(TypeError, [{}, dict(pid=1, exclude_pid=2), dict(pid="12"), dict(pid=True), dict(window=1.5)]), (ValueError, [
            dict(pid=0), dict(pid=-1), dict(pid=2 ** 32), dict(exclude_pid=0), dict(window=0), dict(window=2 ** 64), dict(window="0x"), dict(window="12abc"), dict(window="screen:1:0"), dict(window="window:5:0junk")])]:
        for target in targets:
            with pytest.raises(error): capture_process_audio(executable=SCRIPTED, **target)
    monkeypatch.setattr(sys, "platform", "darwin")
    with pytest.raises(CaptureError, match="no helper for darwin.*executable=") as raised: capture_process_audio(42)
    assert raised.value.code == "ERR_UNSUPPORTED_PLATFORM"


def test_drop_notices_are_counted(helpers):
    notices = NOTICE % (480, 960, "leitor atrasado") + NOTICE % (0, 1440, "descontinuidade do sistema") + NOTICE % (7, 1920, "leitor atrasado")
    c = helpers.fake({"chunks": [HEADER + pattern(2).tobytes().hex()], "stderr": notices.replace("\n", "\r\n", 1) + "Aviso: other\n"})
    assert (len(joined(list(c))), c.exit_code, c.dropped_frames, c.drops) == (2, 0, 487, [Drop(480, 960, "reader-behind"), Drop(0, 1440, "discontinuity"), Drop(7, 1920, "reader-behind")])


@pytest.mark.parametrize("then", ["resume", "stop"])
def test_a_stalled_consumer_holds_back_the_helper_only_past_the_ring_and_loses_nothing(helpers, tmp_path, then):
    report, last = str(tmp_path / "flood.json"), [None]
    c = helpers.fake({"chunks": [HEADER], "flood": 94 * 65536, "report": report})  # the ring and 4 MiB more

    def held():  # finished, or held back past the ring: no progress between two looks
        now = json.load(open(report)) if os.path.exists(report) else {"state": None, "accepted": 0}
        still, last[0] = now == last[0] and now["state"] == "blocked" and now["accepted"] >= RING, now
        return now["state"] == "finished" or still
    c.ready(), wait_until(held, "a held-back or finished helper")
    assert last[0]["state"] == "blocked" and last[0]["accepted"] < RING + 2 ** 20, last[0]
    _ = then == "stop" and c.stop()  # while the consumer is far behind: the helper drains and exits
    got = joined(list(c))
    np.testing.assert_array_equal(got, pattern(len(got)))
    assert c.exit_code == 0 and len(got) >= RING // 8 and (then == "stop" or len(got) == 94 * 8192)


@pytest.mark.parametrize("end", ["with c: c.read(480)", "try: [1 / 0 for _ in c]\nexcept ZeroDivisionError: pass", "c.ready(); c = None",  # collected
                                 "async def go():\n async with c: await c.aread(480)\nasyncio.run(go())",  # cancelled at its next wait:
                                 "async def go():\n async for _ in c: asyncio.current_task().cancel()\ntry: asyncio.run(go())\nexcept asyncio.CancelledError: pass"])
def test_the_helper_never_outlives_its_consumer_or_capture(helpers, end):
    space = {"c": helpers.scripted(REALTIME), "asyncio": asyncio}
    core = space["c"]._core
    exec(end, space)
    wait_until(lambda: core.finished, "the helper's end")
    assert core.returncode == 0  # asked to stop, not killed


@pytest.mark.parametrize("scenario, ending, killed", [
    (REALTIME, "try:\n with c:\n  print(c.pid)\n  while c.read(480) is not None: os.kill(os.getpid(), signal.SIGINT)\n"
               "except KeyboardInterrupt: print(c.exit_code)", False),  # Ctrl+C: the with ends it
    ("completion=never", "print(c.pid, 0)", True),  # exits before ready, when the helper reads no stdin yet
    (REALTIME, "c.ready(); print(c.pid, 0, flush=True); os.kill(os.getpid(), signal.SIGKILL)", False)])  # its stdin closes
def test_the_helper_never_outlives_its_parent(tmp_path, scenario, ending, killed):
    script = "import os, signal, sys\nsys.path.insert(0, %r)\nfrom sondrel_process_loopback import capture_process_audio\n" \
             "c = capture_process_audio(os.getpid(), executable=%r)\n%s" % (os.path.dirname(HERE), SCRIPTED, ending)
    trace = str(tmp_path / "trace")
    pid, exit_code = map(int, subprocess.run([sys.executable, "-c", script], env=dict(os.environ, SONDREL_SCENARIO=scenario, SONDREL_TRACE=trace),
                                             capture_output=True, text=True, timeout=60).stdout.split())
    wait_until(lambda: gone(pid), "the helper's end")
    ended = os.path.exists(trace) and re.search("^exit live=", open(trace).read(), re.M)  # said by a helper that ends itself
    assert exit_code == 0 and bool(ended) != killed


def test_time_outs_end_a_helper_that_hangs(helpers):
    c = helpers.fake({"chunks": [HEADER], "hang": True})
    with pytest.raises(CaptureError) as raised: c.ready(), c.stop()  # it ignores stdin: killed after 5 s
    assert (raised.value.code, raised.value.signal, gone(c.pid)) == ("ERR_STOP_TIMEOUT", "SIGKILL", True)
    with pytest.raises(CaptureError, match="no stream header within 0.5 s"): (c := helpers.fake({"hang": True})).ready(timeout=0.5)
    wait_until(lambda: gone(c.pid), "the helper's end")


def test_listing(tmp_path):
    app, argv = {"pid": 12, "pids": [12, 14], "appPid": 10, "name": "firefox", "exe": "/usr/lib/firefox/firefox",
                 "title": "Firefox", "window": None, "active": True, "peak": 0.5012}, str(tmp_path / "argv")
    run = lambda plan, *ms: list_audio_applications(*ms, executable=FAKE, env=dict(os.environ, FAKE_HELPER=json.dumps(plan)))  # noqa: E731
    for apps, ms, want in [([app, dict(app, pid=20, window=7, exe=None, active=False)], 100, ["--list", "100"]), ([], 0, ["--list", "0"])]:
        assert [(a.pid, list(a.pids), a.app_pid, a.name, a.exe, a.title, a.window, a.active, a.peak)
                for a in run({"stdout": apps, "argv": argv}, ms)] == [tuple(o.values()) for o in apps]
        assert json.load(open(argv)) == want
    for plan, code in [({"stderr": LINE + " (0x88890010)\n", "exit": 4}, "AUDCLNT_E_SERVICE_NOT_RUNNING"),
                       ({"chunks": ["7b7d0a"]}, "ERR_BAD_LIST"), ({"exit": 2}, "ERR_USAGE")]:
        with pytest.raises(CaptureError) as raised: run(plan)
        assert raised.value.code == code
