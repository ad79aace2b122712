"""The applications that play audio now, from the helper's --list."""
import json
import subprocess
from dataclasses import dataclass
from typing import Optional, Tuple

from ._capture import default_executable
from ._helper import CHILD
from ._errors import CaptureError, failure_from_exit, start_failure

MAX_MEASURE_MS = 10000


@dataclass(frozen=True)
class AudioApplication:
    """One application with audio: `pid` to capture with, `pids` of its tree,
    `app_pid` its top process, `window` (for window=) or None, `active`
    whether it plays, `peak` its loudest sample (0..1) while measured."""
    pid: int
    pids: Tuple[int, ...]
    app_pid: int
    name: str
    exe: Optional[str]
    title: str
    window: Optional[int]
    active: bool
    peak: float


def list_audio_applications(measure_ms=100, *, executable=None, env=None, timeout=30.0):
    """The applications with audio output now, those playing first, then the
    loudest (peaks measured for `measure_ms`, 0 to 10000)."""
    if isinstance(measure_ms, bool) or not isinstance(measure_ms, int) or not 0 <= measure_ms <= MAX_MEASURE_MS:
        raise ValueError("measure_ms is an int from 0 to %d, got %r" % (MAX_MEASURE_MS, measure_ms))
    executable = executable or default_executable()
    args = ["--list", str(measure_ms)]
    try:
        done = subprocess.run([executable, *args], stdin=subprocess.DEVNULL, capture_output=True, env=env,
                              timeout=timeout, **CHILD)
    except OSError as error:
        raise start_failure(executable, error) from error
    except subprocess.TimeoutExpired as error:
        raise CaptureError("sondrel-process-loopback did not list within %g s" % timeout,
                           code="ERR_LIST_TIMEOUT") from error
    failure = failure_from_exit(done.returncode, done.stderr.decode("utf-8", "replace"), args, True, False)
    if failure is not None:
        raise failure
    try:
        return [_application(json.loads(line)) for line in done.stdout.decode("utf-8").splitlines() if line.strip()]
    except (ValueError, KeyError, TypeError) as error:
        raise CaptureError("sondrel-process-loopback wrote a list it does not document: %s" % error,
                           code="ERR_BAD_LIST") from error


def _application(o):
    return AudioApplication(pid=o["pid"], pids=tuple(o["pids"]), app_pid=o["appPid"], name=o["name"],
                            exe=o["exe"], title=o["title"], window=o["window"], active=o["active"],
                            peak=float(o["peak"]))
