"""Zero-copy results (copy=False): a memoryview over the library's own block
that frees it exactly once, whichever way the views go away."""

from __future__ import annotations

import ctypes
import gc
import io
import pickle
from typing import List

import pytest

import korvel
from korvel import _result

from test_memory import MIB, growth


@pytest.fixture
def frees(monkeypatch) -> List[int]:
    """Every address the package frees for a view, in order."""
    gc.collect()  # views left by earlier tests go first
    freed: List[int] = []
    real = _result._free

    def counting(address: int) -> None:
        freed.append(address)
        real(address)

    monkeypatch.setattr(_result, "_free", counting)
    return freed


def address_of(view: memoryview) -> int:
    return ctypes.addressof(view.obj)


# (call, needs the second input): deterministic outputs, so that a copy made
# by a second call must equal the view byte for byte.
OPERATIONS = {
    "trim": lambda d, copy: korvel.trim(d, start=0.5, copy=copy),
    "mute": lambda d, copy: korvel.mute(d, copy=copy),
    "strip_metadata": lambda d, copy: korvel.strip_metadata(d, copy=copy),
    "set_metadata": lambda d, copy: korvel.set_metadata(d, "title", "x", copy=copy),
    "change_speed": lambda d, copy: korvel.change_speed(d, 2.0, copy=copy),
    "convert_mpegts": lambda d, copy: korvel.convert(d, "mpegts", copy=copy),
    "extract_audio_wav": lambda d, copy: korvel.extract_audio(d, "wav", copy=copy),
    "extract_frame_png": lambda d, copy: korvel.extract_frame(d, time=1.0, format="png", copy=copy),
}


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_a_view_holds_the_same_bytes_as_a_copy(media, frees, name):
    call = OPERATIONS[name]
    data = media["av.mp4"]
    copied = call(data, True)
    assert isinstance(copied, bytes)
    with call(data, False) as view:
        assert isinstance(view, memoryview)
        assert view.format == "B" and view.itemsize == 1 and view.ndim == 1
        assert len(view) == len(copied)
        assert view == copied and bytes(view) == copied and view.tobytes() == copied
        assert view[:16] == copied[:16] and view[-5:] == copied[-5:]
        assert view[4:8].tobytes() == copied[4:8]
        address = address_of(view)
    assert frees == [address]
    assert _result.outstanding() == 0


def test_a_view_written_to_a_file_is_the_media_file(media, oracle, tmp_path):
    view = korvel.mute(media["av.mp4"], copy=False)
    path = tmp_path / "muted.mp4"
    with open(path, "wb") as f:
        assert f.write(view) == len(view)
    sink = io.BytesIO()
    sink.write(view)
    assert sink.getvalue() == path.read_bytes()
    probed = oracle.probe(path.read_bytes())
    kinds = [s["codec_type"] for s in probed["streams"]]
    assert kinds == ["video"]  # mute kept the video and dropped the audio
    view.release()


def test_the_block_is_freed_once_when_the_last_view_goes(media, frees):
    data = media["av2.mp4"]
    view = korvel.mute(data, copy=False)
    address = address_of(view)
    head = view[:100]          # a slice shares the block
    again = memoryview(view)   # so does a view of the view
    view.release()
    assert frees == [] and head.tobytes() == korvel.mute(data)[:100]
    del again
    assert frees == []
    head.release()
    assert frees == [address]
    assert _result.outstanding() == 0


def test_garbage_collection_frees_views_in_reference_cycles(media, frees):
    class Holder:
        pass

    holder = Holder()
    holder.self = holder
    holder.view = korvel.mute(media["av2.mp4"], copy=False)
    address = address_of(holder.view)
    del holder
    assert frees == []  # only the cycle collector can reach it
    gc.collect()
    assert frees == [address]


def test_release_refuses_while_an_export_is_held(media, frees):
    view = korvel.mute(media["av2.mp4"], copy=False)
    exported = pickle.PickleBuffer(view)  # holds a buffer export of `view` itself
    with pytest.raises(BufferError):
        view.release()
    assert frees == []
    exported.release()
    view.release()
    assert len(frees) == 1


def test_many_views_each_freed_exactly_once(media, frees):
    data = media["av2.mp4"]
    addresses = []
    for i in range(60):
        view = korvel.trim(data, end=0.5 + i % 3 * 0.1, copy=False)
        addresses.append(address_of(view))
        if i % 3 == 0:
            view.release()
        elif i % 3 == 1:
            with view:
                pass
        del view
    gc.collect()
    assert len(frees) == 60 and sorted(frees) == sorted(addresses)
    assert _result.outstanding() == 0


def test_failures_raise_and_adopt_nothing(media, frees):
    with pytest.raises(korvel.KorvelArgumentError):
        korvel.change_speed(media["av2.mp4"], 0, copy=False)
    with pytest.raises(korvel.KorvelError):
        korvel.mute(b"not media at all" * 100, copy=False)
    assert frees == [] and _result.outstanding() == 0


def test_merge_returns_a_view_too(media, frees):
    with korvel.merge(media["av.mp4"], media["av2.mp4"], copy=False) as view:
        assert view == korvel.merge(media["av.mp4"], media["av2.mp4"])
    assert len(frees) == 1


def test_stream_copy_500_zero_copy_calls_keep_memory_flat(media):
    data = media["av2.mp4"]
    assert len(korvel.convert(data, "matroska", copy=False)) * 500 > 8 * MIB
    assert growth(lambda: korvel.convert(data, "matroska", copy=False), 50, 500) < 3 * MIB
    assert _result.outstanding() == 0
