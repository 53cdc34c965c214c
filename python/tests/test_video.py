"""reencode, rotate, reverse, to_gif and extract_frame through the package."""

from __future__ import annotations

import pytest

import korvel
from conftest import mean_abs_diff

MP4 = "mov,mp4,m4a,3gp,3g2,mj2"


@pytest.mark.parametrize("width, height, size", [
    (0, 0, (160, 120)),
    (80, 0, (80, 60)),
    (0, 60, (80, 60)),
    (97, 41, (96, 40)),  # rounded down to even
])
def test_reencode_sizes_and_codecs(media, oracle, width, height, size):
    out = korvel.reencode(media["av.mp4"], crf=30, preset="ultrafast", width=width, height=height)
    probed = oracle.probe(out)
    assert probed["format"]["format_name"] == MP4
    video, audio = probed["streams"]
    assert (video["codec_name"], video["width"], video["height"]) == ("h264", *size)
    assert audio["codec_name"] == "aac"


def test_reencode_keeps_the_picture(media, oracle):
    data = media["av.mp4"]
    out = korvel.reencode(data, crf=18, preset="ultrafast")
    assert mean_abs_diff(oracle.first_gray(out, 160, 120), oracle.first_gray(data, 160, 120)) < 4


def test_reencode_with_a_preset_x264_lacks_raises(media):
    with pytest.raises(korvel.KorvelError, match="reencode_video"):
        korvel.reencode(media["av.mp4"], preset="no-such-preset")


@pytest.mark.parametrize("degrees, size, transpose", [
    (90, (120, 160), "transpose=clock"),
    (-270, (120, 160), "transpose=clock"),
    (180, (160, 120), "hflip,vflip"),
    (270, (120, 160), "transpose=cclock"),
])
def test_rotate_turns_the_picture_clockwise(media, oracle, degrees, size, transpose):
    data = media["av.mp4"]
    out = korvel.rotate(data, degrees)
    video = oracle.streams(out, "video")[0]
    assert (video["codec_name"], video["width"], video["height"]) == ("h264", *size)
    assert [s["codec_name"] for s in oracle.probe(out)["streams"]] == ["h264", "aac"]
    turned = oracle.first_gray(data, *size, filters=transpose)
    assert mean_abs_diff(oracle.first_gray(out, *size), turned) < 6


@pytest.mark.parametrize("degrees", [0, 45, 360, -720])
def test_rotate_refuses_an_angle_that_is_no_quarter_or_half_turn(media, degrees):
    with pytest.raises(ValueError, match="rotate_video"):
        korvel.rotate(media["av.mp4"], degrees)


def test_reverse_plays_the_pictures_backwards(media, oracle):
    data = media["ramp.mp4"]  # brightness rises picture by picture
    out = korvel.reverse(data)
    probed = oracle.probe(out)
    assert [s["codec_name"] for s in probed["streams"]] == ["h264"]
    forward, backward = oracle.gray_means(data), oracle.gray_means(out)
    assert len(backward) == len(forward)
    assert backward == pytest.approx(forward[::-1], abs=6)


@pytest.mark.parametrize("kwargs, size, frames", [
    ({"fps": 5, "width": 80}, (80, 60), 10),
    ({"fps": 10, "width": 120, "start": 0.5, "duration": 1.0}, (120, 90), 10),
    ({}, (320, 240), 20),  # defaults: 10 fps, 320 wide
])
def test_to_gif_size_rate_and_window(media, oracle, kwargs, size, frames):
    out = korvel.to_gif(media["ramp.mp4"], **kwargs)
    probed = oracle.probe(out)
    assert probed["format"]["format_name"] == "gif"
    [video] = probed["streams"]
    assert (video["width"], video["height"]) == size
    assert oracle.frame_count(out) == pytest.approx(frames, abs=1)


@pytest.mark.parametrize("fmt, codec", [("jpeg", "mjpeg"), ("jpg", "mjpeg"), (None, "mjpeg"),
                                        ("png", "png")])
@pytest.mark.parametrize("time, brightness", [(0.0, 0), (1.0, 120)])
def test_extract_frame_takes_the_picture_at_the_time(media, oracle, fmt, codec, time, brightness):
    image = korvel.extract_frame(media["ramp.mp4"], time=time, format=fmt)
    [stream] = oracle.probe(image)["streams"]
    assert (stream["codec_name"], stream["width"], stream["height"]) == (codec, 160, 120)
    # One picture is 12 brightness steps (10 fps, 120 a second).
    assert oracle.gray_means(image)[0] == pytest.approx(brightness, abs=14)


@pytest.mark.parametrize("fmt", ["gif", "PNG", "bmp"])
def test_extract_frame_refuses_an_unknown_format(media, fmt):
    with pytest.raises(korvel.KorvelArgumentError, match="extract_frame"):
        korvel.extract_frame(media["ramp.mp4"], format=fmt)
