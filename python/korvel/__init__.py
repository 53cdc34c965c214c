"""korvel: media-file operations over bytes in memory.

Each function takes a whole media file and returns the new file as bytes.
The input may be any bytes-like object (bytes, bytearray, memoryview, mmap,
array, ...: handed to the C library without a copy), a file name (str or
os.PathLike: the file is mapped, not copied) or a binary file object (read
once). Nothing is written to disk. The library runs without the interpreter
lock, so calls from several threads run in parallel.

Times are seconds. A call that produces nothing raises a subclass of
:class:`KorvelError` that says why: :class:`KorvelArgumentError` (also a
:class:`ValueError`) for a refused argument, :class:`KorvelInputError` for an
input that is not readable media, :class:`KorvelMissingStreamError` for an
input without the video or audio stream the operation needs, and
:class:`KorvelEncodingError` when an encoder or the muxer failed. Each carries
``operation``, ``reason`` and FFmpeg's own error lines from that call
(``lines``).

With ``copy=False`` a producing function returns, instead of bytes, a
``memoryview`` over the library's own result block, with no copy made; the
block is freed once the last view of it is released or collected (see
``korvel._result``).

FFmpeg's messages go to the ``korvel`` logger of the :mod:`logging` module
and are shown only when the application configures logging;
:func:`set_log_level` sets FFmpeg's threshold ("warning" by default).
"""

from __future__ import annotations

import ctypes
import importlib
import math
import operator
import os
from contextlib import ExitStack

from . import _errors, _log, _native
from ._errors import (KorvelArgumentError, KorvelEncodingError, KorvelError, KorvelInputError,
                      KorvelMissingStreamError)
from ._log import get_log_level, set_log_level

# typing is for the type checker only: importing it, and building the
# TypedDict, would cost a cold process more than the package's own start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:  # the names, for run-time use too, are in korvel._hints
    from typing import Any, Callable, Dict, List, Optional, Sequence

    from ._hints import Media, Output
    from ._types import MediaInfo
else:
    def __getattr__(name: str) -> object:
        # korvel.MediaInfo, the info report's TypedDict, made when first asked for.
        if name == "MediaInfo":
            from ._types import MediaInfo
            globals()["MediaInfo"] = MediaInfo
            return MediaInfo
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

def _package_version() -> str:
    try:  # written into installed packages from the one version number
        return str(importlib.import_module("._version", __name__).__version__)
    except ImportError:  # a source checkout: read it where it is declared
        return _native.checkout_version()


__version__: str = _package_version()

__all__ = [
    "KorvelError", "KorvelArgumentError", "KorvelInputError", "KorvelMissingStreamError",
    "KorvelEncodingError", "MediaInfo", "info", "convert", "trim", "mute",
    "strip_metadata", "set_metadata", "change_speed", "merge", "extract_audio",
    "adjust_volume", "reencode", "rotate", "reverse", "to_gif", "extract_frame",
    "set_log_level", "get_log_level", "AUDIO_FORMATS", "IMAGE_FORMATS", "PRESETS",
    "SPEED_FACTOR_RANGE", "__version__",
]

AUDIO_FORMATS = ("mp3", "aac", "ogg", "wav")
IMAGE_FORMATS = ("jpeg", "jpg", "png")
PRESETS = ("ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower",
           "veryslow", "placebo")
# The library refuses other speed factors: beyond them timestamps overflow
# the 64-bit range or collapse to zero.
SPEED_FACTOR_RANGE = (0.001, 1000.0)

_INT32_MIN, _INT32_MAX = -(2 ** 31), 2 ** 31 - 1

_log.install()

_guess_format = _native.ffmpeg_function("av_guess_format", ctypes.c_void_p,
                                        (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p))


# ---- argument checks: all run before the input is opened ----------------------

def _int32(operation: str, name: str, value: int, low: int = _INT32_MIN,
           accepted: str = "a 32-bit integer") -> int:
    # ctypes would silently wrap an integer outside the C type's range.
    number = operator.index(value)
    if not max(low, _INT32_MIN) <= number <= _INT32_MAX:
        raise KorvelArgumentError(operation, f"{name}={number} refused; accepted: {accepted}")
    return number


def _size(operation: str, name: str, value: int) -> int:
    number = _int32(operation, name, value, 0, "0 or a whole number of at least 2")
    if number == 1:
        raise KorvelArgumentError(operation, f"{name}=1 refused; accepted: 0 or at least 2")
    return number


def _number(operation: str, name: str, value: Optional[float]) -> float:
    number = 0.0 if value is None else float(value)
    if not math.isfinite(number):
        raise KorvelArgumentError(operation, f"{name}={number!r} refused; accepted: a finite "
                                             "number")
    return number


