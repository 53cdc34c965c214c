"""korvel: media-file operations over bytes in memory.

Each function takes a whole media file as a bytes-like object (bytes,
bytearray, memoryview or anything else with a contiguous buffer), hands its
memory to the C library without copying it, and returns the new file as
bytes. Nothing touches the disk. The library runs without the interpreter
lock, so calls from several threads run in parallel.

With ``copy=False`` a producing function returns, instead of bytes, a
``memoryview`` over the library's own result block, with no copy made; the
block is freed once the last view of it is released or collected (see
``korvel._result``).

A call that produces nothing raises :class:`KorvelError`; an argument the
library refuses raises :class:`KorvelArgumentError`, which is also a
:class:`ValueError`.
"""

from __future__ import annotations

import ctypes
import json
import operator
from typing import Any, Callable, Dict, Optional, Union

from . import _native, _result
from ._native import KorvelArgumentError, KorvelError

__version__ = "0.1.0"

__all__ = [
    "KorvelError", "KorvelArgumentError", "info", "convert", "trim", "mute",
    "strip_metadata", "set_metadata", "change_speed", "merge", "extract_audio",
    "adjust_volume", "reencode", "rotate", "reverse", "to_gif", "extract_frame",
    "AUDIO_FORMATS", "IMAGE_FORMATS",
]

# Any object with a contiguous buffer is accepted (array.array, mmap, ...).
Media = Union[bytes, bytearray, memoryview]
# bytes by default; with copy=False a memoryview that owns the library's
# result block (see korvel._result).
Output = Union[bytes, memoryview]

AUDIO_FORMATS = ("mp3", "aac", "ogg", "wav")
IMAGE_FORMATS = ("jpeg", "jpg", "png")

_INT32_MIN, _INT32_MAX = -(2 ** 31), 2 ** 31 - 1


def _int32(operation: str, name: str, value: int) -> int:
    # ctypes would silently wrap an integer outside the C type's range.
    number = operator.index(value)
    if not _INT32_MIN <= number <= _INT32_MAX:
        raise KorvelArgumentError(operation, f"{name}={number} is outside the 32-bit range")
    return number


def _seconds(value: Optional[float]) -> float:
    return 0.0 if value is None else float(value)


def _text(operation: str, name: str, value: Optional[str]) -> Optional[bytes]:
    if value is None:
        return None
    encoded = value.encode("utf-8") if isinstance(value, str) else bytes(value)
    if b"\0" in encoded:
        raise KorvelArgumentError(operation, f"{name} contains a NUL character")
    return encoded


def _produce(operation: str, data: Media, call: Callable[..., Any],
             refused: Optional[str] = None, copy: bool = True) -> Output:
    """Runs `call(fn, pointer, length, out_size)` on the borrowed input and
    takes the result block: copied into bytes, or with copy=False handed to
    an owning memoryview."""
    fn = _native.function(operation)
    size = _native.out_size()
    with _native.borrowed(data) as (pointer, length):
        block = call(fn, pointer, length, ctypes.byref(size))
    return _result.take(operation, block, size.value, refused, copy)


def info(data: Media) -> Dict[str, Any]:
    """Describes a media file (C: ``get_video_info``).

    Returns a dict with ``duration`` (seconds), ``bitrate``, ``num_streams``,
    ``has_video``, ``has_audio``; with a video stream also ``width``,
    ``height``, ``video_codec``, ``fps``; with an audio stream also
    ``audio_codec``, ``sample_rate``, ``channels``. The first stream of each
    type is described.
    """
    fn = _native.function("get_video_info")
    with _native.borrowed(data) as (pointer, length):
        block = fn(pointer, length)
    return json.loads(_native.take_text("get_video_info", block))


def convert(data: Media, format: Optional[str] = None, *, copy: bool = True) -> Output:
    """Copies the streams into another container (C: ``convert_format``).

    ``format`` is an FFmpeg muxer short name such as ``"matroska"``, ``"mp4"``
    or ``"mpegts"``; ``None`` keeps the input's own container. No stream is
    re-encoded.
    """
    fmt = _text("convert_format", "format", format)
    return _produce("convert_format", data,
                    lambda fn, p, n, out: fn(p, n, fmt, out), copy=copy)


def trim(data: Media, *, start: Optional[float] = None,
         end: Optional[float] = None, copy: bool = True) -> Output:
    """Keeps the packets between ``start`` and ``end`` seconds (C:
    ``trim_video``), moved back to begin at 0 when a start is given.

    A time of ``None`` or 0 is no limit. Stream copy: the cut falls on packet
    boundaries, not on key frames.
    """
    t0, t1 = _seconds(start), _seconds(end)
    return _produce("trim_video", data, lambda fn, p, n, out: fn(p, n, out, t0, t1), copy=copy)


def mute(data: Media, *, copy: bool = True) -> Output:
    """Drops every audio stream, copying the rest (C: ``mute_video``)."""
    return _produce("mute_video", data, lambda fn, p, n, out: fn(p, n, out), copy=copy)


def strip_metadata(data: Media, *, copy: bool = True) -> Output:
    """MP4 copy of the video and audio streams without the container
    metadata (C: ``strip_metadata``)."""
    return _produce("strip_metadata", data, lambda fn, p, n, out: fn(p, n, out), copy=copy)


def set_metadata(data: Media, key: str, value: str, *, copy: bool = True) -> Output:
    """MP4 copy with the container metadata kept and ``key`` set to ``value``
    (C: ``set_metadata``); an existing key is matched case-insensitively."""
    if key is None or value is None:
        raise TypeError("set_metadata: key and value must be texts")
    k = _text("set_metadata", "key", key)
    v = _text("set_metadata", "value", value)
    return _produce("set_metadata", data, lambda fn, p, n, out: fn(p, n, k, v, out), copy=copy)


