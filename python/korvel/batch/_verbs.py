"""The operations a batch can run: one table from the command-line verb to the
package function and the type of file it produces. Each verb's options are
read from the function's own signature, so a keyword added to a function is
an option here without another list to keep in step."""

from __future__ import annotations

import inspect
import os
import typing
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, cast

import korvel
from korvel import _hints

# Containers of the QuickTime family are written as MP4 by the stream-copy
# operations when the input's own container is kept.
_QUICKTIME = {".mov", ".m4v", ".m4a", ".3gp", ".3g2", ".mj2", ".qt"}

# FFmpeg muxer short name -> the file extension its output usually carries.
# A muxer that is not listed lends its own name as the extension.
MUXER_EXTENSIONS = {
    "matroska": ".mkv", "webm": ".webm", "mp4": ".mp4", "mov": ".mov", "ipod": ".m4v",
    "3gp": ".3gp", "3g2": ".3g2", "mpegts": ".ts", "mpeg": ".mpg", "vob": ".vob",
    "avi": ".avi", "flv": ".flv", "asf": ".asf", "nut": ".nut", "ogg": ".ogg",
    "mp3": ".mp3", "adts": ".aac", "wav": ".wav", "gif": ".gif", "mxf": ".mxf",
    "ismv": ".ismv", "f4v": ".f4v", "dv": ".dv", "rm": ".rm", "h264": ".h264",
}


def _own_container(ext: str, arguments: Mapping[str, Any]) -> str:
    return ".mp4" if ext.lower() in _QUICKTIME else (ext or ".mp4")


def _by_muxer(ext: str, arguments: Mapping[str, Any]) -> str:
    muxer = arguments.get("format")
    if not muxer:
        return _own_container(ext, arguments)
    return MUXER_EXTENSIONS.get(muxer, "." + muxer)


def _by_audio_format(ext: str, arguments: Mapping[str, Any]) -> str:
    return "." + str(arguments.get("format", "mp3"))


def _by_image_format(ext: str, arguments: Mapping[str, Any]) -> str:
    return ".png" if arguments.get("format") == "png" else ".jpg"


def _fixed(suffix: str) -> Callable[[str, Mapping[str, Any]], str]:
    return lambda ext, arguments: suffix


@dataclass(frozen=True)
class Verb:
    verb: str           # the command-line name, as the korvel tool spells it
    name: str           # the package function
    # (input extension, arguments) -> output extension; None: a JSON report
    suffix: Optional[Callable[[str, Mapping[str, Any]], str]]

    @property
    def function(self) -> Callable[..., Any]:
        return cast(Callable[..., Any], getattr(korvel, self.name))


VERBS: Tuple[Verb, ...] = (
    Verb("info", "info", None),
    Verb("convert", "convert", _by_muxer),
    Verb("trim", "trim", _own_container),
    Verb("mute", "mute", _own_container),
    Verb("strip-metadata", "strip_metadata", _fixed(".mp4")),
    Verb("set-metadata", "set_metadata", _fixed(".mp4")),
    Verb("speed", "change_speed", _fixed(".mp4")),
    Verb("merge", "merge", _fixed(".mp4")),
    Verb("extract-audio", "extract_audio", _by_audio_format),
    Verb("volume", "adjust_volume", _fixed(".mp4")),
    Verb("reencode", "reencode", _fixed(".mp4")),
    Verb("rotate", "rotate", _fixed(".mp4")),
    Verb("reverse", "reverse", _fixed(".mp4")),
    Verb("gif", "to_gif", _fixed(".gif")),
    Verb("frame", "extract_frame", _by_image_format),
)


def find(operation: str) -> Verb:
    """The verb for a package function name (``to_gif``), a command-line verb
    (``gif``) or a C function name (``video_to_gif``)."""
    for verb in VERBS:
        if operation in (verb.name, verb.verb):
            return verb
    c_names = {"get_video_info": "info", "convert_format": "convert", "trim_video": "trim",
               "mute_video": "mute", "merge_videos": "merge", "reencode_video": "reencode",
               "rotate_video": "rotate", "reverse_video": "reverse", "video_to_gif": "to_gif"}
    if operation in c_names:
        return find(c_names[operation])
    known = ", ".join(v.name for v in VERBS)
    raise ValueError(f"unknown operation {operation!r} (one of {known})")


@dataclass(frozen=True)
class Option:
    name: str
    kind: str             # "float", "int", "text" or "media" (a second input, by path)
    required: bool
    default: Any


def _kind(hint: Any) -> Optional[str]:
    args = set(typing.get_args(hint)) or {hint}
    args.discard(type(None))
    if bytes in args:
        return "media"
    if args <= {bool}:
        return None               # switches such as a result-copy flag are not batch options
    if float in args:
        return "float"
    if int in args:
        return "int"
    if str in args:
        return "text"
    return None


def options(verb: Verb) -> List[Option]:
    """The keyword arguments of the verb's function after its input."""
    function = verb.function
    try:
        hints = typing.get_type_hints(function, localns=vars(_hints))
    except Exception:  # an annotation that does not resolve: judge by the defaults
        hints = {}
    found = []
    for parameter in list(inspect.signature(function).parameters.values())[1:]:
        if parameter.kind in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD):
            continue
        default = parameter.default
        guess = type(default) if default not in (inspect.Parameter.empty, None) else str
        kind = _kind(hints.get(parameter.name, guess))
        if kind is None:
            continue
        required = default is inspect.Parameter.empty
        found.append(Option(parameter.name, kind, required, None if required else default))
    return found


class Call:
    """A verb's function with its arguments, run on the worker. Arguments that
    are media (merge's second file) are paths, read where the call runs."""

    def __init__(self, verb: Verb, arguments: Dict[str, Any]) -> None:
        self.name = verb.name
        self.arguments = dict(arguments)
        self.media = {o.name for o in options(verb) if o.kind == "media"}
        for name in self.media & set(self.arguments):
            value = self.arguments[name]
            if not isinstance(value, (str, os.PathLike)):
                raise TypeError(f"{verb.name}: {name} must be a path, read where the call runs")
            self.arguments[name] = os.path.abspath(os.fspath(value))

    def __call__(self, data: bytes) -> Any:
        arguments = dict(self.arguments)
        for name in self.media & set(arguments):
            with open(arguments[name], "rb") as file:
                arguments[name] = file.read()
        return getattr(korvel, self.name)(data, **arguments)

    def check(self) -> None:
        """Lets the library refuse the arguments once, before any input is
        read: a refused argument fails before the input is looked at."""
        arguments = {k: (b"" if k in self.media else v) for k, v in self.arguments.items()}
        try:
            getattr(korvel, self.name)(b"\0" * 16, **arguments)
        except korvel.KorvelArgumentError:
            raise
        except korvel.KorvelError:
            pass
