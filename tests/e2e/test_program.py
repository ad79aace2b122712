#!/usr/bin/env python3
"""End-to-end runs of the built program through real pipes, the same scenarios
against the Linux build and the Windows .exe under Wine.

The test build links the scripted audio platform (see its source for the
scenario words); it traces the platform calls, each Release the program makes
with whether its events were still open, and, at exit, what is left."""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
WINDOWS = False  # the program under test is the .exe, native or under Wine
HEADER = b"SDRA" + struct.pack("<IIHH", 1, 48000, 2, 32)
USAGE = b"Uso: sondrel-process-loopback.exe --window <HWND> | --pid <PID> | --exclude-pid <PID>"
CAPTURE = "Falha na captura de \u00e1udio do processo".encode()
CLEAN_EXIT = "exit live=0 handles=0"
# Wine's own line, appended to a process's standard error as it exits under
# load; never the program's bytes.
WINE_NOISE = re.compile(rb"^wine client error:[0-9a-f]+: [^\n]*\n", re.MULTILINE)
wine_noise_seen = 0

CLIENT = "Release IAudioClient"
CLOSED = " events=closed"
# Releases the program makes, by how far the run got: the activated object
# (released by the handler on the platform's thread), then the teardown:
# capture client, the controller's audio client, the operation, and the
# handler, whose own audio client reference goes last.
RELEASES = {
    "no operation": [],
    "no client": ["Release IActivateAudioInterfaceAsyncOperation"],
    "no audio client": ["Release IUnknown", "Release IActivateAudioInterfaceAsyncOperation"],
    "no event": [CLIENT, CLIENT, "Release IActivateAudioInterfaceAsyncOperation", CLIENT],
    "no capture client": [CLIENT, CLIENT + CLOSED,
                          "Release IActivateAudioInterfaceAsyncOperation" + CLOSED,
                          CLIENT + CLOSED],
}
RELEASES["not started"] = [CLIENT, "Release IAudioCaptureClient" + CLOSED] + \
    RELEASES["no capture client"][1:]
RELEASES["stopped"] = [CLIENT, "Stop events=open buffer=free"] + RELEASES["not started"][1:]


def releases(trace):
    """The program's releases and the client's stop, in order."""
    return [line for line in trace if line.startswith(("Release ", "Stop"))]


def nl():
    return b"\r\n" if WINDOWS else b"\n"


def command(program, *arguments):
    return ([ARGS.wine] if ARGS.wine else []) + [program, *arguments]


def frames(start, count):
    """The scripted platform's samples for frames [start, start + count)."""
    return b"".join(struct.pack("<ff", n, -n) for n in
                    (float(i % 16777215 + 1) for i in range(start, start + count)))


class Run:
    def __init__(self, scenario, arguments=("--pid", "42"), stdin=subprocess.PIPE,
                 stdout=subprocess.PIPE, preexec_fn=None, program=None):
        fd, self.trace_path = tempfile.mkstemp(prefix="sondrel-trace-")
        os.close(fd)
        env = dict(os.environ, SONDREL_SCENARIO=scenario, SONDREL_TRACE=self.trace_path)
        self.started = time.monotonic()
        self.p = subprocess.Popen(command(program or ARGS.scripted, *arguments), stdin=stdin,
                                  stdout=stdout, stderr=subprocess.PIPE, env=env,
                                  preexec_fn=preexec_fn)

    def finish(self, stdin_data=None, timeout=60):
        global wine_noise_seen
        out, err = self.p.communicate(stdin_data, timeout=timeout)
        self.elapsed = time.monotonic() - self.started
        if ARGS.wine:
            err, count = WINE_NOISE.subn(b"", err)
            wine_noise_seen += count
        with open(self.trace_path) as trace:
            self.trace = trace.read().splitlines()
        os.unlink(self.trace_path)
        return self.p.returncode, out or b"", err


def run(scenario, arguments=("--pid", "42"), **kwargs):
    r = Run(scenario, arguments, stdin=kwargs.pop("stdin", subprocess.DEVNULL), **kwargs)
    return r.finish() + (r.trace,)


def failure(code):
    """The failure line for code, with or without the system's text."""
    return re.escape(CAPTURE) + rb" \(0x%08X\)(: [^\r\n]+)?" % code + re.escape(nl()) + rb"\Z"


class Case(unittest.TestCase):
    def assertTornDown(self, trace, reached):
        """Releases made as far as the run got, no handle misused, nothing left."""
        self.assertEqual(releases(trace), RELEASES[reached])
        # lines the platform writes only when the program misused a handle
        self.assertEqual([line for line in trace
                          if line.startswith(("completion ", "standard descriptor"))], [])
        self.assertEqual(trace[-1], CLEAN_EXIT)


