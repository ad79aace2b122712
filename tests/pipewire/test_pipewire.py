"""End-to-end runs against a private PipeWire session: test_pipewire.py --program PATH.
Half-scale tones are told apart by Goertzel level: present > 0.3, absent < 0.01."""
import array, json, math, re, os, shutil, signal, statistics, struct, subprocess, sys, tempfile, threading, time, wave
import unittest
from unittest import mock

PW_SESSION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/pw-session")
HEADER = b"SDRA" + struct.pack("<IIHH", 1, 48000, 2, 32)
SECOND = 48000 * 8
GUARD = 20  # seconds; reached only when something hangs
SANDBOX = ["unshare", "--pid", "--fork", "--mount-proc"]
PIPES = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
PROGRAM = None


def start_session(directory):
    lines = subprocess.run([PW_SESSION, "start", directory], check=True, text=True,
                           capture_output=True, timeout=30).stdout
    env = subprocess.run(["bash", "-c", lines + "env -0"], check=True, text=True,
                         capture_output=True).stdout
    return dict(item.split("=", 1) for item in env.split("\0") if item)


def stop_session(directory):
    subprocess.run([PW_SESSION, "stop", directory], check=True, timeout=30)


def make_tone(path, freq, seconds, rate=44100, channels=1, *effects):
    """A half-scale sine, or what `effects` make, in a 16-bit file."""
    subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", path, "synth",
                    str(seconds), *(effects or ("sine", str(freq), "vol", "0.5"))], check=True)


def open_session(cls, prefix, tones=(440, 660, 1000), seconds=10, files={}, **env):
    """A private session for the class, with a file of each tone (half scale, 44.1 kHz mono) and
    of each of `files` (name: seconds, rate, channels, sox effects); all go at the class's end."""
    cls.tmp, cls.wav = tempfile.mkdtemp(prefix=prefix), {}
    cls.addClassCleanup(shutil.rmtree, cls.tmp)
    for name, args in dict({f: (seconds,) for f in tones}, **files).items():
        cls.wav[name] = os.path.join(cls.tmp, "%s.wav" % name)
        make_tone(cls.wav[name], name, *args)
    cls.addClassCleanup(stop_session, cls.tmp)
    with mock.patch.dict(os.environ, env):
        cls.env = start_session(cls.tmp)


