"""Who is captured, and on which side: sandboxed players, orphans, a 5.1 sink."""
import os, signal

import test_pipewire
from test_pipewire import SANDBOX, level, newest, open_session


class Session(test_pipewire.SessionCase):
    position, files = "FL FR", {}

    @classmethod
    def setUpClass(cls):
        open_session(cls, "sondrel-pwpolicy-", files=cls.files, PW_SESSION_SINK_POSITION=cls.position)


class Attribution(Session):
    def test_sandboxed_and_orphaned_players_by_their_real_pid(self):
        # Sandboxed: a native and a pulse player, each pid 1 of its own PID namespace. Orphaned:
        # one player outlives the shell between it and the target; another is double-forked
        # after its parent is gone. A stranger in its own session is never ours.
        sandbox = " ".join(SANDBOX)
        for name, script in (("sandboxed", '%s pw-play "$0" & %s paplay "$1" & wait' % (sandbox, sandbox)),
                             ("orphaned", 'sh -c "pw-play $0 & sleep 0.5"; (sleep 0.7; exec paplay "$1") & sleep 9')):
            other = self.spawn("pw-play", self.wav[1000])
            target = self.spawn("sh", "-c", script, self.wav[440], self.wav[660])
            self.assertCaptures(3.0, (name, self.capture("--pid", str(target.pid)), [440, 660], [1000]),
                                (name, self.capture("--exclude-pid", str(target.pid)), [1000], [440, 660]))
            for proc in (target, other):  # the next players alone
                proc.poll() is None and os.killpg(proc.pid, signal.SIGKILL)

    def test_from_inside_a_sandbox(self):
        # The program shares a PID namespace with its target; the daemon's pids are not ours.
        self.spawn("pw-play", self.wav[1000])
        script = 'pw-play "$2" & sh -c \'pw-play "$0"; :\' "$1" & exec "$0" "$3" "$!"'
        for name, mode, present, absent in (("include", "--pid", [440], [660, 1000]),
                                            ("exclude", "--exclude-pid", [660, 1000], [440])):
            cap = test_pipewire.Capture(self.spawn(
                *SANDBOX, "sh", "-c", script, test_pipewire.PROGRAM, self.wav[440],
                self.wav[660], mode, **test_pipewire.PIPES))
            self.assertCaptures(3.0, (name, cap, present, absent))


FRONT = 0.5 / (1 + 2 * 0.7071)  # 5.1 downmix: centre and rears -3 dB, LFE dropped, no clipping
BACK = 0.7071 * FRONT


class Surround(Session):
    position = "FL FR FC LFE RL RR"  # dialogue (660 Hz) in the centre
    files = {"5.1": (10, 48000, 6, "sine", "440", "sine", "1000", "sine", "660", "sine", "80",
                     "sine", "550", "sine", "770", "vol", "0.5")}

    def test_what_the_application_played_on_its_own_side(self):
        cases = (("mono through pulse", ["paplay", self.wav[440]], {440: (0.5, 0.5)}),
                 ("5.1", ["pw-play", "--channel-map", "FL,FR,FC,LFE,RL,RR", self.wav["5.1"]],
                  {440: (FRONT, 0), 1000: (0, FRONT), 660: (BACK, BACK), 550: (BACK, 0),
                   770: (0, BACK)}))
        caps = [self.capture("--pid", str(self.spawn(*argv).pid)) for _, argv, _ in cases]
        for (name, _, expected), cap in zip(cases, caps):
            left, right = newest(self.finished(cap, 1.5, name=name))
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
