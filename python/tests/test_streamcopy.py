"""strip_metadata, set_metadata, change_speed and merge through the package."""

from __future__ import annotations

import pytest

import korvel

MP4 = "mov,mp4,m4a,3gp,3g2,mj2"


def tags(probed) -> dict:
    return {k.lower(): v for k, v in probed["format"].get("tags", {}).items()}


def test_strip_metadata_drops_the_tags_and_keeps_the_streams(media, oracle):
    data = media["av.mp4"]
    assert tags(oracle.probe(data))["title"] == "Original"
    probed = oracle.probe(korvel.strip_metadata(data))
    assert probed["format"]["format_name"] == MP4
    assert [s["codec_name"] for s in probed["streams"]] == ["h264", "aac"]
    assert "title" not in tags(probed) and "artist" not in tags(probed)


@pytest.mark.parametrize("key, value", [
    ("title", "Renamed"),      # replaces the existing tag
    ("TITLE", "Shouted"),      # matched case-insensitively
    ("comment", "new tag ü"),  # added, UTF-8 kept
])
def test_set_metadata_sets_one_key_and_keeps_the_rest(media, oracle, key, value):
    probed = oracle.probe(korvel.set_metadata(media["av.mp4"], key, value))
    found = tags(probed)
    assert found[key.lower()] == value
    assert found["artist"] == "Someone"
    assert probed["format"]["format_name"] == MP4


def test_set_metadata_wants_texts(media):
    with pytest.raises(TypeError):
        korvel.set_metadata(media["av.mp4"], None, "x")


@pytest.mark.parametrize("factor", [2.0, 0.5])
def test_change_speed_scales_the_duration(media, oracle, factor):
    data = media["av.mp4"]
    before = float(oracle.streams(data, "video")[0]["duration"])
    out = korvel.change_speed(data, factor)
    after = float(oracle.streams(out, "video")[0]["duration"])
    assert after == pytest.approx(before / factor, rel=0.05)
    assert oracle.frame_count(out) == oracle.frame_count(data)


@pytest.mark.parametrize("factor", [0.0, -1.0, float("nan")])
def test_change_speed_refuses_a_factor_not_above_zero(media, factor):
    with pytest.raises(ValueError, match="change_speed"):
        korvel.change_speed(media["av.mp4"], factor)


def test_merge_appends_the_second_file(media, oracle):
    first, second = media["av.mp4"], media["av2.mp4"]
    out = korvel.merge(first, memoryview(second))
    probed = oracle.probe(out)
    assert probed["format"]["format_name"] == MP4
    assert [s["codec_type"] for s in probed["streams"]] == ["video", "audio"]
    assert oracle.frame_count(out) == oracle.frame_count(first) + oracle.frame_count(second)
    assert float(probed["format"]["duration"]) == pytest.approx(3.0, abs=0.15)


def test_merge_with_an_unusable_second_input_raises(media):
    with pytest.raises(korvel.KorvelError, match="merge_videos"):
        korvel.merge(media["av.mp4"], b"not media")
