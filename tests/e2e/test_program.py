#!/usr/bin/env python3
"""The built program through real pipes, Linux build and .exe under Wine, on the
scripted audio platform, whose trace shows each call, Release and what is left."""
import argparse
import array
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
WINDOWS = False  # the program under test is the .exe, native or under Wine
TARGET = str(os.getpid())  # a live process for --pid; under Windows a helper's
MISSING = "4294967288"  # a pid no process has
RING = 1 << 18  # frames the helper keeps for a stalled reader
SECOND = 8 * 48000
NL = b"\n"
HEADER = b"SDRA" + struct.pack("<IIHH", 1, 48000, 2, 32)
USAGE = b"Uso: sondrel-process-loopback.exe --window <HWND> | --pid <PID> | --exclude-pid <PID>"
CAPTURE = "Falha na captura de \u00e1udio do processo".encode()
CLEAN_EXIT = "exit live=0 handles=0"
NOTICE = re.compile("^Aviso: \u00e1udio perdido: (\\d+) quadros antes do quadro (\\d+) "
                    "\\((leitor atrasado|descontinuidade do sistema)\\)$".encode())
# Wine's own line on a process's standard error as it exits under load, cut short when the exit
# comes first.
WINE_NOISE = re.compile(rb"^wine client error:[0-9a-f]+: [^\n]*(\n|\Z)", re.MULTILINE)

CLIENT, CLOSED = "Release IAudioClient", " events=closed"
OPERATION = "Release IActivateAudioInterfaceAsyncOperation"
# Releases by how far the run got: the activated object (by the handler), then
# capture client, controller's audio client, operation, handler's audio client.
RELEASES = {"no operation": [], "no client": [OPERATION],
            "no audio client": ["Release IUnknown", OPERATION],
            "no event": [CLIENT, CLIENT, OPERATION, CLIENT],
            "no capture client": [CLIENT, CLIENT + CLOSED, OPERATION + CLOSED, CLIENT + CLOSED]}
RELEASES["not started"] = [CLIENT, "Release IAudioCaptureClient" + CLOSED] + \
    RELEASES["no capture client"][1:]
RELEASES["stopped"] = [CLIENT, "Stop events=open buffer=free"] + RELEASES["not started"][1:]


def command(program, *arguments):
    return ([ARGS.wine] if ARGS.wine else []) + [program, *arguments]


def frames(start, count):  # the scripted platform numbers frames from 1, wrapping before floats go inexact
    numbers = (float(i % 16777215 + 1) for i in range(start, start + count))
    return b"".join(struct.pack("<ff", n, -n) for n in numbers)


def failure(code):  # with or without the system's text
    return re.escape(CAPTURE) + rb" \(0x%08X\)(: [^\r\n]+)?" % code + re.escape(NL) + rb"\Z"


def continuity(body):
    """Whole frames of the counting pattern: (frames, [(frames lost, index of the frame after)])."""
    samples = array.array("f", body)
    left, right = samples[0::2], samples[1::2]
    assert all(l == -r for l, r in zip(left, right)), "frames out of line"
    return len(left), [(int(b - a - 1), i + 1) for i, (a, b) in enumerate(zip(left, left[1:])) if b != a + 1]


def notices(err):
    """The drop notices, as (frames lost, frame after, reason); anything else on stderr fails."""
    lines = err.split(NL)
    found = [NOTICE.match(line) for line in lines[:-1]]
    assert lines[-1] == b"" and all(found), err
    return [(int(m[1]), int(m[2]), m[3].decode()) for m in found]


def read_at_pace(fd, stop_after=None, limit=None):
    """Reads at exactly the audio's pace until end of file, stop_after seconds or limit bytes."""
    got, started = b"", time.monotonic()
    while (limit is None or len(got) < limit) and (stop_after is None or time.monotonic() - started < stop_after):
        due = int((time.monotonic() - started) * SECOND) - len(got)
        chunk = os.read(fd, min(due, 1 << 16)) if due > 0 else time.sleep(0.01)
        if chunk == b"":
            break
        got += chunk or b""
    return got


class Run:
    def __init__(self, scenario, arguments=None, stdin=subprocess.PIPE,
                 stdout=subprocess.PIPE, wrap=(), **kwargs):
        fd, self.trace_path = tempfile.mkstemp(prefix="sondrel-trace-")
        os.close(fd)
        env = dict(os.environ, SONDREL_SCENARIO=scenario, SONDREL_TRACE=self.trace_path)
        self.started = time.monotonic()
        self.p = subprocess.Popen([*wrap, *command(ARGS.scripted, *(("--pid", TARGET) if arguments is None else arguments))], stdin=stdin,
                                  stdout=stdout, stderr=subprocess.PIPE, env=env, **kwargs)

    def finish(self):
        out, err = self.p.communicate(timeout=60)
        self.elapsed = time.monotonic() - self.started
        with open(self.trace_path) as trace:
            lines = trace.read().splitlines()
        os.unlink(self.trace_path)
        return self.p.returncode, out or b"", WINE_NOISE.sub(b"", err) if ARGS.wine else err, lines


