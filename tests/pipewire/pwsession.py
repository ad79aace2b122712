"""Private PipeWire sessions and players for the tests, demo and benchmark."""
import os
import shlex
import signal
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PW_SESSION = os.path.join(HERE, "pw-session")


def parse_env(text, base):
    env = dict(base)
    for line in text.splitlines():
        words = shlex.split(line)
        if words[:1] == ["export"] and "=" in words[1]:
            key, value = words[1].split("=", 1)
            env[key] = value
        elif words[:1] == ["unset"]:
            for key in words[1:]:
                env.pop(key, None)
    return env


class Session:
    """pipewire + wireplumber + pipewire-pulse under a directory of its own."""

    def __init__(self, directory=None):
        self._tmp = None
        if directory is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="sondrel-pw-")
            directory = self._tmp.name
        self.dir = directory
        self.env = None

    def start(self):
        out = subprocess.run([PW_SESSION, "start", self.dir], check=True,
                             capture_output=True, text=True, timeout=30)
        self.env = parse_env(out.stdout, os.environ)
        return self

    def daemon_pid(self):
        with open(os.path.join(self.dir, "pids")) as f:
            return int(f.read().split()[0])

    def stop(self):
        subprocess.run([PW_SESSION, "stop", self.dir], check=False, timeout=30)
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def make_tone(path, freq, seconds, rate=44100, channels=1):
    """S16 WAV of a sine at half scale; PipeWire converts it to 48 kHz float."""
    subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", path,
                    "synth", str(seconds), "sine", str(freq), "vol", "0.5"], check=True)


def stop_process(proc, timeout=5):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
