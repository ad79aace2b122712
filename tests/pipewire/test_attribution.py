"""Who is captured, and on which side: end-to-end against private sessions.

  test_attribution.py --program PATH [unittest options]

Players in PID namespaces of their own (as sandboxes run them), orphans,
--pid 1, and the channel layouts of a 5.1 sink.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import test_pipewire
from test_pipewire import HEADER, SECOND, level, make_tone, start_session, stop_session

SANDBOX = "unshare --pid --fork --mount-proc"


def sides(data, skip=0.0, last=None):
    """Left and right samples of a captured stream, without its first `skip`
    seconds, or only its `last` seconds."""
    body = data[16:len(data) - (len(data) - 16) % 8]
    body = body[-int(last * SECOND):] if last else body[int(skip * SECOND):]
    samples = struct.unpack("<%df" % (len(body) // 4), body)
    return samples[0::2], samples[1::2]


class Session(unittest.TestCase):
    """A session of its own, with the sink layout `position`."""
    position = "FL FR"
    spawn = test_pipewire.PipeWire.spawn
    capture = test_pipewire.PipeWire.capture

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="sondrel-pwpolicy-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        cls.wav = {}
        for freq in (440, 660, 1000):
            cls.wav[freq] = os.path.join(cls.tmp, "%d.wav" % freq)
            make_tone(cls.wav[freq], freq, 10)
        cls.addClassCleanup(stop_session, cls.tmp)
        os.environ["PW_SESSION_SINK_POSITION"] = cls.position
        try:
            cls.env = start_session(cls.tmp)
        finally:
            del os.environ["PW_SESSION_SINK_POSITION"]


class Attribution(Session):
    def check(self, captures, seconds):
        """Runs each (name, capture, present, absent) for `seconds`; tones are
        judged on the last second, once every player has long started."""
        for name, cap, present, absent in captures:
            with self.subTest(name):
                self.assertTrue(cap.wait_for(seconds), "the capture ended or stalled")
                rc, data, err = cap.finish()
                self.assertEqual((rc, err, data[:16]), (0, "", HEADER))
                left, _ = sides(data, last=1.0)
                for f in present:
                    self.assertGreater(level(left, f), 0.3, "%d Hz missing" % f)
                for f in absent:
                    self.assertLess(level(left, f), 0.01, "%d Hz leaked in" % f)

    def test_sandboxed_players_by_their_real_pid(self):
        # A native and a pulse player, each in a PID namespace where it is pid 1.
        target = self.spawn("sh", "-c", '%s pw-play "$0" & %s paplay "$1" & wait' % (
            SANDBOX, SANDBOX), self.wav[440], self.wav[660])
        self.spawn("pw-play", self.wav[1000])
        self.check((("include", self.capture("--pid", str(target.pid)), [440, 660], [1000]),
                    ("exclude", self.capture("--exclude-pid", str(target.pid)), [1000],
                     [440, 660])), 2.5)

    def test_every_application_under_pid_1_and_orphans_keep_their_tree(self):
        # The player outlives the shell between it and the target; another is
        # started by a double fork after its parent is gone, in the target's
        # session. A stranger in a session of its own is never ours.
        target = self.spawn("sh", "-c", 'sh -c "pw-play $0 & sleep 0.5"; '
                            '(sleep 0.7; exec paplay "$1") & sleep 9', self.wav[440],
                            self.wav[660])
        stranger = self.spawn("pw-play", self.wav[1000])
        self.assertEqual(os.getsid(stranger.pid), stranger.pid)
        self.check((("include", self.capture("--pid", str(target.pid)), [440, 660], [1000]),
                    ("exclude", self.capture("--exclude-pid", str(target.pid)), [1000],
                     [440, 660]),
                    ("pid 1", self.capture("--pid", "1"), [440, 660, 1000], [])), 3.0)

    def test_from_inside_a_sandbox(self):
        # The program shares a PID namespace with its target (a sandboxed
        # parent excluding itself); the daemon's pids are not ours to read.
        # One sandbox at a time: inner pids of two would collide.
        self.spawn("pw-play", self.wav[1000])
        script = 'pw-play "$2" & sh -c \'pw-play "$0"; :\' "$1" & exec "$0" "$3" "$!"'
        for name, mode, present, absent in (("include", "--pid", [440], [660, 1000]),
                                            ("exclude", "--exclude-pid", [660, 1000], [440])):
            cap = test_pipewire.Capture(self.spawn(
                *SANDBOX.split(), "sh", "-c", script, test_pipewire.PROGRAM, self.wav[440],
                self.wav[660], mode, **test_pipewire.PIPES))
            self.check(((name, cap, present, absent),), 3.0)

# The standard downmix of a 5.1 source at 0.5 per channel: front 1, centre
# and rears 0.7071 (-3 dB), LFE dropped, scaled by 1 + 2 * 0.7071 so that
# full scale everywhere cannot clip.
FRONT = 0.5 / (1 + 2 * 0.7071)
BACK = 0.7071 * FRONT


class Surround(Session):
    position = "FL FR FC LFE RL RR"

    def test_what_the_application_played_on_its_own_side(self):
        wav = lambda name: os.path.join(self.tmp, name)  # noqa: E731
        # Left and right apart; a front-centre-only player; a 5.1 source
        # with dialogue (660 Hz) in the centre and a tone per channel.
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", wav("lr.wav"),
                        "synth", "10", "sine", "440", "sine", "1000", "vol", "0.5"], check=True)
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "6", "-b", "16", wav("51.wav"),
                        "synth", "10", "sine", "440", "sine", "1000", "sine", "660", "sine",
                        "80", "sine", "550", "sine", "770", "vol", "0.5"], check=True)
        cases = (
            ("stereo", ["pw-play", wav("lr.wav")], {440: (0.5, 0), 1000: (0, 0.5)}),
            ("mono through pulse", ["paplay", self.wav[440]], {440: (0.5, 0.5)}),
            ("front centre only", ["pw-play", "--channel-map", "FC", self.wav[660]],
             {660: (0.5, 0.5)}),
            ("5.1", ["pw-play", "--channel-map", "FL,FR,FC,LFE,RL,RR", wav("51.wav")],
             {440: (FRONT, 0), 1000: (0, FRONT), 660: (BACK, BACK), 550: (BACK, 0),
              770: (0, BACK)}),
        )
        running = []
        for name, argv, expected in cases:
            player = self.spawn(*argv)
            running.append((name, expected, self.capture("--pid", str(player.pid))))
        for name, expected, cap in running:
            with self.subTest(name):
                self.assertTrue(cap.wait_for(1.5), "the capture ended or stalled")
                rc, data, err = cap.finish()
                self.assertEqual((rc, err), (0, ""))
                left, right = sides(data, 0.5)
                levels = {f: (round(level(left, f), 3), round(level(right, f), 3))
                          for f in (440, 550, 660, 770, 1000)}
                for f, pair in levels.items():
                    for got, want in zip(pair, expected.get(f, (0, 0))):
                        if not want:
                            self.assertLess(got, 0.01, levels)
                        else:
                            self.assertAlmostEqual(got, want, delta=0.1 * want, msg=levels)
                self.assertAlmostEqual(levels[660][0], levels[660][1], delta=0.01)
                # Every channel at 0.5 at once still peaks at 0.5 at most.
                self.assertLess(max(map(abs, left + right)), 0.52, levels)

if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "--program" or not os.access(sys.argv[2], os.X_OK):
        sys.exit("usage: test_attribution.py --program PATH [unittest options]")
    test_pipewire.PROGRAM = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
