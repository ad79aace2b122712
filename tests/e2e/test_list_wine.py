"""--list of the Windows build under Wine: test_list_wine.py --production EXE --unit-tests EXE.
Wine has audio endpoints only when a pulse server is reachable, and no session enumeration."""
import os, subprocess, sys, tempfile, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "pipewire"), os.path.join(HERE, "..", "x11")]
import test_pipewire as pw  # noqa: E402
from test_window import start_xvfb  # noqa: E402

WINE = os.path.join(HERE, "..", "..", "scripts", "wine-run")
ARGS = {}


def run(*argv, env=None):
    proc = subprocess.run([WINE, *argv], env=env, capture_output=True, timeout=120)
    # Wine's ALSA driver talks on stderr when there is no sound card.
    err = "".join(l for l in proc.stderr.decode().splitlines(True) if not l.startswith("ALSA lib"))
    return proc.returncode, proc.stdout.decode(), err


class ListUnderWine(unittest.TestCase):
    def test_no_endpoint_is_an_empty_list_an_endpoint_the_missing_enumeration(self):
        self.assertEqual(run(ARGS["production"], "--list"), (0, "", ""))
        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="sondrel-winelist-"))
        env = pw.start_session(tmp)
        self.addCleanup(pw.stop_session, tmp)
        # The session has a HOME of its own; the Wine prefix stays the tests' one.
        env["SONDREL_WINEPREFIX"] = os.environ.get(
            "SONDREL_WINEPREFIX", os.path.expanduser("~/.local/share/sondrel-wine"))
        rc, out, err = run(ARGS["production"], "--list", env=env)
        self.assertEqual((rc, out), (4, ""))
        self.assertRegex(err, r"^Falha na captura de \u00e1udio do processo \(0x80004001\)[^\n]*\r\n$")

    def test_windows_under_a_display(self):
        env = dict(os.environ, DISPLAY=start_xvfb(self.addCleanup))
        # A desktop of its own: the shared one may have come up without a display.
        rc, out, err = run("explorer", "/desktop=sondrel-list,640x480", ARGS["unit_tests"],
                           "--gtest_filter=EnumerateTopLevelWindows.*", env=env)
        self.assertEqual(rc, 0, out + err)
        self.assertRegex(out, r"\[  PASSED  \] 1 test")


if __name__ == "__main__":
    ARGS = {"production": sys.argv[2], "unit_tests": sys.argv[4]}
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[5:]])
