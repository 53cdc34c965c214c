"""extract_audio and adjust_volume through the package."""

from __future__ import annotations

import pytest

import korvel
from conftest import rms


@pytest.mark.parametrize("fmt, format_name, codec", [
    ("mp3", "mp3", "mp3"),
    ("aac", "aac", "aac"),
    ("ogg", "ogg", "vorbis"),
    ("wav", "wav", "pcm_s16le"),
])
def test_extract_audio_writes_44100_hz_stereo(media, oracle, fmt, format_name, codec):
    source = media["tone.wav"]  # mono 48 kHz
    out = korvel.extract_audio(source, fmt)
    probed = oracle.probe(out)
    assert probed["format"]["format_name"] == format_name
    [stream] = probed["streams"]
    assert (stream["codec_name"], int(stream["sample_rate"]), stream["channels"]) == \
        (codec, 44100, 2)
    samples = oracle.samples(out)
    assert len(samples) / 2 / 44100 == pytest.approx(1.0, abs=0.1)
    # The resampler's default mono-to-stereo matrix puts the one channel on
    # each side at -3 dB.
    assert rms(samples) == pytest.approx(rms(oracle.samples(source)) * 0.5 ** 0.5, rel=0.1)


@pytest.mark.parametrize("fmt", ["MP3", "flac", ""])
def test_extract_audio_refuses_an_unknown_format(media, fmt):
    with pytest.raises(korvel.KorvelArgumentError, match="extract_audio") as caught:
        korvel.extract_audio(media["tone.wav"], fmt)
    assert isinstance(caught.value, ValueError)


def test_extract_audio_of_a_file_without_audio_raises(media):
    with pytest.raises(korvel.KorvelError) as caught:
        korvel.extract_audio(media["video_only.mp4"], "wav")
    assert not isinstance(caught.value, ValueError)


@pytest.mark.parametrize("factor, ratio", [(0.5, 0.5), (2.0, 2.0), (0.0, 0.0), (-3.0, 0.0)])
def test_adjust_volume_scales_the_level_and_copies_the_video(media, oracle, factor, ratio):
    data = media["av.mp4"]  # sine at 1/8 of full scale: 2.0 does not clip
    out = korvel.adjust_volume(data, factor)
    probed = oracle.probe(out, packets=True)
    assert [s["codec_name"] for s in probed["streams"]] == ["h264", "aac"]
    assert [p["size"] for p in probed["packets"] if p["stream_index"] == 0] == \
        [p["size"] for p in oracle.probe(data, packets=True)["packets"] if p["stream_index"] == 0]
    assert rms(oracle.samples(out)) == pytest.approx(ratio * rms(oracle.samples(data)),
                                                     rel=0.1, abs=1e-3)
