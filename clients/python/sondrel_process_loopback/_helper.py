"""The helper as a child process: its byte stream, notices, exit code and
failure line, read into a queue of whole frames and a failure.

Threads: each helper has a stdout reader (`_Core._read_stdout`), a stderr
reader that then reaps it (`_Core._read_stderr`) and, once a stop is asked, a
kill timer (`_Core._kill`); they touch only the `_Core`, under its condition.
The consumer's thread or asyncio loop calls the methods without an underscore.
"""
import asyncio
import atexit
import collections
import io
import os
import struct
import subprocess
import threading
import time

from ._errors import DROP_NOTICE, DROP_REASONS, KILL_AFTER_S, CaptureError, failure_from_exit, start_failure
from ._format import HELPER_RATE

HEADER_BYTES = 16
FRAME_BYTES = 8
# The helper keeps 5 s for a reader that falls behind and drops the oldest
# beyond that; holding less here before pausing the pipe would make it drop
# audio it could have kept.
HIGH_WATER_BYTES = 5 * HELPER_RATE * FRAME_BYTES
STDERR_LIMIT = 64 * 1024
# Blocking waits wake this often, so that Ctrl+C reaches a waiting thread on Windows too.
WAKE_S = 0.25
_WAIT = object()
# Its own session (process group on Windows, without a console window): a
# Ctrl+C at the terminal reaches only the parent, whose clean-up then stops
# the helper in order instead of a signal cutting it off.
CHILD = dict(start_new_session=True) if os.name == "posix" else dict(creationflags=subprocess.CREATE_NO_WINDOW)

Drop = collections.namedtuple("Drop", "frames position reason")
Drop.__doc__ = ("A gap the helper reported: `frames` lost (48 kHz; 0 when the system did not say how many) "
                "before its frame `position` (48 kHz frames from the stream's start); `reason` 'reader-behind' "
                "(the reader did not take the audio in time) or 'discontinuity' (the system lost it).")

_running = set()


@atexit.register
def _kill_all():
    # A closed stdin stops a helper too, but not one whose set-up is under way.
    for core in list(_running):
        core.kill()


def _header_problem(h):
    magic, version, rate, channels, bits = struct.unpack("<4sIIHH", h)
    if magic != b"SDRA":
        return "it is not a sondrel-process-loopback stream"
    if version != 1:
        return "stream version %d is not 1" % version
    if (rate, channels, bits) != (HELPER_RATE, 2, 32):
        return "format %d Hz, %d channels, %d bits is not 48000 Hz, 2 channels, 32 bits" % (rate, channels, bits)
    return None


