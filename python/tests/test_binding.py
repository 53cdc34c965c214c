"""The binding itself: declarations against the C header, input buffers,
errors and the ownership of result blocks."""

from __future__ import annotations

import ctypes
import re
from array import array

import pytest

from conftest import ROOT
import korvel
from korvel import _native

C_TYPES = {
    "const uint8_t*": ctypes.POINTER(ctypes.c_uint8),
    "uint8_t*": ctypes.POINTER(ctypes.c_uint8),
    "char*": ctypes.POINTER(ctypes.c_char),
    "const char*": ctypes.c_char_p,
    "uint64_t": ctypes.c_uint64,
    "uint64_t*": ctypes.POINTER(ctypes.c_uint64),
    "int32_t": ctypes.c_int32,
    "double": ctypes.c_double,
}


def header_signatures():
    """name: (restype, argtypes) read from include/korvel.h."""
    text = (ROOT / "include" / "korvel.h").read_text()
    found = {}
    for ret, name, params in re.findall(r"KORVEL_API\s+([\w\s]+\*?)\s*(\w+)\(([^)]*)\);", text):
        types = []
        for param in params.split(","):
            param = " ".join(param.split())
            ctype = re.sub(r"\s*\w+$", "", param).replace(" *", "*")
            types.append(C_TYPES[ctype])
        found[name] = (C_TYPES[" ".join(ret.split()).replace(" *", "*")], tuple(types))
    return found


def test_declarations_match_the_header():
    expected = header_signatures()
    assert len(expected) == 15
    assert _native.SIGNATURES == expected


def test_the_library_exports_all_fifteen():
    # Fails against a library that lacks an operation.
    assert _native.MISSING == []
    for name, (restype, argtypes) in header_signatures().items():
        fn = _native.FUNCTIONS[name]
        assert (fn.restype, tuple(fn.argtypes)) == (restype, argtypes), name


def test_package_version_is_the_project_version():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    assert re.search(r"project\(korvel VERSION ([\d.]+)", cmake).group(1) == korvel.__version__


def test_public_functions_have_docstrings_and_type_hints():
    for name in korvel.__all__:
        obj = getattr(korvel, name)
        if callable(obj) and not isinstance(obj, type):
            assert obj.__doc__, name
            assert "return" in obj.__annotations__, name


def _views(data: bytes):
    padded = bytearray(b"xx" + data + b"yy")
    return {
        "bytes": data,
        "bytearray": bytearray(data),
        "memoryview": memoryview(data),
        "memoryview slice at an offset": memoryview(padded)[2:-2],
        "array": array("B", data),
    }


@pytest.mark.parametrize("kind", list(_views(b"").keys()))
def test_every_bytes_like_input_gives_the_same_result(media, kind):
    data = media["av.mp4"]
    assert korvel.info(_views(data)[kind]) == korvel.info(data)
    assert korvel.mute(_views(data)[kind]) == korvel.mute(data)


def test_input_is_passed_by_pointer_not_copied():
    buffer = bytearray(b"\x01\x02\x03\x04" * 16)
    address = ctypes.addressof((ctypes.c_char * len(buffer)).from_buffer(buffer))
    window = memoryview(buffer)[8:40]
    with _native.borrowed(window) as (pointer, length):
        assert ctypes.cast(pointer, ctypes.c_void_p).value == address + 8
        assert length == 32
        # The export is held: the buffer cannot move under the library.
        with pytest.raises(BufferError):
            buffer.extend(b"more")
    window.release()
    buffer.extend(b"more")  # free to move again once the call is over


@pytest.mark.parametrize("bad", [42, memoryview(bytes(16))[::2]])
def test_non_buffer_or_non_contiguous_input_is_refused(bad):
    with pytest.raises((TypeError, BufferError)):
        korvel.info(bad)


@pytest.mark.parametrize("data", [b"", b"no media file at all" * 50], ids=["empty", "garbage"])
@pytest.mark.parametrize("call, operation", [
    (korvel.info, "get_video_info"),
    (korvel.mute, "mute_video"),
    (lambda d: korvel.trim(d, start=1.0), "trim_video"),
])
def test_unusable_input_raises_korvel_error_naming_the_operation(data, call, operation):
    with pytest.raises(korvel.KorvelError) as caught:
        call(data)
    assert not isinstance(caught.value, ValueError)
    assert caught.value.operation == operation
    assert operation in str(caught.value)


@pytest.mark.parametrize("call", [
    lambda d: korvel.reencode(d, crf=2 ** 31),
    lambda d: korvel.reencode(d, width=-(2 ** 31) - 1),
    lambda d: korvel.rotate(d, 2 ** 32 + 90),  # would wrap to 90 in C
    lambda d: korvel.to_gif(d, fps=2 ** 40),
    lambda d: korvel.convert(d, "mp4\0junk"),
])
def test_values_c_cannot_hold_are_refused_before_the_call(call):
    with pytest.raises(korvel.KorvelArgumentError) as caught:
        call(b"")
    assert isinstance(caught.value, ValueError)


class FreeCounter:
    def __init__(self, real):
        self.real = real
        self.freed = []

    def __call__(self, block):
        self.freed.append(ctypes.cast(block, ctypes.c_void_p).value)
        self.real(block)


@pytest.fixture
def free_counter(monkeypatch):
    counter = FreeCounter(_native._free)
    monkeypatch.setattr(_native, "_free", counter)
    return counter


def test_each_result_block_is_freed_exactly_once(media, free_counter):
    data = media["av.mp4"]
    korvel.info(data)
    korvel.convert(data, "matroska")
    korvel.trim(data, start=0.5, end=1.5)
    korvel.mute(data)
    assert len(free_counter.freed) == 4 and all(free_counter.freed)


def test_a_null_result_frees_nothing(free_counter):
    with pytest.raises(korvel.KorvelError):
        korvel.mute(b"nothing")
    assert free_counter.freed == []


def test_block_is_freed_when_copying_it_fails(media, free_counter, monkeypatch):
    def failing_copy(*args):
        raise MemoryError("no room for the copy")
    monkeypatch.setattr(ctypes, "string_at", failing_copy)
    with pytest.raises(MemoryError):
        korvel.mute(media["av.mp4"])
    with pytest.raises(MemoryError):
        korvel.info(media["av.mp4"])
    assert len(free_counter.freed) == 2 and all(free_counter.freed)
