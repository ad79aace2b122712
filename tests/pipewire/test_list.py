"""--list against a private PipeWire session: which applications play, grouped, with peaks."""
import json, math, os, re, subprocess, time

import test_pipewire
from test_pipewire import GUARD, open_session

SANDBOX = "unshare --pid --fork --mount-proc".split()


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                if entry.isdigit() and int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, IndexError):
            pass
    return sorted(found)


class List(test_pipewire.SessionCase):
    @classmethod
    def setUpClass(cls):
        open_session(cls, "sondrel-pwlist-", tones=())
        for name, vol in (("half", 0.5), ("quarter", 0.25), ("silent", 0)):
            cls.wav[name] = os.path.join(cls.tmp, name + ".wav")
            subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", cls.wav[name],
                            "synth", "30", "sine", "440", "vol", str(vol)], check=True)

    def listing(self, *args):
        proc = subprocess.run([test_pipewire.PROGRAM, "--list", *args], env=self.env,
                              capture_output=True, text=True, timeout=GUARD)
        return proc.returncode, [json.loads(line) for line in proc.stdout.splitlines()], proc.stderr

    def ours_in_graph(self):
        dump = json.loads(subprocess.run(["pw-dump"], env=self.env, capture_output=True,
                                         text=True).stdout or "[]")
        props = lambda o: o.get("info", {}).get("props", {})
        nodes = {o["id"] for o in dump if o["type"].endswith(":Node")
                 and props(o).get("node.name") == "sondrel-process-loopback-meter"}
        return [o["id"] for o in dump if o["id"] in nodes
                or (o["type"].endswith(":Link") and o["info"]["input-node-id"] in nodes)
                or props(o).get("application.name") == "sondrel-process-loopback"]

    def test_applications_grouped_with_state_and_peak(self):
        # Streams played on behalf of two children of one bash (the node names the process,
        # as a browser's audio service does), beside players of their own.
        family = self.spawn("bash", "-c", 'bash -c "sleep 60; :" & bash -c "sleep 60; :" & wait')
        deadline = time.monotonic() + GUARD
        while len(children(family.pid)) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        first, second = children(family.pid)
        claim = lambda pid: ["-P", "{ application.process.id = %d }" % pid]
        self.spawn("pw-play", *claim(first), self.wav["half"])
        self.spawn("pw-play", *claim(second), self.wav["quarter"])
        native = self.spawn("pw-play", self.wav["half"])
        paused = self.spawn("pw-play", "--target", "0", self.wav["half"])
        pulse = self.spawn("paplay", self.wav["quarter"])
        sandbox = self.spawn(*SANDBOX, "paplay", self.wav["half"])
        silent = self.spawn("pw-play", self.wav["silent"])
        while not children(sandbox.pid) and time.monotonic() < deadline:
            time.sleep(0.02)
        sandboxed = children(sandbox.pid)[0]
        # appPid: pids, pid, name, active, peak
        want = {family.pid: ([first, second], first, "bash", True, 0.5),
                native.pid: ([native.pid], native.pid, "pw-cat", True, 0.5),
                paused.pid: ([paused.pid], paused.pid, "pw-cat", False, 0),
                pulse.pid: ([pulse.pid], pulse.pid, "pacat", True, 0.25),
                sandboxed: ([sandboxed], sandboxed, "pacat", True, 0.5),
                silent.pid: ([silent.pid], silent.pid, "pw-cat", True, 0)}

        def matches(entry):
            pids, pid, name, active, peak = want[entry["appPid"]]
            close = entry["peak"] == 0 if peak == 0 else abs(20 * math.log10(
                max(entry["peak"], 1e-6) / peak)) <= 1
            return (entry["pids"], entry["pid"], entry["name"], entry["active"], close) == (
                pids, pid, name, active, True)

        # Players take a moment to start on a loaded machine: until every one is listed right.
        while True:
            rc, entries, err = self.listing()
            mine = [e for e in entries if e["appPid"] in want]
            if (len(mine) == len(want) and all(map(matches, mine))) or time.monotonic() > deadline:
                break
        print("\n".join(json.dumps(e) for e in entries))
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(sorted(e["appPid"] for e in mine), sorted(want), entries)
        for entry in mine:
            self.assertTrue(matches(entry), (entry, want[entry["appPid"]]))
            self.assertEqual(list(entry), ["pid", "pids", "appPid", "name", "exe", "title",
                                           "window", "active", "peak"])
        # Nothing of ours stays in the graph once the listing has exited.
        while self.ours_in_graph() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.ours_in_graph(), [])

    def test_no_daemon_is_a_failure_line_and_nothing_on_stdout(self):
        env = dict(self.env, XDG_RUNTIME_DIR=self.tmp + "/nowhere", PIPEWIRE_REMOTE="none")
        proc = subprocess.run([test_pipewire.PROGRAM, "--list"], env=env, capture_output=True,
                              text=True, timeout=GUARD)
        self.assertEqual((proc.returncode, proc.stdout), (4, ""))
        self.assertRegex(proc.stderr, r"^Falha na captura de \u00e1udio do processo \(0x88890010\)")


if __name__ == "__main__":
    test_pipewire.main()
