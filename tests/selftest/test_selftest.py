"""The self-test under Wine, inside a private PipeWire session.

  test_selftest.py --selftest EXE --helper EXE --scripted EXE --wine WINE-RUN
                   --source DIR [unittest options]

Wine has no process-loopback capture, so here the self-test can only show
that its player really renders (the Linux program captures the player's
Wine process from the session) and that it ends with exit code 2. The other
paths of its table and checks run against the scripted helper. The Linux
program is taken from DIR/build/linux, and built there when it is missing.
"""
import argparse
import os
import select
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pipewire"))
from test_pipewire import HEADER, SECOND, left, level, start_session, stop_session  # noqa: E402

ARGS = None
GUARD = 60  # seconds; reached only when something hangs
PIPES = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
NO_CAPTURE = "This system has no process-loopback audio capture"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def linux_program():
    path = os.path.join(ARGS.source, "build", "linux", "platform", "pipewire",
                        "sondrel-process-loopback")
    if not os.path.exists(path):
        for step in (["cmake", "--preset", "linux"],
                     ["cmake", "--build", "--preset", "linux", "--target",
                      "sondrel-process-loopback"]):
            subprocess.run(step, cwd=ARGS.source, check=True, stdout=subprocess.DEVNULL)
    return path


def read_line(proc, timeout):
    """The child's first line, read without trusting it to ever write one."""
    line, deadline = b"", time.monotonic() + timeout
    while not line.endswith(b"\n"):
        left_s = deadline - time.monotonic()
        if left_s <= 0 or not select.select([proc.stdout], [], [], left_s)[0]:
            raise AssertionError("no line from %s within %s s" % (proc.args, timeout))
        byte = os.read(proc.stdout.fileno(), 1)
        if not byte:
            raise AssertionError("%s ended: %s" % (proc.args, proc.stderr.read()))
        line += byte
    return line.decode().strip()


def collect(proc, timeout):
    """Output and error of a child whose input is closed, once it has ended.
    Read as it runs, so a full pipe never holds it back; end of file is not
    awaited, because Wine's desktop process, started on demand by the
    player's window, may keep a copy of a pipe it inherited."""
    data = {proc.stdout: b"", proc.stderr: b""}
    streams, deadline, ended = list(data), time.monotonic() + timeout, None
    while streams:
        ready = select.select(streams, [], [], 0.1)[0]
        for stream in ready:
            chunk = os.read(stream.fileno(), 65536)
            data[stream] += chunk
            if not chunk:
                streams.remove(stream)
        if proc.poll() is None:
            if time.monotonic() > deadline:
                raise AssertionError("%s still runs after %s s" % (proc.args, timeout))
        else:
            ended = ended or time.monotonic()
            if not ready and time.monotonic() - ended > 1:
                break
    proc.wait(timeout=max(deadline - time.monotonic(), 1))  # pipes close before the exit shows
    return data[proc.stdout], data[proc.stderr]