def _text(operation: str, name: str, value: Optional[str]) -> Optional[bytes]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{operation}: {name} must be a str, not {type(value).__name__}")
    encoded = value.encode("utf-8")
    if b"\0" in encoded:
        raise KorvelArgumentError(operation, f"{name} contains a NUL character")
    return encoded


def _choice(operation: str, name: str, value: Optional[str], choices: Sequence[str]) -> None:
    if value is not None and value not in choices:
        raise KorvelArgumentError(
            operation, f"{name}={value!r} refused; accepted: {', '.join(choices)}")


# ---- calls ---------------------------------------------------------------------

def _parse_report(text: str) -> Dict[str, Any]:
    """The info report: one flat JSON object of numbers, true/false and
    codec names, as the library writes it. Read here without the json
    module, whose import (re, enum) costs a cold process as much as starting
    the interpreter; anything of another shape goes to json after all."""
    body = text.strip()
    if body.startswith("{") and body.endswith("}") and "\\" not in body:
        parsed: Dict[str, Any] = {}
        for field in body[1:-1].split(","):
            key, colon, value = field.partition(":")
            if not (colon and len(key) >= 2 and key[0] == key[-1] == '"'):
                break
            if value in ("true", "false"):
                parsed[key[1:-1]] = value == "true"
            elif len(value) >= 2 and value[0] == value[-1] == '"' and '"' not in value[1:-1]:
                parsed[key[1:-1]] = value[1:-1]
            else:
                digits = value[1:] if value.startswith("-") else value
                if not digits.isascii():
                    break
                if digits.isdigit():
                    parsed[key[1:-1]] = int(value)
                elif digits.replace(".", "", 1).isdigit():
                    parsed[key[1:-1]] = float(value)
                else:
                    break
        else:
            return parsed
    import json
    result: Dict[str, Any] = json.loads(text)
    return result


def _report(fn: Any, view: _native.View) -> Optional[Dict[str, Any]]:
    block = fn(view[0], view[1])
    if not block:
        return None
    return _parse_report(_native.take_text(block))


def _run(operation: str, inputs: Sequence[Media], needs: str,
         call: Callable[[Any, List[_native.View], Any], Any], copy: bool = True) -> Output:
    """Opens the inputs, runs ``call(fn, views, out_size)`` and takes the
    result block; a null result raises the exception that says why."""
    fn = _native.function(operation)
    size = _native.out_size()
    with ExitStack() as stack:
        views = [stack.enter_context(_native.opened(item)) for item in inputs]
        with _log.captured() as lines:
            block = call(fn, views, ctypes.byref(size))
        if not block:
            info_fn = _native.function("get_video_info")
            with _log.captured():  # the look is not part of the reason
                reports = [_report(info_fn, view) for view in views]
            raise _errors.classify(operation, lines, reports, needs)
    if not copy:
        from . import _result  # imported on first use: weakref costs start-up
        return _result.adopt(block, size.value)
    return _native.take_block(block, size.value)


def _produce(operation: str, data: Media, needs: str, call: Callable[..., Any],
             copy: bool = True) -> Output:
    """`_run` for one input: ``call(fn, pointer, length, out_size)``."""
    return _run(operation, [data], needs,
                lambda fn, views, out: call(fn, views[0][0], views[0][1], out), copy)


# ---- the operations ---------------------------------------------------------------

def info(data: Media) -> MediaInfo:
    """Describes a media file (C: ``get_video_info``).

    Always: ``duration`` (seconds, float), ``bitrate`` (bits per second, int;
    0 when unknown), ``num_streams`` (int), ``has_video``, ``has_audio``
    (bool). With a video stream also ``width``, ``height`` (pixels, int; 0
    when unknown), ``video_codec`` (str), ``fps`` (float); with an audio
    stream ``audio_codec`` (str), ``sample_rate`` (Hz, int), ``channels``
    (int). The first stream of each type is described.
    """
    operation = "get_video_info"
    fn = _native.function(operation)
    with _native.opened(data) as view:
        with _log.captured() as lines:
            block = fn(view[0], view[1])
    if not block:
        raise KorvelInputError(operation, "not a media file korvel can read" +
                               (f": {'; '.join(dict.fromkeys(lines))}" if lines else ""), lines)
    return _types_info(_parse_report(_native.take_text(block)))


def _types_info(raw: Dict[str, Any]) -> MediaInfo:
    result: MediaInfo = {
        "duration": float(raw["duration"]), "bitrate": int(raw["bitrate"]),
        "num_streams": int(raw["num_streams"]), "has_video": bool(raw["has_video"]),
        "has_audio": bool(raw["has_audio"]),
    }
    if "width" in raw:
        result["width"] = int(raw["width"])
        result["height"] = int(raw["height"])
        result["video_codec"] = str(raw["video_codec"])
        result["fps"] = float(raw["fps"])
    if "audio_codec" in raw:
        result["audio_codec"] = str(raw["audio_codec"])
        result["sample_rate"] = int(raw["sample_rate"])
        result["channels"] = int(raw["channels"])
    return result


