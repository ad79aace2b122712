"""End-to-end runs of the Linux program against one private PipeWire session.

  test_pipewire.py --program PATH [unittest options]

Tones are told apart by Goertzel levels: a captured tone sits near 0.5 (it is
played at half scale); one that must be absent stays below 0.01. The demo and
the bench borrow start_session, make_tone and level from here.
"""
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PW_SESSION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                          "pw-session")
HEADER = b"SDRA" + struct.pack("<IIHH", 1, 48000, 2, 32)
SECOND = 48000 * 8
GUARD = 20  # seconds; reached only when something hangs
PIPES = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
PROGRAM = None


def start_session(directory):
    """Starts pw-session under directory; returns the environment inside it."""
    lines = subprocess.run([PW_SESSION, "start", directory], check=True, text=True,
                           capture_output=True, timeout=30).stdout
    # bash reads the lines, so their quoting has a single reader.
    env = subprocess.run(["bash", "-c", lines + "env -0"], check=True, text=True,
                         capture_output=True).stdout
    return dict(item.split("=", 1) for item in env.split("\0") if item)


def stop_session(directory):
    subprocess.run([PW_SESSION, "stop", directory], check=True, timeout=30)


def make_tone(path, freq, seconds):
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "1", "-b", "16", path, "synth",
                    str(seconds), "sine", str(freq), "vol", "0.5"], check=True)


def left(data, header=16):
    """Left-channel samples of a captured stream."""
    return samples(data, header)[0::2]


def right(data, header=16):
    return samples(data, header)[1::2]


