"""The typed form of the info report."""

from __future__ import annotations

from typing import TypedDict


class _MediaInfoAlways(TypedDict):
    duration: float      # seconds
    bitrate: int         # bits per second, 0 when unknown
    num_streams: int
    has_video: bool
    has_audio: bool


class MediaInfo(_MediaInfoAlways, total=False):
    """What ``korvel.info`` reports. The video keys are present when the file
    has a video stream, the audio keys when it has an audio stream."""

    width: int           # pixels, 0 when unknown
    height: int          # pixels, 0 when unknown
    video_codec: str
    fps: float           # pictures per second
    audio_codec: str
    sample_rate: int     # Hz
    channels: int
