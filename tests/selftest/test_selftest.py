"""The self-test under Wine in a private PipeWire session; the Linux program (built when missing)
captures its player. test_selftest.py --selftest E --helper E --scripted E --wine W --source DIR"""
import argparse
import os
import re
import select
import subprocess
import sys
import tempfile
import time
import unittest

for tests in ("pipewire", "e2e"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", tests))
from test_pipewire import HEADER, SECOND, left, level, start_session, stop_session  # noqa: E402
from test_program import WINE_NOISE  # noqa: E402

ARGS = None
NOTICE = re.compile("^Aviso: \u00e1udio perdido: [^\n]*\n".encode(), re.M)
GUARD = 60  # seconds; reached only when something hangs


def linux_program():
    path = os.path.join(ARGS.source, "build/linux/platform/pipewire/sondrel-process-loopback")
    build = ["--build", "--preset", "linux", "--target", "sondrel-process-loopback"]
    for step in () if os.path.exists(path) else (["--preset", "linux"], build):
        subprocess.run(["cmake", *step], cwd=ARGS.source, check=True, stdout=subprocess.DEVNULL)
    return path


def leftovers(tag):  # players and helpers this test started still running (Wine passes the tag on)
    ps = subprocess.run(["ps", "-e", "eww", "-o", "args="], capture_output=True, text=True, check=True).stdout
    return [p for p in ps.splitlines()
            if " SONDREL_TEST_RUN=%s " % tag in p + " " and ("--play" in p or "loopback" in p)]


class WineSelfTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="sondrel-selftest-")
        cls.prefix = os.environ.get("SONDREL_WINEPREFIX", os.path.expanduser("~/.local/share/sondrel-wine"))
        # the session moves HOME; the tag tells this run's processes from other tests' in the prefix
        cls.env = dict(start_session(cls.dir), SONDREL_WINEPREFIX=cls.prefix, SONDREL_TEST_RUN=cls.dir)
        cls.addClassCleanup(stop_session, cls.dir)

    def start(self, *args, env=None, out=subprocess.PIPE):
        """Error output goes to a file: Wine's desktop process may keep a copy of a pipe it inherited."""
        proc = subprocess.Popen(args, env=env or self.env, stdin=subprocess.PIPE, stdout=out,
                                stderr=(err := self.enterContext(tempfile.TemporaryFile())))
        proc.err, proc.data = err, bytearray()  # data: what a capture gave so far
        self.addCleanup(proc.__exit__, None, None, None)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc

    @staticmethod
    def end(proc, *files):  # end of input ends the child; its exit code, error output and files
        proc.stdin.close()
        code, err, *out = (proc.wait(2 * GUARD), *(f.seek(0) or f.read() for f in (proc.err, *files)))
        # Notices of audio the graph dropped under load are the PipeWire tests' concern.
        return (code, NOTICE.sub(b"", WINE_NOISE.sub(b"", err)), *out)

    def until(self, proc, condition):
        """Reads the capture until the levels of 440, 1000 and 1500 Hz in its newest 0.5 s meet the condition."""
        deadline, levels = time.monotonic() + GUARD, None
        while levels is None or not condition(*levels):
            ready = select.select([proc.stdout], [], [], max(deadline - time.monotonic(), 0))[0]
            self.assertTrue(ready and time.monotonic() < deadline and (chunk := os.read(proc.stdout.fileno(), 1 << 16)),
                            "the capture ended or never met the condition; last levels %r" % (levels,))
            proc.data += chunk
            if len(proc.data) >= 16 + SECOND // 2:
                newest = left(proc.data[:len(proc.data) // 8 * 8])[-SECOND // 16:]
                levels = level(newest, 440), level(newest, 1000), level(newest, 1500)
        return levels

    def stop(self, proc):
        proc.stdin.write(b"x")
        proc.stdin.flush()
        proc.data += proc.stdout.read()
        self.assertEqual((self.end(proc)[:2], proc.data[:16]), ((0, b""), HEADER))

    def test_players_and_the_grandchild_render_tones_the_session_carries(self):
        first = self.start(ARGS.wine, ARGS.selftest, "--play", "440", "--grandchild", "1000", "--window")
        second = self.start(ARGS.wine, ARGS.selftest, "--play", "1500")
        for player, window in ((first, r"^0x0*[1-9a-f][0-9a-f]*$"), (second, r"^0x0$")):
            line = player.stdout.readline().decode().strip()
            self.assertRegex(line, window, line or self.end(player))  # its exit code and error output
        # Wine's process for the player is the one started here; each plays at 0.25. Wine starts a
        # process outside its parent's Linux tree: the grandchild is heard with the others.
        for option, wanted in (("--exclude-pid", lambda a, b, c: c > 0.1 < b), ("--pid", lambda a, b, c: a > 0.1)):
            cap = self.start(linux_program(), option, str(first.pid))
            levels = self.until(cap, wanted)
            self.assertLess(levels[0] if option == "--exclude-pid" else levels[2], 0.01, levels)
            self.stop(cap)
        # The second keeps the stream going while the first is quiet and back, as the silent run asks.
        cap = self.start(linux_program(), "--pid", str(os.getpid()))
        for command, heard in ((b"", True), (b"s", False), (b"t", True)):
            os.write(first.stdin.fileno(), command)
            self.until(cap, lambda a, b, c: (a > 0.1 if heard else a < 0.01) and c > 0.1)
        self.stop(cap)
        self.assertEqual([self.end(player) for player in (first, second)], [(0, b"")] * 2)

    def selftest(self, scenario=None, env=None):
        args = ("--helper", "Z:" + ARGS.scripted.replace("/", "\\")) if scenario else ()
        out = self.enterContext(tempfile.TemporaryFile())
        proc = self.start(ARGS.wine, ARGS.selftest, *args, out=out,
                          env=dict(env or self.env, SONDREL_SCENARIO=scenario or "", SONDREL_TEST_RUN=self.dir))
        code, err, out = self.end(proc, out)
        # Every child is ended before the self-test returns; Wine takes a moment to reap a killed one.
        deadline = time.monotonic() + GUARD
        while leftovers(self.dir) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(leftovers(self.dir), [])
        return code, out.decode(), err

    def verdicts(self, out):
        return dict(re.findall(r"^(\w+(?: \w+)*) +(pass|FAIL|not run|not provable here): ", out, re.M))

    def test_selftest_without_process_loopback_exits_2_and_proves_nothing(self):
        code, out, err = self.selftest()
        self.assertEqual((code, err), (2, b""), out)
        self.assertRegex(out, r"^Windows \d+\.\d+, build \d+.*\nplayer 1: .* its grandchild 2861\.8 Hz, process \d+")
        self.assertRegex(out, r"\ninclude +4 +0\.00" + r" +-" * 10 + "\n")
        self.assertIn("\ninclude   Falha na captura de \u00e1udio do processo (0x80070002): File not found.\n"
                      "This system has no process-loopback audio capture: the helper's activation failed with "
                      "0x80070002. Microsoft documents Windows build 20348 as the first with it; it is reported to "
                      "work from build 19041 (Windows 10 2004).\n", out)
        verdicts = self.verdicts(out)  # every promise named, none proved
        self.assertEqual((len(verdicts), verdicts.pop("long run"), verdicts.pop("node client"), set(verdicts.values()),
                          out.count(": this system has no process-loopback capture (0x80070002)\n")),
                         (13, "not run", "not run", {"not provable here"}, 11), out)
        code, out, _ = self.selftest("activate=0x8000000E")  # what Windows before 10 answers
        self.assertEqual((code, out.count("(0x8000000E)"), set(self.verdicts(out).values())),
                         (2, 12, {"not provable here", "not run"}), out)

    def test_selftest_without_an_output_device_exits_1_and_says_so(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("PULSE_")}  # no server, no card
        code, out, _ = self.selftest(env=dict(env, SONDREL_WINEPREFIX=self.prefix, XDG_RUNTIME_DIR="/nothing"))
        self.assertEqual(code, 1, out)
        self.assertRegex(out, r"^Player 1 could not play: player: the 1238\.2 Hz tone could not be played "
                              r"\(0x8[0-9A-F]{7}\)\. The self-test needs an audio output device\.\n$")

    def test_selftest_fails_its_promises_on_silence_and_on_other_failures(self):
        code, out, _ = self.selftest("packets=480s repeat pace=realtime completion=late:600")  # slow start, no tone
        self.assertEqual(code, 1, out)
        rows = {line.split()[0]: line.split() for line in out.splitlines()[4:13]}
        for name, seconds in (("include", 1.5), ("load", 10), ("stall", 5), ("stopstall", 3)):  # timed from the header
            self.assertEqual((rows[name][1], float(rows[name][3]) >= seconds - 0.01, rows[name][4:10]),
                             ("0", True, ["<-120", "0%", "<-120", "0%", "0", "0"]), out)
        self.assertEqual(rows["nopid"][1:3], ["4", "0.00"], out)  # a pid that names no process fails at once
        self.assertEqual(self.verdicts(out), dict(
            {p: "FAIL" for p in ("include tree", "exclude tree", "window", "channels", "level", "target exits",
                                 "under load", "stalled reader", "stop after stall")},
            **{"quiet target": "pass", "missing target": "pass", "long run": "not run", "node client": "not run"}))
        self.assertRegex(out, r"(?s)\nstop after stall  FAIL: 1238\.2 Hz absent, [^\n]*, exit \d+ ms after the stop byte; "
                              r"header, exit code 0 after the stop, .*\nA promise does NOT hold here\.\n$")
        code, out, _ = self.selftest("activate=0x88890004")  # not a missing capture: a failed check, every run
        self.assertEqual((code, out.count("(0x88890004)"), self.verdicts(out)["quiet target"]), (1, 8, "FAIL"), out)

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--selftest", "--helper", "--scripted", "--wine", "--source"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
