"""FFmpeg's log, under the host's control.

The package installs one callback into the libavutil that libkorvel uses.
Each message that passes the threshold (``set_log_level``) goes to the
``korvel`` logger of the ``logging`` module; nothing is printed on standard
error unless the application configures logging. Error lines are also kept
for the call running on the thread that logged them, so that a failed call
can say why it failed, and concurrent calls never see each other's lines.

The callback runs on whichever thread logs: the caller's, or a thread of the
codec's own (libx264). FFmpeg hands every message to the callback, trace
lines included (a remux logs about four per packet), and a ctypes callback
costs an interpreter-lock round each: 10 to 20 % of a remux. So on x86-64 the
level is tested before Python is entered, by a five-instruction filter placed
in front of the Python callback; elsewhere the Python callback tests it first
thing.
"""

from __future__ import annotations

import atexit
import ctypes
import os
import struct
from contextlib import contextmanager

from . import _native

TYPE_CHECKING = False
if TYPE_CHECKING:  # for the type checker only, like everywhere in the package
    import logging
    import re
    from threading import local as _local
    from typing import Dict, Iterator, List, Optional, Union
else:
    from _thread import _local  # what threading.local is, without importing threading

# The logging module and the regular expression are set up with the first
# message that passes the threshold: importing logging costs a cold process
# about as much as starting the interpreter, and most calls log nothing.
_logger: Optional[logging.Logger] = None
_address: Optional[re.Pattern[str]] = None


def _get_logger() -> logging.Logger:
    global _logger
    if _logger is None:
        import logging
        _logger = logging.getLogger("korvel")
        # Without a handler of its own, logging's last resort would print
        # warnings on standard error.
        _logger.addHandler(logging.NullHandler())
    return _logger

# FFmpeg's levels (libavutil/log.h).
QUIET, PANIC, FATAL, ERROR, WARNING, INFO, VERBOSE, DEBUG, TRACE = (
    -8, 0, 8, 16, 24, 32, 40, 48, 56)
LEVELS: Dict[str, int] = {
    "quiet": QUIET, "panic": PANIC, "fatal": FATAL, "error": ERROR, "warning": WARNING,
    "info": INFO, "verbose": VERBOSE, "debug": DEBUG, "trace": TRACE,
}


def python_level(level: int) -> int:
    """The logging level of an FFmpeg level (logging's CRITICAL, ERROR,
    WARNING, INFO and DEBUG are 50, 40, 30, 20 and 10)."""
    if level <= FATAL:
        return 50
    if level <= ERROR:
        return 40
    if level <= WARNING:
        return 30
    if level <= INFO:
        return 20
    return 10


_LINE_SIZE = 1024

# The format is taken as a plain address: a c_char_p would copy it into a
# bytes object on every message, wanted or not.
_callback_type = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p,
                                  ctypes.c_void_p)
# va_list is passed on as the pointer the callback received (x86-64 and
# AArch64 both hand a va_list to a function by address).
_format_line = _native.ffmpeg_function(
    "av_log_format_line2", ctypes.c_int,
    (ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p,
     ctypes.c_int, ctypes.POINTER(ctypes.c_int)))
_set_callback = _native.ffmpeg_function("av_log_set_callback", None, (ctypes.c_void_p,))
_set_level = _native.ffmpeg_function("av_log_set_level", None, (ctypes.c_int,))
_default_callback = _native.ffmpeg_function("av_log_default_callback", None,
                                            (ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p,
                                             ctypes.c_void_p))

LIBAVUTIL_PATH: str = _native.object_path(_set_callback)

_threshold = WARNING


class _ThreadState(_local):
    def __init__(self) -> None:
        self.lines: Optional[List[str]] = None  # set while a call runs on this thread
        self.partial = ""
        self.partial_level = QUIET
        self.print_prefix = ctypes.c_int(1)


_state = _ThreadState()


def _emit(level: int, line: str) -> None:
    global _address
    if _address is None:
        import re
        _address = re.compile(r"^\[([^\]@]+?) @ 0x[0-9a-fA-F]+\] ")
    line = _address.sub(r"\1: ", line)
    if level <= _threshold:
        pylevel = python_level(level)
        logger = _get_logger()
        if logger.isEnabledFor(pylevel):
            logger.log(pylevel, "%s", line, extra={"ffmpeg_level": level})
    lines = _state.lines
    if level <= ERROR and lines is not None and len(lines) < 32:
        lines.append(line)


