"""Capture the audio of one process tree (or of all but one) on Windows and
Linux, through the native sondrel-process-loopback helper this package carries.

    from sondrel_process_loopback import capture_process_audio
    with capture_process_audio(pid=1234) as capture:
        for chunk in capture:   # float32 (frames, 2) at 48 kHz with numpy, else array('f')
            ...
"""
from ._capture import Capture, capture_process_audio, default_executable
from ._errors import CaptureError
from ._format import Format, to_int16
from ._helper import Drop
from ._listing import AudioApplication, list_audio_applications
from ._wav import write_wav

__version__ = "1.0.0"
__all__ = ["AudioApplication", "Capture", "CaptureError", "Drop", "Format", "capture_process_audio",
           "default_executable", "list_audio_applications", "to_int16", "write_wav"]