class CommandLine(unittest.TestCase):
    def test_wrong_arguments_give_usage(self):
        for arguments in ([], ["--pid"], ["--pid", "42", "x"], ["42", "--pid"], ["--pid", "0"],
                          ["--pid", "abc"], ["--pid", "4294967296"], ["--PID", "42"],
                          ["--window", "12345"]):
            with self.subTest(arguments=arguments):
                self.assertEqual(run("", arguments)[:3], (2, b"", USAGE + nl()))

    def test_target_reaches_the_platform_as_requested(self):
        for arguments, blob in ((["--pid", "7\u00e1"], "1 7 0"), (["--exclude-pid", "0x1F"], "1 31 1")):
            code, out, err, trace = run("activate=0x80070005", arguments)
            self.assertEqual((code, out), (4, b""))
            self.assertEqual(trace[0], "ActivateAudioInterfaceAsync VAD\\Process_Loopback "
                                       "IAudioClient 65 12 " + blob)

    def test_apartment_refused_gives_exit_3_and_no_capture(self):
        code, out, err, trace = run("com=sta")
        self.assertEqual((code, out), (3, b""))
        self.assertRegex(err, rb"\AFalha ao inicializar COM \(0x80010106\)(: [^\r\n]+)?"
                         + re.escape(nl()) + rb"\Z")
        self.assertEqual(trace, [CLEAN_EXIT])


    def test_a_scenario_it_cannot_read_ends_the_run_before_anything(self):
        for word in ("bogus", "repeat=1", "com=mta", "pace=slow", "completion=late",
                     "completion=now:5", "result=code", "result=ok:1", "activate=abc",
                     "activate=", "packets=480q", "packets=x2", "fail=getnext:x:1",
                     "fail=stop:1:1", "writelimit=0", "threadstart=ok"):
            with self.subTest(word=word):
                self.assertEqual(run("pace=fast " + word)[:4],
                                 (99, b"", b"scenario: cannot read '%s'" % word.encode() + nl(),
                                  []))


