"""--window against X11 windows under a private Xvfb: test_window.py --scripted P --helper P"""
import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pipewire"))
import test_pipewire as pw  # noqa: E402

ARGS = None
USAGE = b"Uso: sondrel-process-loopback.exe --window <HWND> | --pid <PID> | --exclude-pid <PID>\n"
GUARD = 20


def start_xvfb(cleanup, *options):
    """A private X server, ended by the cleanups it registers; its display name."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", *options], pass_fds=(write_end,),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    cleanup(xvfb.wait, GUARD)
    cleanup(xvfb.terminate)
    with os.fdopen(read_end) as reader:
        return ":" + reader.readline().strip()


class Window(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = start_xvfb(cls.addClassCleanup, "-screen", "0", "320x240x24")

    def helper(self, *args):
        """Starts the window helper, ended at cleanup; returns its window id, published pid, process."""
        proc = subprocess.Popen([ARGS.helper, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                env=dict(os.environ, DISPLAY=self.display))
        self.addCleanup(proc.__exit__, None, None, None)  # closes its input and waits
        window, pid = proc.stdout.readline().decode().split()
        return window, int(pid), proc

    def test_window_names_its_process_or_gives_usage_in_bounded_time(self):
        own, pid, _ = self.helper()
        gone, _, gone_proc = self.helper()
        gone_proc.communicate(timeout=GUARD)
        silent = self.enterContext(socket.create_server(("127.0.0.1", 0)))  # accepts, never answers
        no_server = next(n for n in range(500, 1000) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        found, usage, x = (0, pw.HEADER, b"", ["%d 0" % pid]), (2, b"", USAGE, []), self.display
        for value, display, want in (
                (own, x, found), (str(int(own, 16)), x, found), (self.helper("--no-pid")[0], x, usage),
                (self.helper("--pid", str(os.getpid()))[0], x, usage), (gone, x, usage),
                (hex(int(own, 16) | 1 << 32), x, usage), (own, None, usage), (own, ":%d" % no_server, usage),
                (own, "127.0.0.1:%d" % (silent.getsockname()[1] - 6000), usage)):
            with self.subTest(value=value, display=display), tempfile.NamedTemporaryFile() as trace:
                env = {k: v for k, v in os.environ.items() if k != "DISPLAY"} | {"SONDREL_SCENARIO": ""}
                env.update(SONDREL_TRACE=trace.name, **({"DISPLAY": display} if display else {}))
                # a server that never answers must not hold the program past the guard
                proc = subprocess.run([ARGS.scripted, "--window", value], env=env, stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=GUARD)
                activations = [" ".join(call.split()[-2:]) for call in trace.read().decode().splitlines()
                               if call.startswith("ActivateAudioInterfaceAsync")]
                self.assertEqual((proc.returncode, proc.stdout, proc.stderr, activations), want)

    def test_list_names_the_window_the_window_manager_lists(self):
        # The helper's own session (scripted); the window manager's client list is set by hand.
        own, pid, _ = self.helper()
        env = dict(os.environ, DISPLAY=self.display, SONDREL_SESSIONS="%d:1:0.5:" % pid)
        for argv in (["-root", "-f", "_NET_CLIENT_LIST", "32x", "-set", "_NET_CLIENT_LIST", own],
                     ["-id", own, "-f", "_NET_WM_NAME", "8u", "-set", "_NET_WM_NAME", "Sondrel \u00e9"]):
            subprocess.run(["xprop", *argv], env=env, check=True)
        proc = subprocess.run([ARGS.scripted, "--list"], env=env, capture_output=True, timeout=GUARD)
        self.assertEqual((proc.returncode, proc.stderr), (0, b""))
        entry = json.loads(proc.stdout)
        self.assertEqual((entry["appPid"], entry["window"], entry["title"]), (pid, int(own, 16), "Sondrel \u00e9"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--scripted", "--helper"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
