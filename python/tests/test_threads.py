"""Operations from 8 threads at once on the same input give the serial results."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import pytest

import korvel

THREADS = 8


def run_together(calls):
    """Runs every call on each of 8 threads, all on one shared input object;
    returns [per-thread results]."""
    with ThreadPoolExecutor(max_workers=THREADS) as pool:
        futures = [pool.submit(lambda: [call() for call in calls]) for _ in range(THREADS)]
        return [f.result() for f in futures]


def check_parallel_equals_serial(calls):
    serial = [call() for call in calls]
    for results in run_together(calls):
        assert results == serial


def test_stream_copy_and_info_in_parallel(media):
    data = media["av.mp4"]
    check_parallel_equals_serial([
        lambda: korvel.info(data),
        # Matroska would not do: its muxer writes a random segment identifier.
        lambda: korvel.convert(data, "mpegts"),
        lambda: korvel.convert(data, "mov"),
        lambda: korvel.trim(data, start=0.5, end=1.5),
        lambda: korvel.mute(data),
    ])


# The encoders used here produce the same bytes for the same input, so the
# results can be compared exactly.
@pytest.mark.parametrize("name, call", [
    ("metadata and speed", lambda d: [korvel.set_metadata(d, "title", "T"),
                                      korvel.change_speed(d, 2.0), korvel.merge(d, d)]),
    ("audio", lambda d: [korvel.extract_audio(d, "wav"), korvel.adjust_volume(d, 0.5)]),
    ("video", lambda d: [korvel.rotate(d, 90), korvel.extract_frame(d, time=1.0, format="png"),
                         korvel.to_gif(d, fps=5, width=80)]),
])
def test_transcoding_in_parallel(media, name, call):
    data = bytearray(media["av.mp4"])
    check_parallel_equals_serial([lambda: call(data)])
