"""End-to-end runs of the Linux program against a private PipeWire session.

Usage: test_pipewire.py --program PATH [unittest options]
Tones are told apart by Goertzel levels: a captured tone sits near 0.5
(it is played at half scale), one that must be absent stays below 0.01.
"""
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tone  # noqa: E402
from pwsession import Session, make_tone, stop_process  # noqa: E402

PROGRAM = None
PRESENT = 0.3
ABSENT = 0.01
SECOND = 48000 * 8
HANG_GUARD = 20  # seconds; only ever reached when something is stuck
FAILURE = "Falha na captura de \u00e1udio do processo"


class Capture:
    """The program running with pipes on all three standard streams."""

    def __init__(self, env, *args):
        self.proc = subprocess.Popen([PROGRAM, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.data = bytearray()
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            with self.cond:
                if not chunk:
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def wait_for_bytes(self, count):
        """True once count bytes arrived; False if the stream ended first."""
        with self.cond:
            return self.cond.wait_for(
                lambda: len(self.data) >= count or not self.reader.is_alive(),
                HANG_GUARD) and len(self.data) >= count

    def stop(self, how="byte"):
        if how == "byte":
            self.proc.stdin.write(b"q")
            self.proc.stdin.flush()
        else:
            self.proc.stdin.close()
        return self.finish()

    def finish(self):
        rc = self.proc.wait(HANG_GUARD)
        self.reader.join(HANG_GUARD)
        err = self.proc.stderr.read().decode("utf-8")
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if not stream.closed:
                stream.close()
        return rc, bytes(self.data), err

    def kill(self):
        stop_process(self.proc)


class SessionTest(unittest.TestCase):
    """One private session per class; players are stopped after every test."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="sondrel-pwtest-")
        cls.tones = {}
        for freq in (440, 660, 1000):
            path = os.path.join(cls.tmp.name, "%d.wav" % freq)
            make_tone(path, freq, 10)
            cls.tones[freq] = path
        for freq in (440, 660):
            path = os.path.join(cls.tmp.name, "%d-short.wav" % freq)
            make_tone(path, freq, 0.6)
            cls.tones["%d-short" % freq] = path
        cls.session = Session().start()

    @classmethod
    def tearDownClass(cls):
        cls.session.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.procs = []

    def tearDown(self):
        for proc in self.procs:
            stop_process(proc)

    def spawn(self, *argv):
        proc = subprocess.Popen(list(argv), env=self.session.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        return proc

    def pw_play(self, freq):
        return self.spawn("pw-play", self.tones[freq])

    def paplay(self, freq):
        return self.spawn("paplay", self.tones[freq])

    def capture(self, *args):
        cap = Capture(self.session.env, *args)
        self.procs.append(cap.proc)
        return cap

    def capture_seconds(self, seconds, *args):
        """Captures until `seconds` of audio arrived, then stops by a byte."""
        cap = self.capture(*args)
        self.assertTrue(cap.wait_for_bytes(16 + int(seconds * SECOND)),
                        "the capture ended or stalled before %s s of audio" % seconds)
        rc, data, err = cap.stop()
        self.assertEqual((rc, err), (0, ""))
        return self.samples(data)

    def samples(self, data):
        header, left = tone.split_stream(data)
        self.assertEqual(header, tone.HEADER)
        self.assertEqual((len(data) - 16) % 8, 0)
        return left

    def assertTones(self, samples, present, absent):
        levels = {f: round(tone.level(samples, f), 4) for f in present + absent}
        for f in present:
            self.assertGreater(levels[f], PRESENT, "%d Hz missing: %r" % (f, levels))
        for f in absent:
            self.assertLess(levels[f], ABSENT, "%d Hz leaked in: %r" % (f, levels))


class Selection(SessionTest):
    """Which applications end up in the capture."""

    def links(self):
        out = subprocess.run(["pw-link", "-l", "-o"], env=self.session.env, check=True,
                             capture_output=True, text=True).stdout
        pairs, port = set(), None
        for line in out.splitlines():
            if line.startswith("  |-> "):
                pairs.add((port, line[6:].strip()))
            elif not line.startswith(" "):
                port = line.strip()
        return pairs

    def test_include_takes_the_target_and_nothing_else(self):
        target = self.pw_play(440)
        self.paplay(1000)
        cap = self.capture("--pid", str(target.pid))
        self.assertTrue(cap.wait_for_bytes(16 + SECOND))
        during = self.links()
        rc, data, err = cap.stop()
        # The daemon drops a departed client's links on its own schedule;
        # lingering ones would stay for good.
        for _ in range(100):
            after = self.links()
            if not {(o, i) for o, i in after if "sondrel-process-loopback" in i}:
                break
            time.sleep(0.05)
        self.assertEqual((rc, err), (0, ""))
        self.assertTones(self.samples(data), present=[440], absent=[1000])
        ours = {(o, i) for o, i in during if i.startswith("sondrel-process-loopback:")}
        self.assertEqual(ours, {("pw-play:output_FL", "sondrel-process-loopback:input_FL"),
                                ("pw-play:output_FR", "sondrel-process-loopback:input_FR")})
        # The player still plays to its sink, and our links left with us.
        self.assertIn(("pw-play:output_FL", "sondrel-test-sink:playback_FL"), during)
        self.assertIn(("pw-play:output_FL", "sondrel-test-sink:playback_FL"), after)
        self.assertFalse({(o, i) for o, i in after if "sondrel-process-loopback" in i})

    def test_include_a_pulse_client(self):
        self.pw_play(440)
        target = self.paplay(1000)
        s = self.capture_seconds(1, "--pid", str(target.pid))
        self.assertTones(s, present=[1000], absent=[440])

    def test_exclude_takes_everything_but_the_target_tree(self):
        target = self.pw_play(440)
        self.paplay(1000)
        s = self.capture_seconds(1, "--exclude-pid", str(target.pid))
        self.assertTones(s, present=[1000], absent=[440])

    def test_player_that_is_a_grandchild_of_the_target(self):
        # python -> sh -> pw-play; the trailing ':' keeps sh from exec'ing.
        target = self.spawn(sys.executable, "-c",
                            "import subprocess, sys; subprocess.run(['sh', '-c', "
                            "'pw-play \"$0\"; :', sys.argv[1]])", self.tones[440])
        self.paplay(1000)
        s = self.capture_seconds(1, "--pid", str(target.pid))
        self.assertTones(s, present=[440], absent=[1000])
        s = self.capture_seconds(1, "--exclude-pid", str(target.pid))
        self.assertTones(s, present=[1000], absent=[440])

    def test_exclude_with_a_pid_that_is_not_running_takes_everything(self):
        self.pw_play(440)
        self.paplay(1000)
        with open("/proc/sys/kernel/pid_max") as f:
            free_pid = int(f.read()) + 1
        s = self.capture_seconds(1, "--exclude-pid", str(free_pid))
        self.assertTones(s, present=[440, 1000], absent=[])


class Lifecycle(SessionTest):
    """Streams coming and going, and the ways a capture ends."""

    def test_target_starts_late_pauses_resumes_and_exits(self):
        script = ("import subprocess, sys, time\n"
                  "time.sleep(0.7)\n"
                  "subprocess.run(['pw-play', sys.argv[1]])\n"
                  "time.sleep(0.7)\n"
                  "subprocess.run(['pw-play', sys.argv[2]])\n")
        self.paplay(1000)
        target = self.spawn(sys.executable, "-c", script,
                            self.tones["440-short"], self.tones["660-short"])
        cap = self.capture("--pid", str(target.pid))
        self.assertEqual(target.wait(HANG_GUARD), 0)
        rc, data, err = cap.stop()
        self.assertEqual((rc, err), (0, ""))
        s = self.samples(data)
        # Both plays made it, the other process never did.
        self.assertTones(s, present=[], absent=[1000])
        self.assertGreater(tone.level(s, 440), 0.1)
        self.assertGreater(tone.level(s, 660), 0.1)

    def test_nothing_linked_means_no_packets(self):
        self.paplay(1000)
        silent = self.spawn("sleep", "30")
        cap = self.capture("--pid", str(silent.pid))
        # Meanwhile a capture of the player proves the graph was running.
        self.capture_seconds(0.5, "--exclude-pid", str(silent.pid))
        rc, data, err = cap.stop()
        self.assertEqual((rc, err, data), (0, "", tone.HEADER))

    def test_stop_by_byte_and_by_end_of_input(self):
        target = self.pw_play(440)
        for how in ("byte", "eof"):
            with self.subTest(how=how):
                cap = self.capture("--pid", str(target.pid))
                self.assertTrue(cap.wait_for_bytes(16 + SECOND // 4))
                rc, data, err = cap.stop(how)
                self.assertEqual((rc, err), (0, ""))
                self.assertTones(self.samples(data), present=[440], absent=[])

    def test_reader_gone_ends_the_capture_cleanly(self):
        target = self.pw_play(440)
        proc = subprocess.Popen([PROGRAM, "--pid", str(target.pid)], env=self.session.env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.procs.append(proc)
        self.assertEqual(proc.stdout.read(16), tone.HEADER)
        self.assertEqual(len(proc.stdout.read(SECOND // 8)), SECOND // 8)
        proc.stdout.close()
        self.assertEqual(proc.wait(HANG_GUARD), 0)
        self.assertEqual(proc.stderr.read(), b"")
        proc.stdin.close()
        proc.stderr.close()


class Failures(unittest.TestCase):
    """Failure line on stderr, exit 4, nothing on stdout past what was captured."""

    def run_program(self, env, *args):
        proc = subprocess.run([PROGRAM, *args], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=HANG_GUARD)
        return proc.returncode, proc.stdout, proc.stderr.decode("utf-8")

    def test_no_daemon(self):
        with tempfile.TemporaryDirectory() as empty:
            os.chmod(empty, 0o700)
            env = dict(os.environ, XDG_RUNTIME_DIR=empty)
            env.pop("PIPEWIRE_REMOTE", None)
            rc, out, err = self.run_program(env, "--pid", str(os.getpid()))
        self.assertEqual((rc, out), (4, b""))
        self.assertEqual(err, FAILURE + " (0x88890010): O servi\u00e7o de \u00e1udio n\u00e3o est\u00e1 "
                         "em execu\u00e7\u00e3o.\n")

    def test_include_with_a_pid_that_is_not_running(self):
        with open("/proc/sys/kernel/pid_max") as f:
            free_pid = int(f.read()) + 1
        with Session() as session:
            rc, out, err = self.run_program(session.env, "--pid", str(free_pid))
        self.assertEqual((rc, out), (4, b""))
        self.assertEqual(err, FAILURE + " (0x80070057): O par\u00e2metro est\u00e1 incorreto.\n")

    def test_daemon_killed_mid_capture(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "440.wav")
            make_tone(path, 440, 10)
            with Session() as session:
                player = subprocess.Popen(["pw-play", path], env=session.env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                cap = Capture(session.env, "--pid", str(player.pid))
                try:
                    self.assertTrue(cap.wait_for_bytes(16 + SECOND // 4))
                    os.kill(session.daemon_pid(), 9)
                    rc, data, err = cap.finish()
                finally:
                    cap.kill()
                    stop_process(player)
        self.assertEqual(rc, 4)
        self.assertEqual(data[:16], tone.HEADER)
        self.assertEqual(err, FAILURE + " (0x88890004): O dispositivo de \u00e1udio foi "
                         "invalidado.\n")


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) >= 2 and args[0] == "--program":
        PROGRAM = os.path.abspath(args[1])
        args = args[2:]
    if PROGRAM is None or not os.access(PROGRAM, os.X_OK):
        sys.exit("usage: test_pipewire.py --program PATH [unittest options]")
    unittest.main(argv=[sys.argv[0], "-v", *args])
