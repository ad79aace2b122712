"""Who is captured, and on which side: sandboxed players, orphans, a 5.1 sink."""
import os, subprocess

import test_pipewire
from test_pipewire import SECOND, level, open_session, samples

SANDBOX = "unshare --pid --fork --mount-proc"


def last_second(data):
    body = samples(data, 16)[-SECOND // 4:]
    return body[0::2], body[1::2]


class Session(test_pipewire.SessionCase):
    position = "FL FR"

    @classmethod
    def setUpClass(cls):
        open_session(cls, "sondrel-pwpolicy-", PW_SESSION_SINK_POSITION=cls.position)


class Attribution(Session):
    def check(self, captures, seconds):
        for name, cap, present, absent in captures:
            # a loaded machine may glitch a moment: wait until the newest second has the tones
            heard = lambda data: all(level(last_second(data)[0], f) > 0.3 for f in present)
            data = self.finished(cap, seconds, name=name, check=heard)
            self.assertTones(name, last_second(data)[0], present, absent)

    def test_sandboxed_players_by_their_real_pid(self):
        # A native and a pulse player, each pid 1 of its own PID namespace.
        target = self.spawn("sh", "-c", '%s pw-play "$0" & %s paplay "$1" & wait' % (
            SANDBOX, SANDBOX), self.wav[440], self.wav[660])
        self.spawn("pw-play", self.wav[1000])
        self.check((("include", self.capture("--pid", str(target.pid)), [440, 660], [1000]),
                    ("exclude", self.capture("--exclude-pid", str(target.pid)), [1000],
                     [440, 660])), 2.5)

    def test_orphans_keep_their_tree(self):
        # One player outlives the shell between it and the target; another is
        # double-forked after its parent is gone. A stranger in its own session is never ours.
        target = self.spawn("sh", "-c", 'sh -c "pw-play $0 & sleep 0.5"; '
                            '(sleep 0.7; exec paplay "$1") & sleep 9', self.wav[440],
                            self.wav[660])
        self.spawn("pw-play", self.wav[1000])
        self.check((("include", self.capture("--pid", str(target.pid)), [440, 660], [1000]),
                    ("exclude", self.capture("--exclude-pid", str(target.pid)), [1000],
                     [440, 660])), 3.0)

    def test_from_inside_a_sandbox(self):
        # The program shares a PID namespace with its target; the daemon's pids are not ours.
        self.spawn("pw-play", self.wav[1000])
        script = 'pw-play "$2" & sh -c \'pw-play "$0"; :\' "$1" & exec "$0" "$3" "$!"'
        for name, mode, present, absent in (("include", "--pid", [440], [660, 1000]),
                                            ("exclude", "--exclude-pid", [660, 1000], [440])):
            cap = test_pipewire.Capture(self.spawn(
                *SANDBOX.split(), "sh", "-c", script, test_pipewire.PROGRAM, self.wav[440],
                self.wav[660], mode, **test_pipewire.PIPES))
            self.check(((name, cap, present, absent),), 3.0)


FRONT = 0.5 / (1 + 2 * 0.7071)  # 5.1 downmix: centre and rears -3 dB, LFE dropped, no clipping
BACK = 0.7071 * FRONT


class Surround(Session):
    position = "FL FR FC LFE RL RR"

    def test_what_the_application_played_on_its_own_side(self):
        wav = os.path.join(self.tmp, "51.wav")  # dialogue (660 Hz) in the centre
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "6", "-b", "16", wav, "synth", "10",
                        "sine", "440", "sine", "1000", "sine", "660", "sine", "80", "sine", "550",
                        "sine", "770", "vol", "0.5"], check=True)
        cases = (("mono through pulse", ["paplay", self.wav[440]], {440: (0.5, 0.5)}),
                 ("5.1", ["pw-play", "--channel-map", "FL,FR,FC,LFE,RL,RR", wav],
                  {440: (FRONT, 0), 1000: (0, FRONT), 660: (BACK, BACK), 550: (BACK, 0),
                   770: (0, BACK)}))
        caps = [self.capture("--pid", str(self.spawn(*argv).pid)) for _, argv, _ in cases]
        for (name, _, expected), cap in zip(cases, caps):
            left, right = last_second(self.finished(cap, 1.5, name=name))
            levels = {f: (round(level(left, f), 3), round(level(right, f), 3))
                      for f in (440, 550, 660, 770, 1000)}
            for f, pair in levels.items():
                for got, want in zip(pair, expected.get(f, (0, 0))):
                    if want:
                        self.assertAlmostEqual(got, want, delta=0.1 * want, msg=(name, levels))
                    else:
                        self.assertLess(got, 0.01, (name, levels))
            self.assertLess(max(map(abs, left + right)), 0.52, (name, levels))  # no clipping


if __name__ == "__main__":
    test_pipewire.main()
