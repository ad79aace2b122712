"""Starts sondrel-process-loopback as a child process and turns its byte
stream, notices, exit code and failure line into chunks and errors.

Threads: each capture has a stdout reader (`_Core._read_stdout`), a stderr
reader that then reaps the helper (`_Core._read_stderr`) and, once a stop is
asked, a kill timer (`_Core._kill`); they touch only the `_Core`, under its
condition. The consumer's thread (or asyncio loop) runs `Capture`'s methods.
"""
import asyncio
import atexit
import collections
import io
import os
import struct
import subprocess
import sys
import threading
import time
import weakref

from ._errors import (DROP_NOTICE, DROP_REASONS, KILL_AFTER_S, NOTICE_PREFIX, CaptureError,
                      failure_from_exit, start_failure)
from ._format import HELPER_RATE, Converter, Format, np

HEADER_BYTES = 16
FRAME_BYTES = 8
# The helper keeps 5 s for a reader that falls behind and drops the oldest
# beyond that; holding less here before pausing the pipe would make it drop
# audio it could have kept.
HIGH_WATER_BYTES = 5 * HELPER_RATE * FRAME_BYTES
STDERR_LIMIT = 64 * 1024
READY_TIMEOUT_S = 15.0  # the helper gives up on a set-up after 10 s itself
# Blocking waits wake this often, so that Ctrl+C reaches a waiting thread on Windows too.
WAKE_S = 0.25
_WAIT = object()
# Its own session (process group on Windows, without a console window): a
# Ctrl+C at the terminal reaches only the parent, whose clean-up then stops
# the helper in order instead of a signal cutting it off.
CHILD = dict(start_new_session=True) if os.name == "posix" else dict(creationflags=subprocess.CREATE_NO_WINDOW)

Drop = collections.namedtuple("Drop", "frames before_frame reason")
Drop.__doc__ = ("Audio the helper lost: `frames` (0: unknown) before its frame `before_frame` "
                "(48 kHz frames from the stream's start); `reason` 'reader behind' or 'system discontinuity'.")

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
                elif not line.startswith(NOTICE_PREFIX):
                    # Only the last line matters; a runaway helper must not grow memory.
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

    def _poll(self):
        """Queued frames, None at the end, or _WAIT; raises the failure."""
        if self.queue:
            data = b"".join(self.queue)
            self.queue.clear()
            self.queued = 0
            self.cond.notify_all()
            return data
        if self.failure is not None:
            raise self.failure
        return None if self.finished else _WAIT

    def _ready(self):
        if self.header_seen:
            return True
        if self.failure is not None:
            raise self.failure
        if self.finished:
            raise CaptureError("sondrel-process-loopback stopped before its stream header", code="ERR_NO_HEADER")
        return _WAIT

    # -- any thread --

    def terminate(self):
        """Nobody wants the rest: ask the helper to stop, drop what it still writes."""
        with self.cond:
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