def samples(data, header):
    body = data[header:len(data) - (len(data) - header) % 8]
    return struct.unpack("<%df" % (len(body) // 4), body)


def level(samples, freq):
    """Amplitude of one frequency at 48 kHz (Goertzel); 1.0 for a full-scale sine."""
    coeff = 2 * math.cos(2 * math.pi * freq / 48000)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return 2 * math.sqrt(max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0)) / max(len(samples), 1)


def failure(code, message):
    return "Falha na captura de \u00e1udio do processo (0x%08X): %s\n" % (code, message)


class Capture:
    """The program with all three standard streams piped; stdout read on a thread
    that stops reading and closes it after `keep` bytes."""

    def __init__(self, proc, keep=None):
        self.proc, self.data, self.ended, self.keep = proc, bytearray(), False, keep
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while chunk := self.proc.stdout.read1(65536):
            with self.cond:
                self.data += chunk
                self.cond.notify_all()
            if self.keep and len(self.data) >= self.keep:
                self.proc.stdout.close()
                break
        with self.cond:
            self.ended = True
            self.cond.notify_all()

    def wait_for(self, seconds):
        """True once that much audio arrived, False when the stream ended or stalled."""
        want = 16 + int(seconds * SECOND)
        with self.cond:
            self.cond.wait_for(lambda: len(self.data) >= want or self.ended, GUARD)
            return len(self.data) >= want

    def finish(self, stop=b"q"):
        """Stops by writing `stop`, or by closing stdin when it is None."""
        if stop is None:
            self.proc.stdin.close()
        elif stop:
            self.proc.stdin.write(stop)
            self.proc.stdin.flush()
        rc = self.proc.wait(GUARD)
        self.reader.join(GUARD)
        err = self.proc.stderr.read().decode()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()
        return rc, bytes(self.data), err


class PipeWire(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="sondrel-pwtest-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        cls.wav = {}
        for name, freq, seconds in ((440, 440, 10), (1000, 1000, 10), ("440s", 440, 0.6),
                                    ("660s", 660, 0.6)):
            cls.wav[name] = os.path.join(cls.tmp, "%s.wav" % name)
            make_tone(cls.wav[name], freq, seconds)
        # 440 Hz on the left only, 1000 Hz on the right only.
        cls.wav["stereo"] = os.path.join(cls.tmp, "stereo.wav")
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", cls.wav["stereo"],
                        "synth", "10", "sine", "440", "sine", "1000", "vol", "0.5"], check=True)
        cls.addClassCleanup(stop_session, cls.tmp)
        cls.env = start_session(cls.tmp)

    def spawn(self, *argv, **pipes):
        # A group of its own, so cleanup also ends players a target started.
        proc = subprocess.Popen(argv, env=self.env, start_new_session=True, **(
            pipes or dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)))
        self.addCleanup(proc.wait)
        self.addCleanup(lambda: proc.poll() is None and os.killpg(proc.pid, signal.SIGKILL))
        return proc

    def capture(self, *args, keep=None):
        return Capture(self.spawn(PROGRAM, *args, **PIPES), keep)

    def assertTones(self, data, present, absent, floor=0.3):
        self.assertEqual(data[:16], HEADER)
        levels = {f: round(level(left(data), f), 4) for f in present + absent}
        for f in present:
            self.assertGreater(levels[f], floor, "%d Hz missing: %r" % (f, levels))
        for f in absent:
            self.assertLess(levels[f], 0.01, "%d Hz leaked in: %r" % (f, levels))

    def test_selection_and_ways_to_stop(self):
        # The 440 Hz player is a grandchild of the target: sh, subshell, pw-play.
        target = self.spawn("sh", "-c", '(pw-play "$0"; :); :', self.wav[440])
        pulse = self.spawn("paplay", self.wav[1000])
        include = self.capture("--pid", str(target.pid))
        exclude = self.capture("--exclude-pid", str(target.pid))
        of_pulse = self.capture("--pid", str(pulse.pid))
        reader_gone = self.capture("--pid", str(target.pid), keep=16 + SECOND)
        for cap in (include, exclude, of_pulse, reader_gone):
            self.assertTrue(cap.wait_for(1), "the capture ended or stalled")
        # Stop by byte, by end of input, or not at all: the reader closed its end.
        for name, cap, stop, present, absent in (
                ("include", include, b"q", 440, 1000), ("exclude", exclude, None, 1000, 440),
                ("pulse client", of_pulse, b"q", 1000, 440),
                ("reader gone", reader_gone, b"", 440, 1000)):
            with self.subTest(name):
                rc, data, err = cap.finish(stop)
                self.assertEqual((rc, err), (0, ""))
                self.assertTones(data, [present], [absent])

    def test_target_starts_late_pauses_resumes_and_exits(self):
        self.spawn("paplay", self.wav[1000])
        target = self.spawn("sh", "-c", 'sleep 0.7; pw-play "$0"; sleep 0.7; pw-play "$1"',
                            self.wav["440s"], self.wav["660s"])
        cap = self.capture("--pid", str(target.pid))
        self.assertEqual(target.wait(GUARD), 0)
        rc, data, err = cap.finish()
        self.assertEqual((rc, err), (0, ""))
        self.assertTones(data, [440, 660], [1000], floor=0.1)

    def test_stalled_player_holds_back_no_other(self):
        healthy = self.spawn("pw-play", self.wav[1000])
        stalled = self.spawn("pw-play", self.wav[440])
        cap = self.capture("--exclude-pid", str(self.spawn("sleep", "60").pid))
        self.assertTrue(cap.wait_for(0.5), "the capture ended or stalled")
        with cap.cond:
            start = len(cap.data) - (len(cap.data) - 16) % 8
        os.kill(stalled.pid, signal.SIGSTOP)
        time.sleep(2)
        with cap.cond:
            during = bytes(cap.data[start:])
        os.kill(stalled.pid, signal.SIGCONT)
        self.assertTrue(cap.wait_for(len(cap.data) / SECOND + 0.5), "no audio after SIGCONT")
        rc, data, err = cap.finish()
        self.assertEqual((rc, err, healthy.poll()), (0, "", None))
        # A hung application costs the others at most a fifth of the stop.
        self.assertGreater(len(during) / SECOND, 1.6)
        self.assertGreater(level(left(during, 0), 1000), 0.4)
        self.assertTones(data[:16] + data[-SECOND // 2 // 8 * 8:], [440, 1000], [])

    def test_stereo_sides_kept_apart(self):
        player = self.spawn("pw-play", self.wav["stereo"])
        cap = self.capture("--pid", str(player.pid))
        self.assertTrue(cap.wait_for(1), "the capture ended or stalled")
        rc, data, err = cap.finish()
        self.assertEqual((rc, err), (0, ""))
        levels = [[round(level(side(data), f), 3) for f in (440, 1000)] for side in (left, right)]
        for got, want in zip(sum(levels, []), (0.5, 0, 0, 0.5)):
            self.assertAlmostEqual(got, want, delta=0.05, msg="left, right: %r" % levels)

    def test_sink_hears_every_new_sound_and_we_capture_what_it_played(self):
        def sounds(data):
            """Lengths in seconds of the 660 Hz sounds in a recording."""
            block, found, run = 480, [], 0
            samples = left(data, 0)
            for i in range(0, len(samples) - block + 1, block):
                if level(samples[i:i + block], 660) > 0.25:
                    run += 1
                elif run:
                    found, run = found + [run * block / 48000], 0
            return found + ([run * block / 48000] if run else [])

        monitor = Capture(self.spawn("pw-record", "--target", "sondrel-test-sink", "-P",
                                     "stream.capture.sink=true", "--format", "f32", "--rate",
                                     "48000", "--channels", "2", "-", **PIPES))
        cap = self.capture("--exclude-pid", str(self.spawn("sleep", "60").pid))
        self.assertTrue(cap.wait_for(0), "the capture ended")
        time.sleep(0.5)
        # Our links must not delay or starve the players' own route.
        players = ("pw-play", "paplay") * 2
        for player in players:
            self.assertEqual(self.spawn(player, self.wav["660s"]).wait(GUARD), 0)
            time.sleep(0.3)
        # Two at once, each into an input of its own: the sum is the sink's.
        self.spawn("pw-play", self.wav[440])
        time.sleep(0.2)
        self.spawn("paplay", self.wav[1000])
        self.assertTrue(cap.wait_for(len(cap.data) / SECOND + 1.2), "the capture stalled")
        rc, data, err = cap.finish()
        time.sleep(0.3)  # the monitor's own latency, so it holds all we captured
        monitor.proc.terminate()
        _, heard, _ = monitor.finish(b"")
        self.assertEqual((rc, err), (0, ""))

        short_heard, short_captured = sounds(heard), sounds(data[16:])
        self.assertEqual((len(short_heard), len(short_captured)), (len(players),) * 2,
                         (short_heard, short_captured, len(data)))
        for length in short_heard:
            self.assertGreater(length, 0.95 * 0.6, short_heard)

        ours, theirs = samples(data, 16), samples(heard, 0)
        where = {}
        for i in range(0, len(theirs), 2):
            where.setdefault(theirs[i], []).append(i)
        offsets, size = [], 960  # 10 ms windows, 100 ms apart
        for start in range(0, len(ours) - size, 9600):
            window = ours[start:start + size]
            if min(level(window[0::2], f) for f in (440, 1000)) < 0.4:
                continue
            offsets.append({i - start for i in where.get(window[0], ())
                            if theirs[i:i + size] == window})
        self.assertGreater(len(offsets), 5, "too little of both players captured")
        # One offset for all windows: no sample dropped, repeated or shifted.
        # The first may straddle where our capture of the second player began,
        # later than the sink's (the start of a sound is not this test's).
        self.assertEqual(len(set.intersection(*offsets[1:])), 1, offsets)

    def test_failures(self):
        def run(env, *args):
            proc = subprocess.run([PROGRAM, *args], env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=GUARD)
            return proc.returncode, proc.stdout, proc.stderr.decode()

        with open("/proc/sys/kernel/pid_max") as f:
            free_pid = str(int(f.read()) + 1)
        self.assertEqual(run(self.env, "--pid", free_pid), (4, b"", failure(
            0x80070057, "O par\u00e2metro est\u00e1 incorreto.")))
        with tempfile.TemporaryDirectory() as empty:
            self.assertEqual(run(dict(self.env, XDG_RUNTIME_DIR=empty), "--pid", "1"), (
                4, b"", failure(0x88890010, "O servi\u00e7o de \u00e1udio n\u00e3o est\u00e1 "
                                "em execu\u00e7\u00e3o.")))

        player = self.spawn("pw-play", self.wav[440])
        cap = self.capture("--pid", str(player.pid))
        self.assertTrue(cap.wait_for(0.25))
        with open(os.path.join(self.tmp, "pids")) as f:
            os.kill(int(f.read().split()[0]), signal.SIGKILL)
        # Whatever runs after this test gets a fresh daemon.
        self.addCleanup(start_session, self.tmp)
        rc, data, err = cap.finish(b"")
        self.assertEqual((rc, data[:16]), (4, HEADER))
        self.assertEqual(err, failure(0x88890004, "O dispositivo de \u00e1udio foi invalidado."))


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "--program" or not os.access(sys.argv[2], os.X_OK):
        sys.exit("usage: test_pipewire.py --program PATH [unittest options]")
    PROGRAM = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
