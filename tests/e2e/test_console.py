#!/usr/bin/env python3
"""Ctrl+C / Ctrl+Break (SIGINT, SIGTERM on Linux; SIGINT, which Wine turns into CTRL_C_EVENT) and
Store app frames for --window. test_console.py --scripted E [--window-helper E --wine W]"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_program as tp  # noqa: E402

GUARD = 60  # seconds; reached only when something hangs


class ConsoleControl(unittest.TestCase):
    def test_first_signal_stops_with_everything_captured_and_a_second_ends_at_once(self):
        native = sys.platform == "win32"  # Ctrl+Break to its own process group, as a parent sends it
        signals = (signal.CTRL_BREAK_EVENT,) if native else (signal.SIGINT,) if tp.ARGS.wine else \
            (signal.SIGINT, signal.SIGTERM)
        group = {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP} if native else {}
        for sig in signals:
            with self.subTest(signal=sig):  # stdin stays open: only the signal can stop it
                r = tp.Run("pace=prequeue packets=480x100", stdin=subprocess.PIPE, **group)
                self.assertEqual(os.read(r.p.stdout.fileno(), 16), tp.HEADER)
                r.p.send_signal(sig)
                code, out, err, trace = r.finish()
                self.assertEqual((code, out, err), (0, tp.frames(0, 48000), b""))
                self.assertTrue(trace[-1].startswith("exit live=0 "), trace[-1])
        # Unread, the output holds the run up after the first; the next one ends it before all is out.
        r = tp.Run("pace=prequeue packets=480x1000", stdin=subprocess.PIPE, **group)
        self.assertEqual(os.read(r.p.stdout.fileno(), 16), tp.HEADER)
        r.p.send_signal(signals[-1])
        deadline = time.monotonic() + GUARD
        while r.p.poll() is None and time.monotonic() < deadline:
            r.p.send_signal(signals[0])
            time.sleep(0.2)
        self.assertLess(len(r.finish()[1]), len(tp.frames(0, 480000)))
        # the system's default; Wine's ends with 0
        self.assertIn(r.p.returncode, (0xC000013A,) if native else (0,) if tp.ARGS.wine else (-2, -15))


class StoreAppFrame(unittest.TestCase):
    def window(self, program, *arguments):
        p = subprocess.Popen(tp.command(program, *arguments), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(p.communicate, timeout=GUARD)
        return p.stdout.readline().decode().split()

    def test_a_frame_hosts_window_targets_its_core_windows_process(self):
        if not tp.ARGS.window_helper:
            self.skipTest("Windows build only")
        folder = self.enterContext(tempfile.TemporaryDirectory(prefix="sondrel-frame-"))
        frame_host = shutil.copy(tp.ARGS.window_helper, os.path.join(folder, "ApplicationFrameHost.exe"))
        for host, core_window, app_is_target in ((frame_host, True, True), (frame_host, False, False),
                                                 (tp.ARGS.window_helper, True, False)):
            with self.subTest(host=os.path.basename(host), core_window=core_window):
                frame, frame_pid = self.window(host)
                app_pid = core_window and self.window(tp.ARGS.window_helper, frame, "Windows.UI.Core.CoreWindow")[1]
                self.assertEqual(tp.run("activate=0x80070005", ["--window", frame])[3][0].split()[-2],
                                 app_pid if app_is_target else frame_pid)


if __name__ == "__main__":
    tp.main()  # its options, Wine and the --pid target, with the tests of this file
