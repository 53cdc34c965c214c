"""info, convert, trim and mute through the package, checked with ffprobe."""

from __future__ import annotations

import pytest

import korvel


def test_info_reports_what_ffprobe_sees(media, oracle):
    data = media["av.mp4"]
    report = korvel.info(data)
    probed = oracle.probe(data)
    video = next(s for s in probed["streams"] if s["codec_type"] == "video")
    audio = next(s for s in probed["streams"] if s["codec_type"] == "audio")
    assert report["num_streams"] == len(probed["streams"])
    assert report["has_video"] is True and report["has_audio"] is True
    assert (report["width"], report["height"]) == (video["width"], video["height"])
    assert report["video_codec"] == video["codec_name"]
    assert report["audio_codec"] == audio["codec_name"]
    assert report["sample_rate"] == int(audio["sample_rate"])
    assert report["channels"] == audio["channels"]
    assert report["duration"] == pytest.approx(float(probed["format"]["duration"]), abs=0.001)
    assert report["fps"] == pytest.approx(25.0)


def test_info_of_an_audio_file_has_no_video_keys(media):
    report = korvel.info(media["tone.wav"])
    assert report["has_video"] is False
    assert "width" not in report and "fps" not in report
    assert (report["audio_codec"], report["sample_rate"], report["channels"]) == ("pcm_s16le", 48000, 1)


# The MPEG-TS muxer rewrites H.264 to start codes and AAC to ADTS, so there
# only the packet count is comparable.
@pytest.mark.parametrize("fmt, format_name, same_sizes", [
    ("matroska", "matroska,webm", True),
    ("mpegts", "mpegts", False),
    ("mov", "mov,mp4,m4a,3gp,3g2,mj2", True),
    (None, "mov,mp4,m4a,3gp,3g2,mj2", True),
    ("", "mov,mp4,m4a,3gp,3g2,mj2", True),
])
def test_convert_writes_the_chosen_container_with_every_packet(media, oracle, fmt, format_name,
                                                               same_sizes):
    data = media["av.mp4"]
    out = korvel.convert(data, fmt)
    probed_in, probed = oracle.probe(data, packets=True), oracle.probe(out, packets=True)
    assert probed["format"]["format_name"] == format_name
    assert [s["codec_name"] for s in probed["streams"]] == ["h264", "aac"]
    for index in (0, 1):
        sizes_in = [p["size"] for p in probed_in["packets"] if p["stream_index"] == index]
        sizes_out = [p["size"] for p in probed["packets"] if p["stream_index"] == index]
        assert len(sizes_out) == len(sizes_in)
        if same_sizes:
            assert sizes_out == sizes_in


def test_convert_to_an_unknown_muxer_raises(media):
    with pytest.raises(korvel.KorvelError, match="convert_format"):
        korvel.convert(media["av.mp4"], "no-such-muxer")


@pytest.mark.parametrize("start, end, expected", [
    (None, 1.0, 1.0),
    (1.0, None, 1.0),
    (0.4, 1.4, 1.0),
])
def test_trim_keeps_the_window(media, oracle, start, end, expected):
    out = korvel.trim(media["av.mp4"], start=start, end=end)
    video = oracle.streams(out, "video")[0]
    # Packet boundaries: within a couple of pictures (25 fps) of the window.
    assert float(video["duration"]) == pytest.approx(expected, abs=0.12)
    assert float(video.get("start_time", 0)) == pytest.approx(0.0, abs=0.1)


def test_mute_drops_the_audio_and_keeps_the_video_packets(media, oracle):
    data = media["av.mp4"]
    out = korvel.mute(data)
    probed_in, probed = oracle.probe(data, packets=True), oracle.probe(out, packets=True)
    assert [s["codec_type"] for s in probed["streams"]] == ["video"]
    assert [p["size"] for p in probed["packets"]] == \
        [p["size"] for p in probed_in["packets"] if p["stream_index"] == 0]


def test_mute_of_an_audio_only_file_raises(media):
    with pytest.raises(korvel.KorvelError, match="mute_video"):
        korvel.mute(media["tone.wav"])