def convert(data: Media, format: Optional[str] = None, *, copy: bool = True) -> Output:
    """Copies the streams into another container (C: ``convert_format``).

    ``format`` is an FFmpeg muxer short name such as ``"matroska"``, ``"mp4"``
    or ``"mpegts"``; ``None`` (the default) or ``""`` keeps the input's own
    container. No stream is re-encoded. A name FFmpeg does not know raises
    :class:`KorvelArgumentError`.
    """
    op = "convert_format"
    fmt = _text(op, "format", format)
    if fmt and not _guess_format(fmt, None, None):
        raise KorvelArgumentError(op, f"format={format!r} refused; accepted: an FFmpeg muxer "
                                      "name such as matroska, mp4, mov, mpegts")
    return _produce(op, data, _errors.MEDIA, lambda fn, p, n, out: fn(p, n, fmt, out), copy=copy)


def trim(data: Media, *, start: Optional[float] = None,
         end: Optional[float] = None, copy: bool = True) -> Output:
    """Keeps the packets between ``start`` and ``end`` seconds (C:
    ``trim_video``), moved back to begin at 0 when a start is given.

    A time of ``None`` (the default) or 0 or less is no bound. Stream copy:
    the cut falls on packet boundaries, not on key frames.
    """
    op = "trim_video"
    t0, t1 = _number(op, "start", start), _number(op, "end", end)
    return _produce(op, data, _errors.MEDIA, lambda fn, p, n, out: fn(p, n, out, t0, t1),
                    copy=copy)


def mute(data: Media, *, copy: bool = True) -> Output:
    """Drops every audio stream, copying the rest (C: ``mute_video``)."""
    return _produce("mute_video", data, _errors.VIDEO, lambda fn, p, n, out: fn(p, n, out),
                    copy=copy)


def strip_metadata(data: Media, *, copy: bool = True) -> Output:
    """MP4 copy of the video and audio streams without the container
    metadata (C: ``strip_metadata``)."""
    return _produce("strip_metadata", data, _errors.VIDEO_OR_AUDIO,
                    lambda fn, p, n, out: fn(p, n, out), copy=copy)


def set_metadata(data: Media, key: str, value: str, *, copy: bool = True) -> Output:
    """MP4 copy with the container metadata kept and ``key`` set to ``value``
    (C: ``set_metadata``); an existing key is matched case-insensitively."""
    op = "set_metadata"
    if key is None or value is None:
        raise TypeError("set_metadata: key and value must be texts")
    k = _text(op, "key", key)
    v = _text(op, "value", value)
    return _produce(op, data, _errors.VIDEO_OR_AUDIO,
                    lambda fn, p, n, out: fn(p, n, k, v, out), copy=copy)


def change_speed(data: Media, factor: float, *, copy: bool = True) -> Output:
    """MP4 copy whose timestamps are divided by ``factor`` (C:
    ``change_speed``): 2.0 plays twice as fast, 0.5 half as fast.

    ``factor`` must lie in ``SPEED_FACTOR_RANGE`` (0.001 to 1000). The
    compressed data is not touched, so audio keeps its pitch and rate per
    packet.
    """
    op = "change_speed"
    f = float(factor)
    low, high = SPEED_FACTOR_RANGE
    if not low <= f <= high:
        raise KorvelArgumentError(op, f"factor={f!r} refused; accepted: a number from "
                                      f"{low:g} to {high:g}")
    return _produce(op, data, _errors.VIDEO_OR_AUDIO, lambda fn, p, n, out: fn(p, n, out, f),
                    copy=copy)


def merge(first: Media, second: Media, *, copy: bool = True) -> Output:
    """MP4 with the second file's video and audio appended to the first's
    (C: ``merge_videos``). Stream copy: the output takes the first file's
    codec parameters, so both should be coded alike."""
    return _run("merge_videos", [first, second], _errors.VIDEO_OR_AUDIO,
                lambda fn, v, out: fn(v[0][0], v[0][1], v[1][0], v[1][1], out), copy=copy)


def extract_audio(data: Media, format: str = "mp3", *, copy: bool = True) -> Output:
    """The first audio stream as a 44100 Hz stereo audio file (C:
    ``extract_audio``).

    ``format`` is one of ``"mp3"`` (the default; LAME, 128 kb/s), ``"aac"``
    (ADTS, 128 kb/s), ``"ogg"`` (Vorbis, 128 kb/s) or ``"wav"`` (16-bit PCM),
    lower case.
    """
    op = "extract_audio"
    if format is None:
        raise TypeError("extract_audio: format must be a text")
    _choice(op, "format", format, AUDIO_FORMATS)
    fmt = _text(op, "format", format)
    return _produce(op, data, _errors.AUDIO, lambda fn, p, n, out: fn(p, n, fmt, out), copy=copy)