def leftovers(prefix):
    """Players and helpers still running in this Wine prefix."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if ("WINEPREFIX=" + prefix).encode() in environ and (
                "--play" in cmdline or "sondrel-process-loopback" in cmdline):
            found.append(cmdline)
    return found


class WineSelfTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="sondrel-selftest-")
        # The session moves HOME; the Wine prefix must stay where it is.
        prefix = os.environ.get("SONDREL_WINEPREFIX",
                                os.path.expanduser("~/.local/share/sondrel-wine"))
        cls.prefix = prefix
        cls.env = start_session(cls.dir)
        cls.env["SONDREL_WINEPREFIX"] = prefix

    @classmethod
    def tearDownClass(cls):
        stop_session(cls.dir)

    def wine(self, *args, scenario=None, env=None):
        env = dict(self.env if env is None else env)
        if scenario is not None:
            env["SONDREL_SCENARIO"] = scenario
        proc = subprocess.Popen([ARGS.wine, *args], env=env, **PIPES)
        self.addCleanup(self.end, proc)
        return proc

    @staticmethod
    def end(proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            stream.close()

    def capture(self, option, pid, seconds):
        proc = subprocess.Popen([linux_program(), option, str(pid)], env=self.env, **PIPES)
        self.addCleanup(self.end, proc)
        time.sleep(seconds)
        out, err = proc.communicate(b"x", timeout=GUARD)
        self.assertEqual((proc.returncode, err), (0, b""))
        self.assertEqual(out[:16], HEADER)
        # The newest half second: the link to the player is made by then.
        samples = left(out)[-SECOND // 16:]
        return level(samples, 440), level(samples, 1000)

    def test_player_renders_a_tone_the_session_carries(self):
        first = self.wine(ARGS.selftest, "--play", "440", "--window")
        second = self.wine(ARGS.selftest, "--play", "1000")
        window = read_line(first, GUARD)
        self.assertRegex(window, r"^0x[0-9a-f]+$")
        self.assertNotEqual(int(window, 16), 0)
        self.assertEqual(read_line(second, GUARD), "0x0")

        # Wine's process for the player is the one started here, so the
        # Linux program finds its stream by that process id.
        a, b = self.capture("--pid", first.pid, 1.5)
        self.assertGreater(a, 0.1)  # played at 0.25
        self.assertLess(b, 0.01)
        a, b = self.capture("--exclude-pid", first.pid, 1.5)
        self.assertLess(a, 0.01)
        self.assertGreater(b, 0.1)

        # Quiet and back, as the self-test's silent run asks of it.
        first.stdin.write(b"s")
        first.stdin.flush()
        time.sleep(0.3)
        a, _ = self.capture("--exclude-pid", second.pid, 1.0)
        self.assertLess(a, 0.01)
        first.stdin.write(b"t")
        first.stdin.flush()
        a, _ = self.capture("--exclude-pid", second.pid, 1.0)
        self.assertGreater(a, 0.1)

        for player in (first, second):
            player.stdin.close()  # end of input ends it
            _, err = collect(player, GUARD)
            self.assertEqual((player.returncode, err), (0, b""))

    def selftest(self, *args, scenario=None, env=None):
        proc = self.wine(ARGS.selftest, *args, scenario=scenario, env=env)
        proc.stdin.close()
        out, err = collect(proc, GUARD * 2)
        # Every child is ended before the self-test returns.
        self.assertEqual(leftovers(self.prefix), [])
        return proc.returncode, out.decode(), err.decode()

    def test_selftest_without_process_loopback_exits_2_with_one_sentence(self):
        code, out, err = self.selftest()
        self.assertEqual((code, err), (2, ""), out)
        lines = out.splitlines()
        self.assertRegex(lines[0], r"^player 1: 440 Hz, process \d+, window 0x[0-9a-f]+; "
                                   r"player 2: 1000 Hz, process \d+; helper Z:\\.*"
                                   r"sondrel-process-loopback\.exe$")
        self.assertRegex(lines[3], r"^include +4 +0\.00 +- +- +0 +- +- +-$")
        self.assertEqual(lines[4], "(reads: the helper's output as it came through the pipe, "
                                   "not the platform's packets)")
        self.assertEqual(lines[5], "include   Falha na captura de \u00e1udio do processo "
                                   "(0x80070002): File not found.")
        self.assertEqual(lines[6], NO_CAPTURE + " (the helper's activation failed with "
                                   "0x80070002): it needs Windows 10 version 2004 or later.")
        self.assertEqual(len(lines), 7)

        # The other answer of such a system, through the scripted helper.
        code, out, _ = self.selftest("--helper", windows_path(ARGS.scripted),
                                     scenario="result=code:0x80004002")
        self.assertEqual(code, 2, out)
        self.assertIn(NO_CAPTURE + " (the helper's activation failed with 0x80004002)", out)

    def test_selftest_without_an_output_device_exits_1_and_says_so(self):
        # Outside the session Wine finds no audio server and no sound card.
        env = {k: v for k, v in os.environ.items() if not k.startswith("PULSE_")}
        env.update(SONDREL_WINEPREFIX=self.prefix, XDG_RUNTIME_DIR=self.dir + "/nothing")
        code, out, _ = self.selftest(env=env)
        self.assertEqual(code, 1, out)
        self.assertRegex(out, r"^Player 1 could not play: player: the 440 Hz tone could not be "
                              r"played \(0x8[0-9A-F]{7}\)\. The self-test needs an audio output "
                              r"device\.\n$")

    def test_selftest_fails_its_checks_on_silence_and_on_other_failures(self):
        # Silent packets at the real pace: every run streams, no tone is heard.
        code, out, _ = self.selftest("--helper", windows_path(ARGS.scripted),
                                     scenario="packets=480s repeat pace=realtime")
        self.assertEqual(code, 1, out)
        rows = {line.split()[0]: line.split() for line in out.splitlines()[3:7]}
        self.assertEqual(list(rows), ["include", "exclude", "window", "silent"])
        for row in rows.values():
            exit_code, seconds, tone_a, tone_b, reads = row[1:6]
            self.assertEqual((exit_code, tone_a, tone_b), ("0", "<-120", "<-120"))
            self.assertGreater(float(seconds), 1.0)
            self.assertGreater(int(reads), 10)
            self.assertEqual(row[-1], "-")  # no sound ever
        self.assertRegex(out, r"while player 1 was stopped \(\d+-\d+ ms\): \d+ reads, "
                              r"[01]\.\d\d\d s of audio, 100\.0% of its frames zero")
        self.assertIn("\ninclude   FAIL: wants 440 Hz present, 1000 Hz absent, header and exit "
                      "code 0; got 440 Hz absent, 1000 Hz absent, header, exit code 0\n", out)
        self.assertIn("\nexclude   FAIL: wants 440 Hz absent, 1000 Hz present, ", out)
        self.assertIn("\nwindow    FAIL: wants 440 Hz present, 1000 Hz absent, ", out)
        self.assertIn("\nsilent    pass: wants header and exit code 0\n", out)
        self.assertTrue(out.endswith("Process-loopback capture does NOT work as expected here.\n"))

        # A failure that is not a missing capture is a failed check, on every run.
        code, out, _ = self.selftest("--helper", windows_path(ARGS.scripted),
                                     scenario="activate=0x88890004")
        self.assertEqual(code, 1, out)
        self.assertEqual(out.count("(0x88890004)"), 4, out)
        self.assertIn("\nsilent    FAIL: wants header and exit code 0; got 440 Hz absent, "
                      "1000 Hz absent, no valid header, no exit code 0\n", out)
        self.assertNotIn(NO_CAPTURE, out)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--selftest", "--helper", "--scripted", "--wine", "--source"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