class _Core:
    """Everything the helper's threads touch, never the Capture, so that a
    capture nobody holds can be collected while its helper still runs."""

    def __init__(self, executable, args, env, cwd):
        self.args = args
        self.cond = threading.Condition()
        self.queue, self.queued = collections.deque(), 0
        self.header_seen = self.stdout_done = self.exited = self.finished = False
        self.stopping = self.discarding = self.killed = False
        self.failure = self.returncode = self.kill_timer = None
        self.stderr = bytearray()
        self.drops, self.dropped_frames = [], 0
        self.wakers = []
        try:
            self.proc = subprocess.Popen([executable, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, bufsize=0, env=env, cwd=cwd, **CHILD)
        except OSError as error:
            raise start_failure(executable, error) from error
        _running.add(self)
        for target in (self._read_stdout, self._read_stderr):
            threading.Thread(target=target, daemon=True, name="sondrel-" + target.__name__).start()

    # -- helper threads --

    def _read_stdout(self):
        header, partial = b"", b""
        try:
            while True:
                data = self.proc.stdout.read(65536)
                if not data:
                    return
                with self.cond:
                    if self.discarding:
                        continue
                    if not self.header_seen:
                        header += data
                        if len(header) < HEADER_BYTES:
                            continue
                        data, problem = header[HEADER_BYTES:], _header_problem(header[:HEADER_BYTES])
                        if problem:
                            self._fail(CaptureError("sondrel-process-loopback wrote a wrong stream header: "
                                                    + problem, code="ERR_BAD_HEADER"))
                            self._terminate()
                            continue
                        self.header_seen = True
                        self._notify()
                    data = partial + data
                    whole = len(data) - len(data) % FRAME_BYTES
                    partial = data[whole:]
                    if whole:
                        self.queue.append(data[:whole])
                        self.queued += whole
                        self._notify()
                    # Held here, the pipe fills and the helper keeps the rest in its own ring.
                    while self.queued >= HIGH_WATER_BYTES and not self.stopping:
                        self.cond.wait()
        finally:
            with self.cond:
                self.stdout_done = True
                self._finish()

    def _read_stderr(self):
        for raw in io.BufferedReader(self.proc.stderr):
            line = raw.decode("utf-8", "replace")
            drop = DROP_NOTICE.match(line.rstrip("\n"))
            with self.cond:
                if drop:
                    self.drops.append(Drop(int(drop.group(1)), int(drop.group(2)), DROP_REASONS[drop.group(3)]))
                    self.dropped_frames += int(drop.group(1))
                # Only the last lines matter; a runaway helper must not grow memory.
                self.stderr += raw
                del self.stderr[:max(0, len(self.stderr) - STDERR_LIMIT)]
        returncode = self.proc.wait()
        with self.cond:
            self.returncode, self.exited = returncode, True
            if self.kill_timer:
                self.kill_timer.cancel()
            self._finish()

    def _kill(self):
        with self.cond:
            if self.exited:
                return
            self.killed = True
            self.proc.kill()

    # -- under self.cond --

    def _notify(self):
        self.cond.notify_all()
        wakers, self.wakers = self.wakers, []
        for wake in wakers:
            wake()

    def _fail(self, error):
        if self.failure is None:
            self.failure = error
        self._notify()

    def _finish(self):
        if not (self.exited and self.stdout_done) or self.finished:
            return
        self.finished = True
        _running.discard(self)
        if self.failure is None and (self.killed or not self.discarding):
            self.failure = failure_from_exit(self.returncode, self.stderr.decode("utf-8", "replace"),
                                             self.args, self.header_seen, self.killed)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()
        self._notify()

    def _terminate(self):
        self._request_stop()
        self.discarding = True
        self.queue.clear()
        self.queued = 0
        self._notify()

    def _request_stop(self):
        if self.finished or self.stopping:
            return
        self.stopping = True
        try:
            self.proc.stdin.write(b"q")
            self.proc.stdin.close()
        except OSError:
            pass  # the helper is gone already
        self.kill_timer = threading.Timer(KILL_AFTER_S, self._kill)
        self.kill_timer.daemon = True
        self.kill_timer.start()
        self._notify()

    def poll(self):
        """Queued frames, None at the end, or _WAIT; raises the failure. Under self.cond."""
        if self.queue:
            data = b"".join(self.queue)
            self.queue.clear()
            self.queued = 0
            self.cond.notify_all()
            return data
        if self.failure is not None:
            raise self.failure
        return None if self.finished else _WAIT

    def header(self):
        """True once the header is in, or _WAIT; raises the failure. Under self.cond."""
        if self.header_seen:
            return True
        if self.failure is not None:
            raise self.failure
        if self.finished:
            raise CaptureError("sondrel-process-loopback stopped before its stream header", code="ERR_NO_HEADER")
        return _WAIT

    # -- any thread (wait and await_ take poll, header or a check of their own) --

    def terminate(self, failure=None):
        """Nobody wants the rest: ask the helper to stop, drop what it still writes."""
        with self.cond:
            if failure is not None:
                self._fail(failure)
            self._terminate()

    def request_stop(self):
        with self.cond:
            self._request_stop()

    def kill(self):
        with self.cond:
            self.killed = self.killed or not self.exited
        if not self.exited:
            self.proc.kill()

    def wait(self, check, timeout=None):
        deadline = None if timeout is None else time.monotonic() + timeout
        with self.cond:
            while True:
                result = check()
                if result is not _WAIT:
                    return result
                left = WAKE_S if deadline is None else min(WAKE_S, deadline - time.monotonic())
                if left <= 0:
                    return _WAIT
                self.cond.wait(left)

    @staticmethod
    def _call_soon(loop, function, *args):
        try:
            loop.call_soon_threadsafe(function, *args)
        except RuntimeError:
            pass  # that loop is closed; nobody waits there any more

    async def await_(self, check):
        loop = asyncio.get_running_loop()

        def resolve(future):
            if not future.done():
                future.set_result(None)

        while True:
            future = loop.create_future()
            with self.cond:
                result = check()
                if result is not _WAIT:
                    return result
                self.wakers.append(lambda: self._call_soon(loop, resolve, future))
            await future