def run(scenario, arguments=None, stdin=subprocess.DEVNULL, **kwargs):
    return Run(scenario, arguments, stdin, **kwargs).finish()


class Case(unittest.TestCase):
    def assertTornDown(self, trace, reached, exit=CLEAN_EXIT):
        self.assertEqual([line for line in trace if line.startswith(("Release ", "Stop"))],
                         RELEASES[reached])
        # lines the platform writes only when the program misused a handle
        self.assertEqual([line for line in trace
                          if line.startswith(("completion ", "standard descriptor"))], [])
        self.assertTrue(trace[-1].startswith(exit), trace[-1])


class CommandLine(Case):
    def test_wrong_arguments_give_usage(self):
        for arguments in ([], ["--pid"], ["--pid", "42", "x"], ["42", "--pid"], ["--PID", "42"],
                          *(["--pid", v] for v in ("0", "abc", "4294967296")), ["--window", "12345"],
                          *([o, TARGET + "x"] for o in ("--pid", "--exclude-pid", "--window"))):
            with self.subTest(arguments=arguments):
                self.assertEqual(run("", arguments)[:3], (2, b"", USAGE + NL))

    def test_target_reaches_the_platform_as_requested(self):
        # a pid that names no process leaves nothing out
        for arguments, blob in ((["--pid", " %s\t" % TARGET], "1 %s 0" % TARGET),
                                (["--exclude-pid", MISSING], "1 %s 1" % MISSING)):
            code, out, err, trace = run("activate=0x80070005", arguments)
            self.assertEqual((code, out), (4, b""))
            self.assertEqual(trace[0], "ActivateAudioInterfaceAsync VAD\\Process_Loopback "
                                       "IAudioClient 65 12 " + blob)

    def test_apartment_refused_gives_exit_3_and_no_capture(self):
        code, out, err, trace = run("com=sta")
        self.assertEqual((code, out, trace), (3, b"", [CLEAN_EXIT]))
        self.assertRegex(err, rb"\AFalha ao inicializar COM \(0x80010106\)(: [^\r\n]+)?"
                         + re.escape(NL) + rb"\Z")


