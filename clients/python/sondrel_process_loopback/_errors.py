"""CaptureError and the reading of the helper's exit: code, signal, standard error."""
import os
import re
import signal as _signal

# A helper asked to stop drains and exits in milliseconds; this long means it hangs.
KILL_AFTER_S = 5.0
FAILURE_LINE = re.compile(r"^(.*) \(0x([0-9A-Fa-f]{8})\)(?:: (.*))?$")
NOTICE_PREFIX = "Aviso: "
DROP_NOTICE = re.compile(r"^Aviso: áudio perdido: (\d+) quadros antes do quadro (\d+) "
                         r"\((leitor atrasado|descontinuidade do sistema)\)\r?$")
DROP_REASONS = {"leitor atrasado": "reader-behind", "descontinuidade do sistema": "discontinuity"}

_NO_LOOPBACK = ("This system has no process-loopback audio capture: it needs Windows 10 "
                "version 2004 (build 19041) or later, and Wine has none.")
# The codes a helper reports that users meet, by name and in plain English.
CODES = {
    0x80070057: ("E_INVALIDARG", "The target was refused: no running process has this process id, "
                 "or the system rejected an argument."),
    0x800705B4: ("ERROR_TIMEOUT", "The audio system did not complete the capture set-up within 10 seconds."),
    0x88890004: ("AUDCLNT_E_DEVICE_INVALIDATED", "The audio device or the audio service went away during the capture."),
    0x88890010: ("AUDCLNT_E_SERVICE_NOT_RUNNING", "The audio service is not running "
                 "(on Linux: no PipeWire daemon could be reached)."),
    0x80070002: ("ERROR_FILE_NOT_FOUND", _NO_LOOPBACK),
    0x80004002: ("E_NOINTERFACE", _NO_LOOPBACK),
    0x8000000E: ("E_ILLEGAL_METHOD_CALL", _NO_LOOPBACK),
    0x80070070: ("ERROR_DISK_FULL", "The helper's output could not be written: the disk is full."),
    0x8007006D: ("ERROR_BROKEN_PIPE", "The helper's standard output was closed before the stream header."),
    0x800700E8: ("ERROR_NO_DATA", "The helper's standard output is being closed."),
    0x80070006: ("E_HANDLE", "A standard stream of the helper is missing or invalid."),
    0x8007000E: ("E_OUTOFMEMORY", "The helper ran out of memory."),
    0x80070008: ("ERROR_NOT_ENOUGH_MEMORY", "The helper could not start a thread: not enough memory."),
    0x80070005: ("E_ACCESSDENIED", "The system denied access to the audio capture."),
    0x8007001F: ("ERROR_GEN_FAILURE", "The system failed in a way it did not map to a known code."),
    0x88890008: ("AUDCLNT_E_UNSUPPORTED_FORMAT", "The audio system refused the capture format."),
    0x88890001: ("AUDCLNT_E_NOT_INITIALIZED", "The audio client was used before it was set up."),
    0x80010106: ("RPC_E_CHANGED_MODE", "The helper could not enter the COM apartment it needs."),
    0x80004001: ("E_NOTIMPL", "The audio system does not implement an operation the capture needs."),
    0x80004005: ("E_FAIL", "The capture failed for a reason the system did not name."),
    0x8000FFFF: ("E_UNEXPECTED", "The audio system failed unexpectedly."),
}


class CaptureError(Exception):
    """A capture or listing that failed: `code` names the failure (the helper's
    code by name, e.g. E_INVALIDARG, or the client's own ERR_* / ENOENT),
    `description` says it in English, `hresult` is the helper's code as a
    number, `line` its raw failure line, `exit_code` its exit code."""

    def __init__(self, message, *, code=None, description=None, hresult=None, system_text=None,
                 line=None, exit_code=None, signal=None):
        super().__init__(message)
        self.message = message
        self.code = code
        self.description = description or message
        self.hresult = hresult
        self.system_text = system_text
        self.line = line
        self.exit_code = exit_code
        self.signal = signal


def start_failure(executable, error):
    code = {2: "ENOENT", 13: "EACCES"}.get(error.errno, "ERR_START")
    hint = "" if os.path.exists(executable) else (
        " (there is no file there: pass executable= with the helper's path, or install a wheel for "
        "this platform, which carries one)")
    return CaptureError("%s could not be started: %s%s" % (executable, error.strerror or error, hint), code=code)


def signal_name(number):
    try:
        return _signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def failure_from_exit(returncode, stderr, args, header_seen, killed):
    """The CaptureError for a helper that exited so, or None for a clean end."""
    if killed:
        return CaptureError("sondrel-process-loopback did not exit within %g s of being asked to stop "
                            "and was killed" % KILL_AFTER_S, code="ERR_STOP_TIMEOUT", signal="SIGKILL")
    if returncode < 0:
        name = signal_name(-returncode)
        return CaptureError("sondrel-process-loopback was ended by %s" % name, code="ERR_SIGNAL", signal=name)
    if returncode == 2:
        return CaptureError("sondrel-process-loopback rejected %s: it names nothing it can capture"
                            % " ".join(args), code="ERR_USAGE", exit_code=2, line=stderr.strip() or None)
    if returncode == 0:
        return None if header_seen else CaptureError(
            "sondrel-process-loopback ended without a stream header", code="ERR_NO_HEADER", exit_code=0)
    # Notices and anything printed before the failure (a runtime's warning) are not the failure.
    lines = [l.rstrip("\r") for l in stderr.split("\n")]
    lines = [l for l in lines if l and not l.startswith(NOTICE_PREFIX)]
    line = lines[-1] if lines else None
    parsed = FAILURE_LINE.match(line) if line is not None else None
    if parsed is None:
        return CaptureError("sondrel-process-loopback exited with %d%s" % (returncode, ": " + line if line else ""),
                            code="ERR_EXIT", exit_code=returncode, line=line)
    hresult, text = int(parsed.group(2), 16), parsed.group(3)
    name, description = CODES.get(hresult, (None, "The capture failed with 0x%08X%s"
                                            % (hresult, ": " + text if text else "")))
    return CaptureError("sondrel-process-loopback failed with 0x%08X%s: %s"
                        % (hresult, " (%s)" % name if name else "", description),
                        code=name, description=description, hresult=hresult, system_text=text,
                        line=line, exit_code=returncode)