def adjust_volume(data: Media, factor: float, *, copy: bool = True) -> Output:
    """MP4 with the first audio stream re-encoded to AAC (128 kb/s) at
    ``factor`` times its level, clipped at full scale (C: ``adjust_volume``);
    the first video stream is copied. 1.0 keeps the level; 0 or a negative
    factor gives silence."""
    op = "adjust_volume"
    f = _number(op, "factor", factor)
    return _produce(op, data, _errors.AUDIO, lambda fn, p, n, out: fn(p, n, out, f), copy=copy)


def reencode(data: Media, *, crf: int = 23, preset: Optional[str] = None,
             width: int = 0, height: int = 0, copy: bool = True) -> Output:
    """H.264 MP4 of the first video stream, first audio stream copied (C:
    ``reencode_video``).

    ``crf`` is the quality, 0 to 51 (default 23; lower is better); ``preset``
    one of ``PRESETS``, ``None`` for ``"medium"``; ``width`` and ``height``
    are pixels (default 0: the source's size; given only one, the other
    follows the source's aspect ratio), rounded down to even numbers.
    """
    op = "reencode_video"
    c = _int32(op, "crf", crf, 0, "a whole number from 0 to 51")
    if c > 51:
        raise KorvelArgumentError(op, f"crf={c} refused; accepted: a whole number from 0 to 51")
    w = _size(op, "width", width)
    h = _size(op, "height", height)
    _choice(op, "preset", preset, PRESETS)
    pre = _text(op, "preset", preset)
    return _produce(op, data, _errors.VIDEO,
                    lambda fn, p, n, out: fn(p, n, c, pre, w, h, out), copy=copy)


def rotate(data: Media, degrees: int, *, copy: bool = True) -> Output:
    """H.264 MP4 (crf 18, preset medium) turned clockwise by ``degrees`` (C:
    ``rotate_video``): 90, 180 or 270, or an equivalent such as -90 or 450;
    first audio stream copied."""
    op = "rotate_video"
    d = _int32(op, "degrees", degrees)
    if d % 360 not in (90, 180, 270):
        raise KorvelArgumentError(op, f"degrees={d} refused; accepted: 90, 180 or 270 (or an "
                                      "equivalent such as -90 or 450)")
    return _produce(op, data, _errors.VIDEO, lambda fn, p, n, out: fn(p, n, d, out), copy=copy)


def reverse(data: Media, *, copy: bool = True) -> Output:
    """H.264 MP4 (crf 18, preset medium) of the first video stream played
    backwards, without audio (C: ``reverse_video``). Holds at most 192 MiB of
    decoded pictures, working backwards from key frame to key frame; an input
    without usable timestamps is held whole and fails beyond that."""
    return _produce("reverse_video", data, _errors.VIDEO, lambda fn, p, n, out: fn(p, n, out),
                    copy=copy)


def to_gif(data: Media, *, fps: int = 10, width: int = 320,
           start: Optional[float] = None, duration: Optional[float] = None,
           copy: bool = True) -> Output:
    """Animated GIF of the window [start, start + duration) seconds (C:
    ``video_to_gif``) at most ``fps`` pictures a second (default 10) and
    ``width`` pixels wide (default 320, rounded down to even; the height keeps
    the aspect ratio). ``fps`` or ``width`` 0 also means the default;
    ``start`` None (default) is the beginning, ``duration`` None to the end."""
    op = "video_to_gif"
    f = _int32(op, "fps", fps, 0, "a whole number, 0 or more")
    w = _int32(op, "width", width, 0, "a whole number, 0 or more")
    t0, dt = _number(op, "start", start), _number(op, "duration", duration)
    return _produce(op, data, _errors.VIDEO,
                    lambda fn, p, n, out: fn(p, n, f, w, out, t0, dt), copy=copy)


def extract_frame(data: Media, *, time: float = 0.0, format: Optional[str] = "jpeg",
                  copy: bool = True) -> Output:
    """One picture of the first video stream as an image at its own size (C:
    ``extract_frame``): the first picture at or after ``time`` seconds
    (default 0: the first picture; past the end: the last), as ``format``
    ``"jpeg"`` (the default), ``"jpg"`` (also ``None``) or ``"png"``."""
    op = "extract_frame"
    _choice(op, "format", format, IMAGE_FORMATS)
    fmt = _text(op, "format", format)
    t = _number(op, "time", time)
    return _produce(op, data, _errors.VIDEO, lambda fn, p, n, out: fn(p, n, fmt, out, t), copy=copy)