def poll(get, done=bool):
    """get() until done(what it gave) or the guard has passed; what it gave last."""
    deadline = time.monotonic() + GUARD
    while not done(got := get()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return got


def samples(data, header):
    body = data[header:len(data) - (len(data) - header) % 8]
    return struct.unpack("<%df" % (len(body) // 4), body)


def left(data, header=16):
    return samples(data, header)[0::2]


def newest(data, seconds=1):
    """Left and right of the newest `seconds` of audio."""
    body = samples(data, 16 + max(0, (len(data) - 16) // 8 - int(seconds * 48000)) * 8)
    return body[0::2], body[1::2]


def level(samples, freq):
    """Amplitude of one frequency at 48 kHz (Goertzel); 1.0 for a full-scale sine."""
    coeff, s1, s2 = 2 * math.cos(2 * math.pi * freq / 48000), 0.0, 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return 2 * math.sqrt(max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0)) / max(len(samples), 1)


def free_pid():
    with open("/proc/sys/kernel/pid_max") as f:
        return str(int(f.read()) + 1)


def failure(code, message):
    return "Falha na captura de \u00e1udio do processo (0x%08X): %s\n" % (code, message)


class Capture:
    # stdout is read on a thread that closes it after `keep` bytes; finish(None) closes stdin.

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

    def wait_for(self, seconds, check=lambda data: True):
        """Until `seconds` of audio have come and the data passes the check."""
        want = 16 + int(seconds * SECOND)
        met = lambda: len(self.data) >= want and check(self.data[:len(self.data) // 8 * 8])
        with self.cond:
            return self.cond.wait_for(lambda: met() or self.ended, GUARD) and met()

    def finish(self, stop=b"q"):
        if stop:
            self.proc.stdin.write(stop)
        self.proc.stdin.close() if stop is None else self.proc.stdin.flush()
        rc = self.proc.wait(GUARD)
        self.reader.join(GUARD)
        # A loaded machine can make the graph itself drop audio, which the helper tells in
        # notice lines; the cases about losses read the helper's output themselves.
        err = "".join(line for line in self.proc.stderr.read().decode().splitlines(True)
                      if not line.startswith("Aviso: "))
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()
        return rc, bytes(self.data), err


class SessionCase(unittest.TestCase):
    def spawn(self, *argv, **pipes):
        proc = subprocess.Popen(argv, env=self.env, start_new_session=True, **(
            pipes or dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)))
        self.addCleanup(proc.wait)
        self.addCleanup(lambda: proc.poll() is None and os.killpg(proc.pid, signal.SIGKILL))
        return proc

    def capture(self, *args, keep=None):
        return Capture(self.spawn(PROGRAM, *args, **PIPES), keep)

    def finished(self, cap, seconds, stop=b"q", name="", check=lambda data: True):
        """What a capture gave once `seconds` of audio came and passed the check, stopped,
        checked for a clean end."""
        self.assertTrue(cap.wait_for(seconds, check), "%s: ended, stalled or failed the check" % name)
        rc, data, err = cap.finish(stop)
        self.assertEqual((name, rc, err, data[:16]), (name, 0, "", HEADER))
        return data

    def assertCaptures(self, seconds, *cases):
        """Each (name, capture, present, absent[, stop]) stopped once its newest second has the
        present tones (a loaded machine may glitch a moment): each once, the absent not at all."""
        for name, cap, present, absent, *stop in cases:
            heard = lambda data: all(level(newest(data)[0], f) > 0.3 for f in present)
            data = newest(self.finished(cap, seconds, *stop, name=name, check=heard))[0]
            for f in present:
                self.assertAlmostEqual(level(data, f), 0.5, delta=0.05, msg="%s: %d Hz" % (name, f))
            for f in absent:
                self.assertLess(level(data, f), 0.01, "%s: %d Hz leaked in" % (name, f))

    def graph(self, predicate):
        """Waits until predicate(objects of pw-dump) is true and returns what it returned."""
        found = poll(lambda: predicate(json.loads(subprocess.run(
            ["pw-dump"], env=self.env, capture_output=True, text=True).stdout or "[]")))
        self.assertTrue(found, "the graph never reached the state waited for")
        return found

    @staticmethod
    def nodes(objects, name="sondrel-process-loopback"):
        return [o["id"] for o in objects if o["type"].endswith(":Node") and o.get(
            "info", {}).get("props", {}).get("node.name") == name]


class PipeWire(SessionCase):
    @classmethod
    def setUpClass(cls):
        open_session(cls, "sondrel-pwtest-", (440, 550, 660, 1000), files={
            "right": (10, 48000, 2, "sine", "0", "sine", "440", "remix", "1v0", "2", "vol", "0.5"),
            "mono": (10, 48000, 1, "sine", "1000", "vol", "0.5")})
        # Left 1000 Hz at 0.5, right a time code: 16 * the number of 10 ms played before.
        cls.wav["coded"] = os.path.join(cls.tmp, "coded.wav")
        with wave.open(cls.wav["coded"], "wb") as w:
            w.setnchannels(2), w.setsampwidth(2), w.setframerate(48000)
            w.writeframes(array.array("h", (round(16384 * math.sin(math.pi * i / 48)) if i % 2 == 0
                                            else i // 960 * 16 for i in range(960000))).tobytes())

    def test_selection_effects_routes_and_ways_to_stop(self):
        # 440 Hz from a grandchild of the target; 1000 Hz from a pulse client. A loopback effect
        # plays again what its sink receives: the player behind it (660 Hz) counts once, as
        # itself. A player with no route of its own (550 Hz) stays silent: our passive links
        # alone never set it running.
        self.spawn("pw-loopback", "--capture-props=media.class=Audio/Sink node.name=sondrel-fx",
                   "--playback-props=node.name=sondrel-fx-out")
        self.graph(lambda objects: self.nodes(objects, "sondrel-fx"))
        target = self.spawn("sh", "-c", '(pw-play "$0"; :); :', self.wav[440])
        pulse = self.spawn("paplay", self.wav[1000])
        behind = self.spawn("pw-play", "--target", "sondrel-fx", self.wav[660])
        self.spawn("pw-play", "--target", "0", self.wav[550])
        self.graph(lambda objects: len(self.nodes(objects, "pw-play")) == 3)
        self.assertCaptures(
            1.5, ("stdin closed", self.capture("--exclude-pid", str(target.pid)), [660, 1000], [440, 550], None),
            ("q", self.capture("--pid", str(pulse.pid)), [1000], [440, 550, 660], b"q"),
            ("stdout closed", self.capture("--pid", str(target.pid), keep=16 + 2 * SECOND), [440],
             [550, 660, 1000], b""),
            ("no such pid", self.capture("--exclude-pid", free_pid()), [440, 660, 1000], [550], b"q"),
            ("behind the effect", self.capture("--pid", str(behind.pid)), [660], [440, 550, 1000]),
            ("not behind it", self.capture("--exclude-pid", str(behind.pid)), [440, 1000], [550, 660]))

    def test_stalled_player_holds_back_no_other(self):
        healthy = self.spawn("pw-play", self.wav[1000])
        stalled = self.spawn("pw-play", self.wav[440])
        cap = self.capture("--exclude-pid", str(self.spawn("sleep", "60").pid))
        levels = lambda data: [level(newest(data, 0.5)[0], f) for f in (440, 1000)]  # newest 0.5 s
        self.assertTrue(cap.wait_for(0.5), "the capture ended or stalled")
        os.kill(stalled.pid, signal.SIGSTOP)
        alone = lambda data: levels(data)[0] < 0.01 and levels(data)[1] > 0.4
        self.assertTrue(cap.wait_for(len(cap.data) / SECOND + 1, alone), "the stopped player held the capture back")
        os.kill(stalled.pid, signal.SIGCONT)
        both = lambda data: min(levels(data)) > 0.3
        self.assertTrue(cap.wait_for(len(cap.data) / SECOND, both), "not both tones after SIGCONT")
        rc, data, err = cap.finish()
        self.assertEqual((rc, err, healthy.poll()), (0, "", None))

    def test_a_stalled_reader_is_told_what_it_lost(self):
        # The file's frame n holds (n + 1) / 2^24, which passes the graph exactly: every gap in
        # what comes out is known to the frame. A 12 s stall, then the stop: one notice, exact.
        path = os.path.join(self.tmp, "count.wav")
        count = array.array("f", (s * (n + 1) / 2 ** 24 for n in range(48000 * 20) for s in (1, -1)))
        with open(path, "wb") as f:
            f.write(b"RIFF" + struct.pack("<I4s4sIHHIIHH4sI", 36 + 4 * len(count), b"WAVE", b"fmt ", 16, 3,
                                          2, 48000, SECOND, 8, 32, b"data", 4 * len(count)) + count.tobytes())
        proc = self.spawn(PROGRAM, "--pid", str(self.spawn("pw-play", path).pid), bufsize=0, **PIPES)
        got = b""
        while len(got) < 16 + SECOND // 2:
            got += proc.stdout.read(16 + SECOND // 2 - len(got))
        time.sleep(12)
        rest, err = proc.communicate(b"q", GUARD)
        # Silent frames (a late player's, the end) are no part of the time code.
        n = [(i, v) for i, v in enumerate(round(x * 2 ** 24) for x in left(got + rest)) if v]
        gaps = [(b - a - 1, j) for (_, a), (j, b) in zip(n, n[1:]) if b != a + 1]
        told = [(int(a), int(b)) for a, b in re.findall(
            r"^Aviso: \u00e1udio perdido: (\d+) quadros antes do quadro (\d+) \(leitor atrasado\)$", err.decode(), re.M)]
        self.assertEqual((proc.returncode, len(told), len(gaps), err.count(b"\n")), (0, 1, 1, 1), (told, gaps))
        # Where: exact. How much: the time code misses only the silence the graph plays when a
        # loaded player is late, which the helper counts with what it dropped (the scripted runs
        # check the count exactly).
        (frames, position), (lost, at) = told[0], gaps[0]
        self.assertEqual(position, at)
        self.assertTrue(lost <= frames < lost + SECOND // 8 // 10, (told, gaps))

    def our_links(self, objects):
        return [o["id"] for o in objects if o["type"].endswith(":Link")
                and o["info"]["input-node-id"] in self.nodes(objects)]

    def test_our_links_and_streams_come_back(self):
        # A patchbay or the session manager removing our links or our streams costs
        # under half a second of what the player played: measured by its time code.
        cap = self.capture("--pid", str(self.spawn("pw-play", self.wav["coded"]).pid))
        marks = []
        for turn, ours in enumerate((self.our_links, self.nodes, self.nodes)):
            self.assertTrue(cap.wait_for(len(cap.data) / SECOND + 0.5), "removal %d" % turn)
            marks.append(len(cap.data) // 8 * 8)
            for found in self.graph(ours):
                subprocess.run(["pw-cli", "destroy", str(found)], env=self.env, capture_output=True)
        data = self.finished(cap, len(cap.data) / SECOND + 1, name="not made again",
                             check=lambda d: level(newest(d, 0.25)[0], 1000) > 0.3)
        code = lambda at: round(struct.unpack_from("<f", data, at + 4)[0] * 2048)
        for turn, (start, end) in enumerate(zip(marks, marks[1:] + [len(data) - 8])):
            lost = (code(end) - code(start)) * 480 - (end - start) // 8
            self.assertLess(lost, 24000 + 480, "turn %d: %d frames lost" % (turn, lost))

    @unittest.skipIf(os.environ.get("SONDREL_SANITIZED"), "a sanitizer's data thread is too slow for the graph")
    def test_player_moved_to_a_new_device(self):
        # No overlap, no doubled block, at most one phase break in the moved tone.
        self.spawn("pw-play", self.wav["right"])
        self.spawn("pw-play", self.wav["mono"])
        cap = self.capture("--pid", "1")
        self.assertTrue(cap.wait_for(1), "the capture ended or stalled")
        module = subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=sondrel-moved"],
                                env=self.env, check=True, capture_output=True, text=True).stdout
        self.addCleanup(subprocess.run, ["pactl", "unload-module", module.strip()], env=self.env)
        inputs = subprocess.run(["pactl", "list", "sink-inputs"], env=self.env, check=True,
                                capture_output=True, text=True).stdout.split("Sink Input #")
        moved = [i.split()[0] for i in inputs if self.wav["mono"] in i]
        subprocess.run(["pactl", "move-sink-input", moved[0], "sondrel-moved"], env=self.env, check=True)
        mark = len(cap.data) // 8 * 8 - SECOND // 4
        data = self.finished(cap, len(cap.data) / SECOND + 1.5,
                             check=lambda d: level(newest(d, 0.5)[0], 1000) > 0.3)
        tone = left(data[mark:], 0)
        self.assertLess(max(map(abs, tone)), 0.52, "doubled")
        c = 2 * math.cos(2 * math.pi * 1000 / 48000)
        jumps = [n for n in range(1, len(tone) - 1) if abs(tone[n + 1] - c * tone[n] + tone[n - 1]) > 0.01]
        # One break: the samples of one jump, or the two ends of one silent gap.
        breaks = [n for k, n in enumerate(jumps) if k == 0 or n - jumps[k - 1] > 48 and any(
            tone[jumps[k - 1] + 2:n - 1])]
        self.assertLessEqual(len(breaks), 1, [n / 48000 for n in jumps])

    def test_failures(self):
        player = self.spawn("pw-play", self.wav[440])
        # A pid not running; no daemon to reach.
        for env, pid, code, message in (
                (self.env, free_pid(), 0x80070057, "O par\u00e2metro est\u00e1 incorreto."),
                (dict(self.env, XDG_RUNTIME_DIR=self.tmp + "/nowhere"), "1", 0x88890010,
                 "O servi\u00e7o de \u00e1udio n\u00e3o est\u00e1 em execu\u00e7\u00e3o.")):
            proc = subprocess.run([PROGRAM, "--pid", pid], env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=GUARD)
            self.assertEqual((proc.returncode, proc.stdout, proc.stderr.decode()),
                             (4, b"", failure(code, message)))
        cap = self.capture("--pid", str(player.pid))
        self.assertTrue(cap.wait_for(0.25))
        with open(os.path.join(self.tmp, "pids")) as f:
            os.kill(int(f.read().split()[0]), signal.SIGKILL)
        self.addCleanup(start_session, self.tmp)  # a fresh daemon for what runs next
        rc, data, err = cap.finish(b"")
        self.assertEqual((rc, data[:16], err), (4, HEADER, failure(
            0x88890004, "O dispositivo de \u00e1udio foi invalidado.")))


class TwoDevices(SessionCase):
    """A second sink that drives its own graph at a quantum of 256 beside the first at 1024."""

    @classmethod
    def setUpClass(cls):
        open_session(cls, "sondrel-pwclocks-", (440, 1000), 30, PW_SESSION_SECOND_SINK_QUANTUM="256")

    def test_each_application_at_its_level_in_real_time(self):
        # One player per device; ten seconds of wall time, the quantum of every
        # driver forced to 512 halfway through in the second case.
        for name, quantum in (("1024 and 256", None), ("changed mid-capture", "512")):
            with self.subTest(name):
                players = [self.spawn("pw-play", self.wav[440]),
                           self.spawn("pw-play", "--target", "sondrel-test-sink-2",
                                      self.wav[1000])]
                cap = self.capture("--exclude-pid", str(self.spawn("sleep", "60").pid))
                self.assertTrue(cap.wait_for(1), "the capture ended or stalled")
                (t0, n0), mid = self.arrival(cap), time.monotonic() + 5
                while time.monotonic() < t0 + 10:  # the wall time is what is measured
                    time.sleep(0.1)
                    if quantum and time.monotonic() > mid:
                        subprocess.run([PW_SESSION, "quantum", self.tmp, quantum], check=True)
                        self.addCleanup(subprocess.run, [PW_SESSION, "quantum", self.tmp, "0"])
                        quantum = None
                t1, n1 = self.arrival(cap)
                rc, data, err = cap.finish()
                for p in players:
                    p.kill()
                self.assertEqual((rc, err), (0, ""))
                body = left(data[n0 // 8 * 8:n1 // 8 * 8], 0)
                ratio = len(body) / 48000 / (t1 - t0)
                # By tenths of a second, the median: a loaded machine makes the
                # players themselves skip now and then (pw-record hears it too).
                tenths = [body[i:i + 4800] for i in range(0, len(body) - 4799, 4800)]
                a, b, outside = (statistics.median(x) for x in zip(*map(self.tones, tenths)))
                figures = "%.3f s of audio per second, 440 Hz %.3f, 1000 Hz %.3f, %.1f %% outside" % (
                    ratio, a, b, 100 * outside)
                self.assertAlmostEqual(ratio, 1, delta=0.02, msg=figures)
                for got in (a, b):
                    self.assertAlmostEqual(got, 0.5, delta=0.05, msg=figures)
                self.assertLess(outside, 0.01, figures)

    @staticmethod
    def tones(part):
        """Levels of the two tones, and the share of the energy outside them."""
        a, b = level(part, 440), level(part, 1000)
        energy = sum(x * x for x in part) / len(part)
        return a, b, 1 - (a * a + b * b) / 2 / energy if energy else 1

    @staticmethod
    def arrival(cap):
        """The time a chunk of audio arrives, and how many bytes there are then."""
        with cap.cond:
            n = len(cap.data)
            cap.cond.wait_for(lambda: len(cap.data) > n or cap.ended, GUARD)
            return time.monotonic(), len(cap.data)


def main():  # the tests of the __main__ module, of this file or of one that imports it
    global PROGRAM
    if len(sys.argv) < 3 or sys.argv[1] != "--program" or not os.access(sys.argv[2], os.X_OK):
        sys.exit("usage: %s --program PATH [unittest options]" % os.path.basename(sys.argv[0]))
    PROGRAM = os.path.abspath(sys.argv[2])
    unittest.main(module="__main__", argv=[sys.argv[0], "-v", *sys.argv[3:]])


if __name__ == "__main__":
    main()