def change_speed(data: Media, factor: float, *, copy: bool = True) -> Output:
    """MP4 copy whose timestamps are divided by ``factor`` (C:
    ``change_speed``): 2.0 plays twice as fast, 0.5 half as fast.

    The compressed data is not touched, so audio keeps its pitch and rate
    per packet. ``factor`` must be greater than 0.
    """
    f = float(factor)
    refused = None if f > 0 else f"factor must be greater than 0, not {f!r}"
    return _produce("change_speed", data, lambda fn, p, n, out: fn(p, n, out, f), refused, copy=copy)


def merge(first: Media, second: Media, *, copy: bool = True) -> Output:
    """MP4 with the second file's video and audio appended to the first's
    (C: ``merge_videos``). Stream copy: the output takes the first file's
    codec parameters, so both should be coded alike."""
    operation = "merge_videos"
    fn = _native.function(operation)
    size = _native.out_size()
    with _native.borrowed(first) as (p1, n1), _native.borrowed(second) as (p2, n2):
        block = fn(p1, n1, p2, n2, ctypes.byref(size))
    return _result.take(operation, block, size.value, None, copy)


def extract_audio(data: Media, format: str = "mp3", *, copy: bool = True) -> Output:
    """The first audio stream as a 44100 Hz stereo audio file (C:
    ``extract_audio``).

    ``format`` is one of ``"mp3"``, ``"aac"`` (ADTS), ``"ogg"`` (Vorbis) or
    ``"wav"`` (16-bit PCM), lower case.
    """
    if format is None:
        raise TypeError("extract_audio: format must be a text")
    fmt = _text("extract_audio", "format", format)
    refused = None if format in AUDIO_FORMATS else (
        f"unsupported audio format {format!r} (one of {', '.join(AUDIO_FORMATS)})")
    return _produce("extract_audio", data, lambda fn, p, n, out: fn(p, n, fmt, out), refused, copy=copy)


def adjust_volume(data: Media, factor: float, *, copy: bool = True) -> Output:
    """MP4 with the first audio stream re-encoded to AAC at ``factor`` times
    its level, clipped at full scale (C: ``adjust_volume``); the first video
    stream is copied. A negative factor counts as 0 (silence)."""
    f = float(factor)
    return _produce("adjust_volume", data, lambda fn, p, n, out: fn(p, n, out, f), copy=copy)


def reencode(data: Media, *, crf: int = 23, preset: Optional[str] = None,
             width: int = 0, height: int = 0, copy: bool = True) -> Output:
    """H.264 MP4 of the first video stream, first audio stream copied (C:
    ``reencode_video``).

    ``crf`` 0..51 (negative means 23, above 51 means 51); ``preset`` an x264
    preset name, ``None`` for ``"medium"``; ``width``/``height`` 0 keep the
    source size, one of them 0 keeps the aspect ratio. Sizes are rounded down
    to even numbers.
    """
    op = "reencode_video"
    c = _int32(op, "crf", crf)
    w = _int32(op, "width", width)
    h = _int32(op, "height", height)
    pre = _text(op, "preset", preset)
    return _produce(op, data, lambda fn, p, n, out: fn(p, n, c, pre, w, h, out), copy=copy)


def rotate(data: Media, degrees: int, *, copy: bool = True) -> Output:
    """H.264 MP4 turned clockwise by ``degrees`` (C: ``rotate_video``): any
    multiple of 90 that is not a whole turn (-90 is 270); first audio stream
    copied."""
    op = "rotate_video"
    d = _int32(op, "degrees", degrees)
    refused = None if d % 360 in (90, 180, 270) else (
        f"degrees={d} is not a quarter or half turn")
    return _produce(op, data, lambda fn, p, n, out: fn(p, n, d, out), refused, copy=copy)


def reverse(data: Media, *, copy: bool = True) -> Output:
    """H.264 MP4 of the first video stream played backwards, without audio
    (C: ``reverse_video``). Holds at most 192 MiB of decoded pictures,
    working backwards from key frame to key frame; an input without usable
    timestamps is held whole and fails beyond that."""
    return _produce("reverse_video", data, lambda fn, p, n, out: fn(p, n, out), copy=copy)


def to_gif(data: Media, *, fps: int = 10, width: int = 320,
           start: Optional[float] = None, duration: Optional[float] = None,
           copy: bool = True) -> Output:
    """Animated GIF of the window [start, start + duration) (C:
    ``video_to_gif``) at ``fps`` pictures a second, ``width`` pixels wide
    (rounded down to even; the height keeps the aspect ratio). ``fps`` or
    ``width`` 0 means 10 or 320; no ``duration`` means to the end."""
    op = "video_to_gif"
    f = _int32(op, "fps", fps)
    w = _int32(op, "width", width)
    t0, dt = _seconds(start), _seconds(duration)
    return _produce(op, data, lambda fn, p, n, out: fn(p, n, f, w, out, t0, dt), copy=copy)


def extract_frame(data: Media, *, time: float = 0.0, format: Optional[str] = "jpeg",
                  copy: bool = True) -> Output:
    """One picture of the first video stream at ``time`` seconds as an image
    (C: ``extract_frame``): ``format`` ``"jpeg"``/``"jpg"`` (also ``None``)
    or ``"png"``."""
    op = "extract_frame"
    fmt = _text(op, "format", format)
    refused = None if format is None or format in IMAGE_FORMATS else (
        f"unsupported image format {format!r} (one of {', '.join(IMAGE_FORMATS)})")
    t = float(time)
    return _produce(op, data, lambda fn, p, n, out: fn(p, n, fmt, out, t), refused, copy=copy)