class Capture:
    """A running capture: iterate it (`for` or `async for`) for chunks of
    `format`, or `read(frames)`; `stop()` ends it after the frames captured
    before the stop. Leaving its `with` block, leaving a loop over it early
    and its garbage collection end the helper."""

    def __init__(self, executable, args, format, env, cwd, ready_timeout):
        self.format = format
        self.ready_timeout = ready_timeout
        self._converter = Converter(format)
        self._pending = None
        self._core = core = _Core(executable, args, env, cwd)
        weakref.finalize(self, core.terminate)

    pid = property(lambda self: self._core.proc.pid, doc="The helper's process id.")
    dropped_frames = property(lambda self: self._core.dropped_frames,
                              doc="Frames (at 48 kHz) the helper reported lost, from its notices so far.")
    drops = property(lambda self: list(self._core.drops), doc="The helper's loss notices so far, as Drop tuples.")

    @property
    def exit_code(self):
        """The helper's exit code once it has exited (None while it runs or if a signal ended it)."""
        code = self._core.returncode
        return code if code is not None and code >= 0 else None

    def _ready_result(self, result, timeout):
        if result is _WAIT:
            error = CaptureError("sondrel-process-loopback wrote no stream header within %g s" % timeout,
                                 code="ERR_READY_TIMEOUT")
            with self._core.cond:
                self._core._fail(error)
                self._core._terminate()
            raise self._core.failure

    def ready(self, timeout=None):
        """Returns once the helper's stream header has come and been checked;
        raises its failure, or ERR_READY_TIMEOUT (and ends it) after `timeout` s."""
        timeout = self.ready_timeout if timeout is None else timeout
        self._ready_result(self._core.wait(self._core._ready, timeout), timeout)

    async def aready(self, timeout=None):
        timeout = self.ready_timeout if timeout is None else timeout
        try:
            result = await asyncio.wait_for(self._core.await_(self._core._ready), timeout)
        except asyncio.TimeoutError:
            result = _WAIT
        self._ready_result(result, timeout)

    def _stopped(self):
        failure = self._core.failure
        if failure is not None:
            raise failure

    def stop(self):
        """Asks the helper to stop and returns once it has exited (killed if
        still there after 5 s); the iteration then ends after the frames
        captured before the stop. Raises the helper's failure, if any."""
        self._core.request_stop()
        self._core.wait(lambda: None if self._core.finished else _WAIT)
        self._stopped()

    async def astop(self):
        self._core.request_stop()
        await self._core.await_(lambda: None if self._core.finished else _WAIT)
        self._stopped()

    def _convert(self, data):
        """The next chunk: what read() left, or `data` converted (_WAIT if that gave no frame)."""
        if self._pending is not None:
            chunk, self._pending = self._pending, None
            return chunk
        if data is None:
            return None
        chunk = self._converter.convert(data)
        return chunk if len(chunk) else _WAIT

    def _next(self):
        while True:
            chunk = self._convert(None if self._pending is not None else self._core.wait(self._core._poll))
            if chunk is not _WAIT:
                return chunk

    async def _anext(self):
        while True:
            chunk = self._convert(None if self._pending is not None else await self._core.await_(self._core._poll))
            if chunk is not _WAIT:
                return chunk

    def __iter__(self):
        done = False
        try:
            while True:
                chunk = self._next()
                if chunk is None:
                    done = True
                    return
                yield chunk
        finally:
            if not done:
                self._core.terminate()

    async def __aiter__(self):
        done = False
        try:
            while True:
                chunk = await self._anext()
                if chunk is None:
                    done = True
                    return
                yield chunk
        finally:
            if not done:
                self._core.terminate()

    def _take(self, chunks, frames):
        """`frames` frames from the chunks (fewer at the end); the rest is kept for later."""
        if not chunks:
            return self._converter.empty()
        if self._converter.numpy:
            joined = np.concatenate(chunks) if chunks else self._converter.empty()
            rest, joined = joined[frames:], joined[:frames]
        else:
            joined, cut = self._converter.empty(), frames * self.format.channels
            for chunk in chunks:
                joined.extend(chunk)
            rest, joined = joined[cut:], joined[:cut]
        self._pending = rest if len(rest) else None
        return joined

    def _frames(self, chunk):
        return len(chunk) if self._converter.numpy else len(chunk) // self.format.channels

    def read(self, frames):
        """The next `frames` frames, waiting for them; fewer only at the end of the stream."""
        chunks, have = [], 0
        while have < max(frames, 0):
            chunk = self._next()
            if chunk is None:
                break
            chunks.append(chunk)
            have += self._frames(chunk)
        return self._take(chunks, frames)

    async def aread(self, frames):
        chunks, have = [], 0
        while have < max(frames, 0):
            chunk = await self._anext()
            if chunk is None:
                break
            chunks.append(chunk)
            have += self._frames(chunk)
        return self._take(chunks, frames)

    def _close(self):
        self._core.terminate()

    def __enter__(self):
        try:
            self.ready()
        except BaseException:
            self._close()
            raise
        return self

    def __exit__(self, *exc):
        self._close()
        self._core.wait(lambda: None if self._core.finished else _WAIT)

    async def __aenter__(self):
        try:
            await self.aready()
        except BaseException:
            self._close()
            raise
        return self

    async def __aexit__(self, *exc):
        self._close()
        await self._core.await_(lambda: None if self._core.finished else _WAIT)


def _process_id(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s is an int, got %r" % (what, value))
    if not 1 <= value <= 0xFFFFFFFF:
        raise ValueError("%s is from 1 to 4294967295, got %d" % (what, value))
    return str(value)


def _window(value):
    # An int, or Electron-style desktopCapturer id "window:<id>:<n>".
    if isinstance(value, str):
        parts = value.split(":")
        if len(parts) != 3 or parts[0] != "window" or not (parts[1].isdigit() and parts[2].isdigit()):
            raise ValueError("window is a non-zero 64-bit handle or a 'window:<id>:0' id, got %r" % value)
        value = int(parts[1])
    elif isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("window is an int or a 'window:<id>:0' id, got %r" % (value,))
    if not 1 <= value < 1 << 64:
        raise ValueError("window is a non-zero 64-bit handle, got %d" % value)
    return "0x%x" % value


def default_executable():
    """The helper this installation carries for this platform."""
    import platform
    machine = platform.machine().lower()
    if sys.platform == "win32" and machine in ("amd64", "x86_64"):
        name = "sondrel-process-loopback.exe"
    elif sys.platform.startswith("linux") and machine in ("x86_64", "amd64"):
        name = "sondrel-process-loopback"
    else:
        raise CaptureError("sondrel-process-loopback has no helper for %s-%s (it ships helpers for Windows "
                           "and Linux on x86-64); pass executable= to use one built for this system"
                           % (sys.platform, machine), code="ERR_UNSUPPORTED_PLATFORM")
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", name)


def capture_process_audio(pid=None, *, exclude_pid=None, window=None, format=None, executable=None,
                          env=None, cwd=None, ready_timeout=READY_TIMEOUT_S):
    """Starts capturing the audio of process `pid` and its descendants, of
    everything but the tree of `exclude_pid`, or of the process tree owning
    `window`; returns a Capture. `format` (a Format) is what the chunks hold,
    by default the helper's float32 stereo 48 kHz; `executable` is the helper
    (by default the one this package carries); `env`, `cwd` are the helper's."""
    given = [(name, value) for name, value in (("pid", pid), ("exclude_pid", exclude_pid), ("window", window))
             if value is not None]
    if len(given) != 1:
        raise TypeError("give exactly one of pid=, exclude_pid= or window=")
    name, value = given[0]
    args = ["--window", _window(value)] if name == "window" else \
        ["--pid" if name == "pid" else "--exclude-pid", _process_id(value, name)]
    if format is None:
        format = Format()
    elif not isinstance(format, Format):
        raise TypeError("format is a Format, got %r" % (format,))
    return Capture(executable or default_executable(), args, format, env, cwd, ready_timeout)