class Streaming(Case):
    def test_pending_packets_are_written_before_the_stop_whatever_a_write_takes(self):
        # Also what the platform hands over after Stop; a flagged discontinuity is told where.
        for limit in ("",) if WINDOWS else ("", " writelimit=3", " writelimit=1"):
            with self.subTest(limit=limit):
                code, out, err, trace = run("pace=prequeue packets=480x2,7d,480s,256n,z,960 flush=100" + limit)
                self.assertEqual((code, notices(err)), (0, [(0, 960, "descontinuidade do sistema")]))
                self.assertEqual(out, HEADER + frames(0, 967) + bytes(8 * 736) + frames(1703 + 480, 1060))
                self.assertIn("Initialize 0 0x88060000 0 0 3 2 48000 384000 8 32 0 null", trace)
                self.assertTornDown(trace, "stopped")

    def test_a_stop_byte_or_the_reader_going_ends_a_stream_read_one_byte_at_a_time(self):
        # The reader goes while the helper streams, stdin open; a non-blocking stdin waits for the byte.
        for reader_goes, blocking in ((False, True), (True, True), *(() if WINDOWS else ((False, False),))):
            with self.subTest(reader_goes=reader_goes, blocking=blocking):
                stdin, stop = os.pipe()
                os.set_blocking(stdin, blocking)
                r = Run("pace=realtime repeat packets=480", stdin=stdin)
                os.close(stdin)
                got = b"".join(os.read(r.p.stdout.fileno(), 1) for _ in range(16 + 8 * 480 * 3))
                r.p.stdout.close() if reader_goes else os.write(stop, b"\x00")
                code, out, err, trace = r.finish()
                os.close(stop)
                body = (got + out)[16:]
                self.assertEqual((code, err, got[:16], len(body) % (8 * 480)), (0, b"", HEADER, 0))
                self.assertEqual(body, frames(0, len(body) // 8))
                # a packet whose write failed is handed back before the stop; with stdin
                # still open after the reader went, its watcher is left waiting
                self.assertTornDown(trace, "stopped", "exit live=0 " if reader_goes else CLEAN_EXIT)

    def test_a_stalled_reader_loses_only_what_the_ring_cannot_hold_and_a_stop_stays_bounded(self):
        # Packets come at the real pace into a 1 s platform buffer. After a 3 s stall the
        # reader keeps to the real pace, so it never catches up: the stop must still end
        # the run once what was held when it came has gone out.
        for stall in (3, 10):
            with self.subTest(stall=stall):
                r = Run("buffer=1000 repeat packets=480")
                fd = r.p.stdout.fileno()
                got = b""
                while len(got) < 16 + SECOND // 2:
                    got += os.read(fd, 16 + SECOND // 2 - len(got))
                began = time.monotonic()
                time.sleep(stall)
                stalled = time.monotonic() - began
                got += read_at_pace(fd, stop_after=1) if stall == 3 else b""
                os.write(r.p.stdin.fileno(), b"\x00")
                bound = 8 * (RING + 2 * 48000) + (1 << 16)  # ring, platform buffer, pipe
                after = read_at_pace(fd, limit=bound + SECOND) if stall == 3 else b""
                code, rest, err, trace = r.finish()
                after += rest
                self.assertEqual((code, got[:16]), (0, HEADER))
                self.assertLessEqual(len(after), bound)
                count, gaps = continuity((got + after)[16:])
                self.assertEqual(len(got + after) - 16, 8 * count)
                # each gap told exactly: how much, and where
                self.assertEqual(notices(err), [gap + ("leitor atrasado",) for gap in gaps])
                self.assertEqual(len(gaps), stall == 10)
                if gaps:  # one gap, no longer than the stall less the ring, and the ring came out
                    self.assertLessEqual(gaps[0][0], int(stalled * 48000) - RING)
                    self.assertGreaterEqual(count - 24000, RING)
                self.assertTornDown(trace, "stopped")

    def test_stdin_at_end_or_any_standard_stream_missing_still_streams_and_stops(self):
        # A closed descriptor must not become an event; success codes besides S_OK are success;
        # a live target that may not be opened is captured.
        for closed, scenario in ((None, ""), (None, "start=0x1"), (0, "result=code:0x1"), (2, ""),
                                 *(() if WINDOWS else ((None, "openprocess=5"),))):
            with self.subTest(closed=closed, scenario=scenario):
                preexec_fn = None if closed is None else lambda: os.close(closed)
                code, out, err, trace = run(scenario, preexec_fn=preexec_fn)
                self.assertEqual((code, out, err), (0, HEADER, b""))
                self.assertTornDown(trace, "stopped")

    def test_reader_gone_before_header_is_a_failure_without_start(self):
        # closed pipe; no stdout at all is no reader that went away but a handle that is not one;
        # a full disk; a write the system refuses for a reason of its own (EINVAL: an epoll) is no bad pid
        for child, expected in ((None, 0x8007006D), (lambda: os.close(1), 0x80070006), ("full", 0x80070070),
                                *(() if WINDOWS else (("epoll", 0x8007001F),))):
            read_end, write_end = os.pipe()
            os.close(read_end)
            if child in ("epoll", "full"):
                os.close(write_end)
                with select.epoll() if child == "epoll" else open("/dev/full", "wb") as refusing:
                    child, write_end = None, os.dup(refusing.fileno())
            code, out, err, trace = run("pace=prequeue packets=480", stdout=write_end, preexec_fn=child)
            os.close(write_end)
            self.assertEqual((code, "Start" in trace), (4, False))
            self.assertRegex(err, failure(expected))
            self.assertTornDown(trace, "not started")


class Failures(Case):
    def test_each_platform_failure_gives_its_line_exit_4_and_releases_everything(self):
        # Frames before a failing packet are written, and the packet whose release failed.
        # The code is the scenario's last one unless given.
        q = "pace=prequeue packets=480x4 fail=%s:0x88890004"
        for scenario, reached, written, *code in (
                ("activate=0x80070005", "no operation", 0), ("result=code:0x88890008", "no client", 0),
                ("result=fail:0x80004005", "no client", 0), ("result=none", "no client", 0, 0x8000FFFF),
                ("result=other", "no audio client", 0, 0x80004002), ("start=0x88890001", "not started", 0),
                ("initialize=0x88890008", "no event", 0), (q % "getbuffer:1", "stopped", 480),
                ("seteventhandle=0x80070057", "no capture client", 0), (q % "getnext:2", "stopped", 960),
                (q % "release:2", "stopped", 1440),
                *(() if WINDOWS else (  # no thread after the start, a failed wait: not under Wine
                    ("threadstart=fail", "stopped", 0, 0x80070008),  # the stop watcher
                    ("threadstart=early", "not started", 0, 0x80070008),  # the writer
                    ("wait=fail completion=never", "no client", 0, 0x80070006)))):
            with self.subTest(scenario=scenario):
                status, out, err, trace = run(scenario)
                self.assertEqual(status, 4)
                self.assertRegex(err, failure(code[0] if code else int(scenario[-10:], 16)))
                self.assertEqual(out, HEADER + frames(0, written) if reached in ("not started", "stopped") else b"")
                self.assertTornDown(trace, reached)

    def test_a_pid_that_names_no_live_process_fails_before_activation(self):
        pids = [MISSING]
        if WINDOWS:  # a process that ended with code 259, STILL_ACTIVE's value, its id held
            ended = subprocess.Popen(command(ARGS.window_helper, "exit259"), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            pids.append(ended.stdout.readline().decode().split()[1])
        else:  # a child that ended and was not yet reaped, and a thread's id
            zombie, alive = subprocess.Popen(["true"]), threading.Event()
            thread = threading.Thread(target=alive.wait)
            thread.start()
            while open("/proc/%d/stat" % zombie.pid).read().split(") ")[1][0] != "Z":
                time.sleep(0.01)
            pids += [str(zombie.pid), str(thread.native_id)]
        try:
            for pid in pids:
                with self.subTest(pid=pid):
                    code, out, err, trace = run("", ["--pid", pid])
                    self.assertEqual((code, out, trace), (4, b"", [CLEAN_EXIT]))
                    self.assertRegex(err, failure(0x80070057))
        finally:
            if WINDOWS:
                ended.communicate(timeout=30)
            else:
                alive.set(), thread.join(), zombie.wait()

    def test_a_full_disk_after_the_header_is_a_failure_with_its_code(self):
        if WINDOWS or os.geteuid() != 0 or not shutil.which("unshare"):
            self.skipTest("a small file system of its own needs root and unshare on Linux")
        with tempfile.TemporaryDirectory() as mount:
            script = 'mount -t tmpfs -o size=256k sondrel "$0" && exec "$@" >"$0/out"'
            r = Run("pace=fast repeat packets=480", stdout=None, wrap=("unshare", "-m", "sh", "-c", script, mount))
            r.p.wait(60)  # stdin open: only the failed write ends it
            code, out, err, trace = r.finish()
        if code == 1 and b"mount" in err:
            self.skipTest("no tmpfs could be mounted: " + err.decode(errors="replace").strip())
        self.assertEqual(code, 4)
        self.assertRegex(err, failure(0x80070070))
        self.assertTornDown(trace, "stopped", "exit live=0 ")  # stdin still open: its watcher waits

    def test_system_text_is_utf8_and_one_line(self):
        text = b"Access denied." if WINDOWS else "Acesso negado.".encode()
        self.assertEqual(run("activate=0x80070005")[2], CAPTURE + b" (0x80070005): " + text + NL)
        if ARGS.wine:  # Wine makes a terminal the console; it shows the line in the terminal's UTF-8
            main, other = pty.openpty()
            p = subprocess.Popen(command(ARGS.scripted, "--pid", TARGET), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=other,
                                 env=dict(os.environ, SONDREL_SCENARIO="activate=0x80070005", LANG="C.UTF-8"))
            os.close(other)
            shown = b""
            while select.select([main], [], [], 30)[0]:
                try:
                    chunk = os.read(main, 4096)
                except OSError:  # the terminal's other end is gone
                    break
                shown += chunk
                if not chunk or b"\n" in chunk:
                    break
            os.close(main)
            self.assertEqual(p.wait(60), 4)
            self.assertIn(" \u00e1udio ".encode(), shown)  # not the UTF-8 bytes read as a code page

    def test_activation_that_never_completes_or_completes_late_times_out(self):
        # a late answer comes after the controller let go and signals only the handler's event
        for scenario, late in (("completion=never", []), ("completion=late:10400",
                               ["ActivateCompleted", "GetActivateResult", CLIENT, CLIENT])):
            with self.subTest(scenario=scenario):
                code, out, err, trace = (r := Run(scenario, stdin=subprocess.DEVNULL)).finish()
                self.assertEqual((code, out, trace[1:]), (4, b"", [OPERATION] + late + [CLEAN_EXIT]))
                self.assertRegex(err, failure(0x800705B4))
                self.assertGreaterEqual(r.elapsed, 9.5)


def main():
    global ARGS, WINDOWS, NL
    parser = argparse.ArgumentParser()
    for option in ("--scripted", "--window-helper", "--wine"):
        parser.add_argument(option)
    ARGS, rest = parser.parse_known_args()
    global TARGET
    WINDOWS = bool(ARGS.wine) or sys.platform == "win32"
    NL = b"\r\n" if WINDOWS else b"\n"
    if ARGS.wine:
        subprocess.run([ARGS.wine, "--start-server"], check=True)
    helper = None
    if WINDOWS:  # --pid must name a live Windows process
        helper = subprocess.Popen(command(ARGS.window_helper), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        TARGET = helper.stdout.readline().decode().split()[1]
    try:
        result = unittest.main(argv=sys.argv[:1] + rest, verbosity=2, exit=False).result
    finally:
        if helper:
            helper.communicate(timeout=30)
    sys.exit(not result.wasSuccessful())


if __name__ == "__main__":
    main()
