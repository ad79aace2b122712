"""The capture a caller holds: chunks of its format, stop, clean-up, and the
call that starts one. Runs on the consumer's thread or asyncio loop; the
helper's own threads are in _helper."""
import asyncio
import os
import re
import sys
import weakref

from ._errors import CaptureError
from ._format import Converter, Format, np
from ._helper import _WAIT, _Core

READY_TIMEOUT_S = 15.0  # the helper gives up on a set-up after 10 s itself


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
            self._core.terminate(error)
            raise self._core.failure

    def ready(self, timeout=None):
        """Returns once the helper's stream header has come and been checked;
        raises its failure, or ERR_READY_TIMEOUT (and ends it) after `timeout` s."""
        timeout = self.ready_timeout if timeout is None else timeout
        self._ready_result(self._core.wait(self._core.header, timeout), timeout)

    async def aready(self, timeout=None):
        timeout = self.ready_timeout if timeout is None else timeout
        try:
            result = await asyncio.wait_for(self._core.await_(self._core.header), timeout)
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
            chunk = self._convert(None if self._pending is not None else self._core.wait(self._core.poll))
            if chunk is not _WAIT:
                return chunk

    async def _anext(self):
        while True:
            chunk = self._convert(None if self._pending is not None else await self._core.await_(self._core.poll))
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
        """The next `frames` frames, waiting for them; fewer only at the end of the stream or before a failure."""
        chunks, have = [], 0
        while have < max(frames, 0):
            try:
                chunk = self._next()
            except CaptureError:
                if not chunks:
                    raise
                break  # the frames before the failure first; the next read raises it
            if chunk is None:
                break
            chunks.append(chunk)
            have += self._frames(chunk)
        return self._take(chunks, frames)

    async def aread(self, frames):
        chunks, have = [], 0
        while have < max(frames, 0):
            try:
                chunk = await self._anext()
            except CaptureError:
                if not chunks:
                    raise
                break  # the frames before the failure first; the next read raises it
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
    # An int, a number in text ("123456", "0x1e240") or Electron's desktopCapturer
    # id ("window:<id>:<n>"), exactly: the helper reads values leniently, so
    # "window:5:0junk" must not reach it as window 5.
    if isinstance(value, str):
        source = re.fullmatch(r"window:(\d{1,20}):\d{1,10}", value)
        number = source.group(1) if source else value if re.fullmatch(r"\d{1,20}|0[xX][0-9a-fA-F]{1,16}", value) else None
        if number is None:
            raise ValueError("window is a non-zero 64-bit handle, a number in text or a 'window:<id>:<n>' id, got %r" % value)
        value = int(number, 0 if number[:2].lower() == "0x" else 10)
    elif isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("window is an int, a number in text or a 'window:<id>:<n>' id, got %r" % (value,))
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