def _on_message(avcl: Optional[int], level: int, fmt: Optional[int], vl: Optional[int]) -> None:
    if level > _threshold and (level > ERROR or _state.lines is None):
        return
    try:
        state = _state
        line = ctypes.create_string_buffer(_LINE_SIZE)
        _format_line(avcl, level, fmt, vl, line, _LINE_SIZE, ctypes.byref(state.print_prefix))
        text = state.partial + line.value.decode("utf-8", "replace")
        level = min(level, state.partial_level) if state.partial else level
        if not text.endswith("\n"):
            # FFmpeg builds some lines from several calls; wait for the end.
            state.partial, state.partial_level = text, level
            return
        state.partial = ""
        _emit(level, text.rstrip("\n"))
    except BaseException:  # nothing may escape into C
        pass


_callback = _callback_type(_on_message)

# The level above which the filter drops a message without entering Python:
# the threshold, but never below ERROR (errors make the failure reasons).
_c_threshold = ctypes.c_int(ERROR)


def _level_filter(target: int, threshold: ctypes.c_int) -> Optional[int]:
    """Machine code for: if (level > *threshold) return; else jump to target
    with the arguments untouched. The level is the second argument (esi in
    the x86-64 System V convention). Placed in a page that is written, then
    made read-and-execute only. None where this cannot be done."""
    if os.uname().machine != "x86_64":
        return None
    code = (b"\x48\xb8" + struct.pack("<Q", ctypes.addressof(threshold))  # mov rax, &threshold
            + b"\x3b\x30"                                                  # cmp esi, [rax]
            + b"\x7f\x0c"                                                  # jg  done
            + b"\x48\xb8" + struct.pack("<Q", target)                      # mov rax, target
            + b"\xff\xe0"                                                  # jmp rax
            + b"\xc3")                                                      # done: ret
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                          ctypes.c_int, ctypes.c_long)
    libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
    prot_read, prot_write, prot_exec = 1, 2, 4
    map_private, map_anonymous = 0x02, 0x20
    page = libc.mmap(None, 4096, prot_read | prot_write, map_private | map_anonymous, -1, 0)
    if page is None or page == ctypes.c_void_p(-1).value:
        return None
    ctypes.memmove(page, code, len(code))
    if libc.mprotect(page, 4096, prot_read | prot_exec) != 0:
        return None
    # The page is never unmapped: FFmpeg may call it until the process ends.
    return int(page)


_entry: int = (_level_filter(ctypes.cast(_callback, ctypes.c_void_p).value or 0, _c_threshold)
               or ctypes.cast(_callback, ctypes.c_void_p).value or 0)
FILTERED_IN_C: bool = _entry != ctypes.cast(_callback, ctypes.c_void_p).value


def set_log_level(level: Union[int, str]) -> None:
    """Sets which of FFmpeg's messages reach the ``korvel`` logger.

    ``level`` is one of "quiet", "panic", "fatal", "error", "warning" (the
    default), "info", "verbose", "debug", "trace", or FFmpeg's number for it
    (-8, 0, 8, 16, 24, 32, 40, 48, 56). The setting is process-wide. Whether a
    message is then shown is up to the ``logging`` configuration: the
    ``korvel`` logger has only a NullHandler of its own.
    """
    global _threshold
    if isinstance(level, str):
        try:
            number = LEVELS[level.lower()]
        except KeyError:
            from ._errors import KorvelArgumentError
            raise KorvelArgumentError(
                "set_log_level", f"unknown level {level!r} (one of {', '.join(LEVELS)})") from None
    else:
        number = int(level)
    _threshold = number
    # Errors are always wanted: they become the reasons of failed calls.
    _c_threshold.value = max(number, ERROR)
    _set_level(max(number, ERROR))


def get_log_level() -> int:
    """The current threshold as FFmpeg's number (see ``set_log_level``)."""
    return _threshold


@contextmanager
def captured() -> Iterator[List[str]]:
    """The error lines FFmpeg logs on this thread while the block runs."""
    outer = _state.lines
    lines: List[str] = []
    _state.lines = lines
    try:
        yield lines
    finally:
        _state.lines = outer


def _uninstall() -> None:
    # After the interpreter is gone no Python callback may run: codec threads
    # of a C caller could still log.
    _set_level(QUIET)
    _set_callback(ctypes.cast(_default_callback, ctypes.c_void_p))


_installed = False


def install() -> None:
    global _installed
    set_log_level(_threshold)
    _set_callback(_entry)
    if not _installed:
        atexit.register(_uninstall)
        _installed = True
