"""--window on Linux against X11 windows, under an Xvfb of the test's own.

  test_window.py --scripted PATH --helper PATH [--program PATH] [unittest options]

The scripted build shows which process and mode reach the platform; the real
program (optional) captures a tone by window in a private PipeWire session.
"""
import argparse
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pipewire"))
import test_pipewire as pw  # noqa: E402

ARGS = None
HEADER = pw.HEADER
USAGE = b"Uso: sondrel-process-loopback.exe --window <HWND> | --pid <PID> | --exclude-pid <PID>\n"
GUARD = 20


def start_xvfb(test):
    """An Xvfb on a free display, ended by pid at cleanup; returns ':N'."""
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                             "-screen", "0", "320x240x24"], pass_fds=(write_end,),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write_end)
    test.addClassCleanup(proc.wait, GUARD)
    test.addClassCleanup(lambda: proc.poll() is None and proc.terminate())
    number = b""
    with os.fdopen(read_end, "rb", buffering=0) as reader:
        while not number.endswith(b"\n"):
            if not select.select([reader], [], [], GUARD)[0]:
                raise RuntimeError("Xvfb did not start")
            chunk = reader.read(16)
            if not chunk:
                raise RuntimeError("Xvfb exited")
            number += chunk
    return ":" + number.decode().strip()


class Window(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = start_xvfb(cls)

    def helper(self, *args, env=None):
        """Starts the window helper; returns (window id, published pid, process)."""
        proc = subprocess.Popen([ARGS.helper, *args], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, start_new_session=True,
                                env=dict(env or os.environ, DISPLAY=self.display))
        self.addCleanup(proc.wait, GUARD)
        self.addCleanup(proc.stdin.close)
        self.addCleanup(proc.stdout.close)
        window, pid = proc.stdout.readline().decode().split()
        return window, int(pid), proc

    def scripted(self, window, display="own"):
        """Runs the scripted build with stdin closed and DISPLAY the test's own
        server, another, or unset (None); returns exit code, stdout, stderr,
        the activation's 'pid mode' or None, and the seconds it took."""
        with tempfile.NamedTemporaryFile(prefix="sondrel-trace-") as trace:
            env = dict(os.environ, SONDREL_SCENARIO="", SONDREL_TRACE=trace.name)
            env.pop("DISPLAY", None)
            if display is not None:
                env["DISPLAY"] = self.display if display == "own" else display
            started = time.monotonic()
            proc = subprocess.run([ARGS.scripted, "--window", window], env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=GUARD)
            elapsed = time.monotonic() - started
            calls = [line.split() for line in trace.read().decode().splitlines()]
        activation = next((" ".join(c[-2:]) for c in calls if c[0] == "ActivateAudioInterfaceAsync"),
                          None)
        return proc.returncode, proc.stdout, proc.stderr, activation, elapsed

    def test_a_window_names_the_tree_of_its_process(self):
        window, pid, _ = self.helper()
        for value in (window, str(int(window, 16))):
            with self.subTest(value=value):
                self.assertEqual(self.scripted(value)[:4], (0, HEADER, b"", "%d 0" % pid))

    def test_windows_that_name_no_process_or_no_server_give_usage_in_bounded_time(self):
        no_pid, _, _ = self.helper("--no-pid")
        # Published pid is a live process, but not the window's owner.
        other_pid, _, _ = self.helper("--pid", str(os.getpid()))
        own, _, _ = self.helper()
        gone, _, gone_proc = self.helper()
        gone_proc.stdin.close()
        gone_proc.wait(GUARD)
        # The kernel completes the connection; nobody ever answers it.
        silent = socket.socket()
        self.addCleanup(silent.close)
        for number in range(200, 400):
            try:
                silent.bind(("127.0.0.1", 6000 + number))
                break
            except OSError:
                continue
        silent.listen(4)
        no_server = next(n for n in range(500, 1000) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        for name, value, display in (
                ("no _NET_WM_PID", no_pid, "own"), ("pid of another process", other_pid, "own"),
                ("destroyed window", gone, "own"),
                ("wider than 32 bits", hex(int(own, 16) | 1 << 32), "own"),
                ("no DISPLAY", own, None), ("no server there", own, ":%d" % no_server),
                ("server never answers", own, "127.0.0.1:%d" % number)):
            with self.subTest(name):
                code, out, err, activation, elapsed = self.scripted(value, display)
                self.assertEqual((code, out, err, activation), (2, b"", USAGE, None))
                self.assertLess(elapsed, 6)

    def test_capture_by_window_takes_the_windows_tree_only(self):
        if not ARGS.program:
            self.skipTest("no --program given")
        tmp = tempfile.mkdtemp(prefix="sondrel-x11pw-")
        self.addCleanup(shutil.rmtree, tmp)
        tones = {}
        for freq in (440, 1000):
            tones[freq] = os.path.join(tmp, "%d.wav" % freq)
            pw.make_tone(tones[freq], freq, 10)
        self.addCleanup(pw.stop_session, tmp)
        env = pw.start_session(tmp)
        window, _, _ = self.helper("pw-play", tones[440], env=env)
        other = subprocess.Popen(["paplay", tones[1000]], env=env, start_new_session=True)
        self.addCleanup(other.wait)
        self.addCleanup(lambda: other.poll() is None and os.killpg(other.pid, signal.SIGKILL))
        cap = pw.Capture(subprocess.Popen([ARGS.program, "--window", window], env=dict(
            env, DISPLAY=self.display), **pw.PIPES))
        self.assertTrue(cap.wait_for(1), "the capture ended or stalled")
        rc, data, err = cap.finish()
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(data[:16], HEADER)
        self.assertGreater(pw.level(pw.left(data), 440), 0.3)
        self.assertLess(pw.level(pw.left(data), 1000), 0.01)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--scripted", required=True)
    parser.add_argument("--helper", required=True)
    parser.add_argument("--program")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
