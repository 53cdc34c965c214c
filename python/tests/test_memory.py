"""Repeated calls leave the resident memory flat: every block is freed and
the library keeps nothing between calls."""

from __future__ import annotations

import gc
import os

import korvel

MIB = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def growth(call, warm_up: int, count: int) -> int:
    for _ in range(warm_up):
        call()
    gc.collect()
    before = resident()
    for _ in range(count):
        call()
    gc.collect()
    return resident() - before


def test_stream_copy_500_calls(media):
    data = media["av2.mp4"]  # each result is about as large as the input
    assert len(korvel.convert(data, "matroska")) * 500 > 8 * MIB  # a leak would show
    assert growth(lambda: korvel.convert(data, "matroska"), 50, 500) < 3 * MIB


def test_info_500_calls(media):
    data = media["av2.mp4"]
    assert growth(lambda: korvel.info(data), 50, 500) < 3 * MIB


def test_transcoding_50_calls(media):
    data = media["tone.wav"]
    assert len(korvel.extract_audio(data, "mp3")) * 50 > MIB // 2
    assert growth(lambda: korvel.extract_audio(data, "mp3"), 5, 50) < 3 * MIB
