"""The exceptions of the package and how a failed call is told apart.

The C functions return only null on failure. The reason comes from what
FFmpeg logged on the calling thread during the call, and from a look at the
input: whether it opens as media at all, and whether it has the stream the
operation needs. The command-line tool gives the same reasons in the same
words.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:  # for the type checker only, like everywhere in the package
    from typing import Any, Dict, Optional, Sequence, Tuple

# What an operation needs in its input.
MEDIA, VIDEO, AUDIO, VIDEO_OR_AUDIO = "media", "video", "audio", "video or audio"

# FFmpeg lines that mean an argument was refused rather than the input.
_ARGUMENT_LINES = ("is not a suitable output format", "Error setting preset")


class KorvelError(Exception):
    """An operation produced no result.

    ``operation`` names the C function, ``reason`` says why in words,
    ``lines`` holds FFmpeg's own error lines from the call (possibly none).
    """

    category = "failure"

    def __init__(self, operation: str, reason: str, lines: Sequence[str] = ()) -> None:
        super().__init__(f"{operation}: {reason}")
        self.operation = operation
        self.reason = reason
        self.lines: Tuple[str, ...] = tuple(lines)


class KorvelArgumentError(KorvelError, ValueError):
    """An argument was refused (an unknown format, muxer or preset name, an
    angle that is not a quarter or half turn, a number out of range); raised
    before the input is read whenever the package can tell."""

    category = "argument"


class KorvelInputError(KorvelError):
    """The input is not a media file the library can read."""

    category = "input"


class KorvelMissingStreamError(KorvelError):
    """The input lacks what the operation needs (a video or audio stream)."""

    category = "stream"


class KorvelEncodingError(KorvelError):
    """The input was read, but an encoder or the muxer failed."""

    category = "encoding"


def classify(operation: str, lines: Sequence[str], reports: Sequence[Optional[Dict[str, Any]]],
             needs: str) -> KorvelError:
    """The exception for a call that returned null.

    ``reports`` are the inputs' info reports (None: the input does not open).
    """
    for line in lines:
        if any(marker in line for marker in _ARGUMENT_LINES):
            return KorvelArgumentError(operation, f"argument refused: {line}", lines)
    detail = "; ".join(dict.fromkeys(lines))
    for index, report in enumerate(reports):
        if report is None:
            which = f" (input {index + 1})" if len(reports) > 1 else ""
            return KorvelInputError(
                operation, "not a media file korvel can read" + which +
                (f": {detail}" if detail else ""), lines)
        video, audio = bool(report.get("has_video")), bool(report.get("has_audio"))
        if needs == VIDEO and not video:
            return KorvelMissingStreamError(operation, "the input has no video stream", lines)
        if needs == AUDIO and not audio:
            return KorvelMissingStreamError(operation, "the input has no audio stream", lines)
        if needs == VIDEO_OR_AUDIO and not (video or audio):
            return KorvelMissingStreamError(operation, "the input has no video or audio stream",
                                            lines)
    return KorvelEncodingError(
        operation, "encoding or muxing failed" + (f": {detail}" if detail else ""), lines)
