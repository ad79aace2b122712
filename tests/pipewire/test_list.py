"""--list against a private PipeWire session: which applications play, grouped, with peaks."""
import json, math, pathlib, subprocess

import test_pipewire
from test_pipewire import GUARD, SANDBOX, open_session, poll


def children(pid, count=1):
    """Waits for count children of pid; all of them, sorted."""
    path = pathlib.Path("/proc/%d/task/%d/children" % (pid, pid))
    return poll(lambda: sorted(map(int, path.read_text().split())), lambda found: len(found) >= count)


class List(test_pipewire.SessionCase):
    @classmethod
    def setUpClass(cls):
        open_session(cls, "sondrel-pwlist-", tones=(), files={
            name: (30, 48000, 2, "sine", "440", "vol", vol)
            for name, vol in (("half", "0.5"), ("quarter", "0.25"), ("silent", "0"))})

    def run_list(self, **env):
        proc = subprocess.run([test_pipewire.PROGRAM, "--list"], env=dict(self.env, **env),
                              capture_output=True, text=True, timeout=GUARD)
        return proc.returncode, proc.stdout, proc.stderr

    def test_applications_grouped_with_state_and_peak(self):
        # Streams played for two children of one bash (the node names the process, as a
        # browser's audio service does), beside players of their own.
        family = self.spawn("bash", "-c", 'bash -c "sleep 60; :" & bash -c "sleep 60; :" & wait')
        first, second = children(family.pid, 2)
        play = lambda *args: self.spawn("pw-play", *args)
        play("-P", "{ application.process.id = %d }" % first, self.wav["half"])
        play("-P", "{ application.process.id = %d }" % second, self.wav["quarter"])
        native, paused = play(self.wav["half"]), play("--target", "0", self.wav["half"])
        pulse, sandbox = self.spawn("paplay", self.wav["quarter"]), self.spawn(*SANDBOX, "paplay", self.wav["half"])
        silent, sandboxed = play(self.wav["silent"]), children(sandbox.pid)[0]
        want = {family.pid: ([first, second], first, "bash", True, 0.5),  # appPid: pids, pid, name, active, peak
                native.pid: ([native.pid], native.pid, "pw-cat", True, 0.5),
                paused.pid: ([paused.pid], paused.pid, "pw-cat", False, 0),
                pulse.pid: ([pulse.pid], pulse.pid, "pacat", True, 0.25),
                sandboxed: ([sandboxed], sandboxed, "pacat", True, 0.5),
                silent.pid: ([silent.pid], silent.pid, "pw-cat", True, 0)}
        seen = lambda e: (e["appPid"], e["pids"], e["pid"], e["name"], e["active"], e["peak"] == 0 if not want[
            e["appPid"]][4] else abs(20 * math.log10(max(e["peak"], 1e-6) / want[e["appPid"]][4])) <= 1)
        expected = sorted((pid, *w[:4], True) for pid, w in want.items())
        got = lambda out: sorted(seen(e) for e in map(json.loads, out.splitlines()) if e["appPid"] in want)
        rc, out, err = poll(self.run_list, lambda run: got(run[1]) == expected)  # players take a moment
        self.assertEqual((rc, err, got(out)), (0, "", expected))
        self.assertEqual({tuple(json.loads(line)) for line in out.splitlines()}, {
            ("pid", "pids", "appPid", "name", "exe", "title", "window", "active", "peak")})
        self.graph(lambda objects: not [o for o in objects if "sondrel-process-loopback" in (  # told at our exit
            o.get("info", {}).get("props", {}).get(key) for key in ("node.name", "application.name"))])

    def test_no_daemon_is_a_failure_line_and_nothing_on_stdout(self):
        rc, out, err = self.run_list(XDG_RUNTIME_DIR=self.tmp + "/nowhere", PIPEWIRE_REMOTE="none")
        self.assertEqual((rc, out), (4, ""))
        self.assertRegex(err, r"^Falha na captura de \u00e1udio do processo \(0x88890010\)")


if __name__ == "__main__":
    test_pipewire.main()