class Streaming(Case):
    def test_pending_packets_are_written_before_the_stop_whatever_a_write_takes(self):
        limits = ("",) if WINDOWS else ("", " writelimit=3", " writelimit=1")
        for limit in limits:
            with self.subTest(limit=limit):
                code, out, err, trace = run("pace=prequeue packets=480x2,7,480s,256n,z,960" + limit)
                self.assertEqual((code, err), (0, b""))
                expected = frames(0, 967) + bytes(8 * 736) + frames(1703 + 480, 960)
                self.assertEqual(out, HEADER + expected)
                self.assertIn("Initialize 0 0x88060000 0 0 3 2 48000 384000 8 32 0 null", trace)
                self.assertTornDown(trace, "stopped")

    def test_stop_by_one_byte_and_reader_taking_one_byte_per_read(self):
        r = Run("pace=fast repeat packets=480")
        got = b"".join(os.read(r.p.stdout.fileno(), 1) for _ in range(16 + 8 * 480 * 3))
        r.p.stdin.write(b"\x00")
        r.p.stdin.flush()
        code, out, err = r.finish()
        body = (got + out)[16:]
        self.assertEqual((code, err, (got + out)[:16]), (0, b"", HEADER))
        self.assertEqual(body, frames(0, len(body) // 8))
        self.assertEqual(len(body) % (8 * 480), 0)
        self.assertTornDown(r.trace, "stopped")

    def test_several_bytes_consume_only_the_first(self):
        read_end, write_end = os.pipe()
        os.write(write_end, b"abc")
        os.close(write_end)
        try:
            self.assertEqual(run("", stdin=read_end)[:3], (0, HEADER, b""))
            self.assertEqual(os.read(read_end, 16), b"bc")
        finally:
            os.close(read_end)

    def test_stdin_at_end_or_any_standard_stream_missing_still_streams_and_stops(self):
        # A descriptor left closed must not become one of the program's events;
        # success codes other than S_OK are success.
        for closed, scenario in ((None, ""), (None, "start=0x1"), (0, "result=code:0x1"), (2, "")):
            with self.subTest(closed=closed, scenario=scenario):
                preexec_fn = None if closed is None else lambda: os.close(closed)
                code, out, err, trace = run(scenario, preexec_fn=preexec_fn)
                self.assertEqual((code, out, err), (0, HEADER, b""))
                self.assertTornDown(trace, "stopped")

    def test_reader_gone_before_header_is_a_failure_without_start(self):
        for preexec_fn in (None, lambda: os.close(1)):  # closed pipe, no stdout at all
            read_end, write_end = os.pipe()
            os.close(read_end)
            code, out, err, trace = run("pace=prequeue packets=480", stdout=write_end,
                                        preexec_fn=preexec_fn)
            os.close(write_end)
            self.assertEqual(code, 4)
            self.assertRegex(err, failure(0x8007006D))
            self.assertNotIn("Start", trace)
            self.assertTornDown(trace, "not started")

    def test_reader_gone_mid_stream_is_success(self):
        r = Run("pace=fast repeat packets=480")
        r.p.stdout.read(100000)
        r.p.stdout.close()
        self.assertEqual(r.finish()[::2], (0, b""))
        # the packet whose write failed was handed back before the stop
        self.assertEqual(releases(r.trace), RELEASES["stopped"])
        self.assertTrue(r.trace[-1].startswith("exit live=0 "))  # stdin still open: watcher waits


class Failures(Case):
    def test_each_platform_failure_gives_its_line_exit_4_and_releases_everything(self):
        # Packets before a failing one are written; so is the one whose release failed.
        for scenario, code, reached, body in (
                ("activate=0x80070005", 0x80070005, "no operation", b""),
                ("result=code:0x88890008", 0x88890008, "no client", b""),
                ("result=fail:0x80004005", 0x80004005, "no client", b""),
                ("result=none", 0x8000FFFF, "no client", b""),
                ("result=other", 0x80004002, "no audio client", b""),
                ("initialize=0x88890008", 0x88890008, "no event", b""),
                ("seteventhandle=0x80070057", 0x80070057, "no capture client", b""),
                ("getservice=0x80004002", 0x80004002, "no capture client", b""),
                ("start=0x88890001", 0x88890001, "not started", b""),
                ("pace=prequeue packets=480x4 fail=getnext:2:0x88890004", 0x88890004, "stopped",
                 frames(0, 960)),
                ("pace=prequeue packets=480x4 fail=getbuffer:1:0x88890004", 0x88890004, "stopped",
                 frames(0, 480)),
                ("pace=prequeue packets=480x4 fail=release:2:0x88890004", 0x88890004, "stopped",
                 frames(0, 480 * 3)),
                # no thread or no memory after the start; neither can be provoked under Wine
                *(() if WINDOWS else (
                    ("threadstart=fail", 0x80070008, "stopped", b""),
                    ("pace=prequeue packets=480,4294967295s", 0x8007000E, "stopped",
                     frames(0, 480))))):
            with self.subTest(scenario=scenario):
                status, out, err, trace = run(scenario)
                self.assertEqual(status, 4)
                self.assertRegex(err, failure(code))
                self.assertEqual(out, HEADER + body if "Start" in trace else b"")
                self.assertTornDown(trace, reached)

    def test_system_text_is_utf8_and_one_line(self):
        text = b"Access denied." if WINDOWS else "Acesso negado.".encode()
        self.assertEqual(run("activate=0x80070005")[2], CAPTURE + b" (0x80070005): " + text + nl())
        if not WINDOWS:
            self.assertEqual(run("initialize=0x88890010")[2], CAPTURE + b" (0x88890010): " +
                             "O servi\u00e7o de \u00e1udio n\u00e3o est\u00e1 em execu\u00e7\u00e3o."
                             .encode() + nl())

    def test_activation_that_never_completes_or_completes_late_times_out(self):
        for scenario in ("completion=never", "completion=late:10400"):
            with self.subTest(scenario=scenario):
                r = Run(scenario, stdin=subprocess.DEVNULL)
                code, out, err = r.finish()
                self.assertEqual((code, out), (4, b""))
                self.assertRegex(err, failure(0x800705B4))
                self.assertGreaterEqual(r.elapsed, 9.5)
                # the late answer came after the controller had let go, and
                # signalled nothing but the handler's own event
                late = ["ActivateCompleted", "GetActivateResult", CLIENT, CLIENT] \
                    if "late" in scenario else []
                self.assertEqual(r.trace[1:], ["Release IActivateAudioInterfaceAsyncOperation"]
                                 + late + [CLEAN_EXIT])

class WindowsBuild(unittest.TestCase):
    """A real window under Wine, and the shipped .exe, unmodified: Wine has no
    process loopback."""

    def test_window_names_its_process_tree_and_targets_fail_with_wines_answer(self):
        if not ARGS.production:
            self.skipTest("no production .exe given")
        helper = subprocess.Popen(command(ARGS.window_helper), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        window, pid = helper.stdout.readline().decode().split()
        expected = CAPTURE + b" (0x80070002): File not found." + nl()
        try:
            trace = run("activate=0x80070005", ["--window", window])[3]
            self.assertEqual(trace[0], "ActivateAudioInterfaceAsync VAD\\Process_Loopback "
                                       "IAudioClient 65 12 1 %s 0" % pid)
            for arguments, result in ((["--pid", pid], (4, b"", expected)),
                                      (["--exclude-pid", pid], (4, b"", expected)),
                                      (["--window", window], (4, b"", expected)),
                                      (["--window", "0x7FFFFFF0"], (2, b"", USAGE + nl()))):
                p = subprocess.run(command(ARGS.production, *arguments),
                                   stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                self.assertEqual((p.returncode, p.stdout, p.stderr), result, arguments)
        finally:
            helper.communicate(timeout=30)


def main():
    global ARGS, WINDOWS
    parser = argparse.ArgumentParser()
    parser.add_argument("--scripted", required=True)
    parser.add_argument("--production")
    parser.add_argument("--window-helper")
    parser.add_argument("--wine")
    ARGS, rest = parser.parse_known_args()
    WINDOWS = bool(ARGS.wine) or sys.platform == "win32"
    if ARGS.wine:
        subprocess.run([ARGS.wine, "--start-server"], check=True)
    result = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    if ARGS.wine:
        print("Wine's own exit lines removed from standard error: %d" % wine_noise_seen,
              file=sys.stderr)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
