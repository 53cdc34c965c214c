"""The C side of the package: loading libkorvel.so, the fifteen declarations,
borrowing the caller's bytes and taking ownership of result blocks."""

from __future__ import annotations

import ctypes
import os
from contextlib import contextmanager
from typing import Callable, Dict, Iterator, Optional, Tuple

_u8 = ctypes.c_uint8
_u8p = ctypes.POINTER(_u8)
_u64 = ctypes.c_uint64
_u64p = ctypes.POINTER(_u64)
_i32 = ctypes.c_int32
_f64 = ctypes.c_double
_text = ctypes.c_char_p
# get_video_info's result is declared as a pointer, not c_char_p: c_char_p
# would turn it into bytes at once and lose the address that must be freed.
_charp = ctypes.POINTER(ctypes.c_char)

# name: (restype, argtypes), exactly as include/korvel.h declares them.
SIGNATURES: Dict[str, Tuple[type, Tuple[type, ...]]] = {
    "get_video_info": (_charp, (_u8p, _u64)),
    "convert_format": (_u8p, (_u8p, _u64, _text, _u64p)),
    "trim_video": (_u8p, (_u8p, _u64, _u64p, _f64, _f64)),
    "mute_video": (_u8p, (_u8p, _u64, _u64p)),
    "strip_metadata": (_u8p, (_u8p, _u64, _u64p)),
    "set_metadata": (_u8p, (_u8p, _u64, _text, _text, _u64p)),
    "change_speed": (_u8p, (_u8p, _u64, _u64p, _f64)),
    "merge_videos": (_u8p, (_u8p, _u64, _u8p, _u64, _u64p)),
    "extract_audio": (_u8p, (_u8p, _u64, _text, _u64p)),
    "adjust_volume": (_u8p, (_u8p, _u64, _u64p, _f64)),
    "reencode_video": (_u8p, (_u8p, _u64, _i32, _text, _i32, _i32, _u64p)),
    "rotate_video": (_u8p, (_u8p, _u64, _i32, _u64p)),
    "reverse_video": (_u8p, (_u8p, _u64, _u64p)),
    "video_to_gif": (_u8p, (_u8p, _u64, _i32, _i32, _u64p, _f64, _f64)),
    "extract_frame": (_u8p, (_u8p, _u64, _text, _u64p, _f64)),
}

LIBRARY_ENV = "KORVEL_LIBRARY"


class KorvelError(Exception):
    """An operation of the library returned no result.

    ``operation`` names the C function that failed.
    """

    def __init__(self, operation: str, message: str) -> None:
        super().__init__(f"{operation}: {message}")
        self.operation = operation


class KorvelArgumentError(KorvelError, ValueError):
    """The library refused an argument (an unknown format name, an angle that
    is not a quarter or half turn, a speed factor not above 0, an integer
    outside the 32-bit range)."""


def library_path() -> str:
    """Where libkorvel.so is taken from: $KORVEL_LIBRARY when set, else the
    copy inside an installed wheel (korvel/_lib/), else the loader's search."""
    explicit = os.environ.get(LIBRARY_ENV)
    if explicit:
        return explicit
    # In a wheel the library lies two folders below site-packages, so that its
    # run-time search path $ORIGIN/../../korvel.libs reaches the bundled FFmpeg.
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_lib", "libkorvel.so")
    if os.path.exists(bundled):
        return bundled
    return "libkorvel.so"


def _load() -> ctypes.CDLL:
    path = library_path()
    try:
        # CDLL (not PyDLL): every call releases the interpreter lock.
        return ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(
            f"korvel: cannot load {path} ({error}); build the library and set "
            f"{LIBRARY_ENV} to its path, or install the korvel wheel") from error


_lib = _load()
PATH: str = _lib._name

# The result blocks come from the C library's malloc; free must be the one the
# process resolves globally (the same one the library's malloc pairs with,
# even under an interposing allocator).
_free = ctypes.CDLL(None).free
_free.argtypes = (ctypes.c_void_p,)
_free.restype = None

FUNCTIONS: Dict[str, Callable] = {}
MISSING = []
for _name, (_restype, _argtypes) in SIGNATURES.items():
    try:
        _fn = getattr(_lib, _name)
    except AttributeError:
        MISSING.append(_name)
        continue
    _fn.restype = _restype
    _fn.argtypes = _argtypes
    FUNCTIONS[_name] = _fn


def function(name: str) -> Callable:
    try:
        return FUNCTIONS[name]
    except KeyError:
        raise KorvelError(name, f"not exported by {PATH}") from None


class _PyBuffer(ctypes.Structure):
    # Py_buffer (part of the stable ABI since 3.11, unchanged since 3.3).
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


# pythonapi holds the interpreter lock and raises the Python error these set.
_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = (ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int)
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = (ctypes.POINTER(_PyBuffer),)
_release_buffer.restype = None
_PYBUF_SIMPLE = 0


@contextmanager
def borrowed(data: object) -> Iterator[Tuple[object, int]]:
    """(pointer, length) of any contiguous bytes-like object, without a copy.

    The buffer export is held until the block ends, so a bytearray cannot be
    resized or freed while the library reads it outside the interpreter lock.
    """
    view = _PyBuffer()
    _get_buffer(data, ctypes.byref(view), _PYBUF_SIMPLE)
    try:
        yield ctypes.cast(view.buf, _u8p), view.len
    finally:
        _release_buffer(ctypes.byref(view))


def take_block(operation: str, block: object, size: int,
               refused: Optional[str] = None) -> bytes:
    """Copies a result block into bytes and frees it, exactly once on every
    path. A null block raises; `refused` (when set) says which argument the
    library refused."""
    try:
        if not block:
            if refused is not None:
                raise KorvelArgumentError(operation, refused)
            raise KorvelError(operation, "no result (input not usable for this operation)")
        return ctypes.string_at(block, size)
    finally:
        if block:
            _free(block)


def take_text(operation: str, block: object) -> str:
    try:
        if not block:
            raise KorvelError(operation, "no result (not a media file the library can open)")
        return ctypes.string_at(block).decode("utf-8")
    finally:
        if block:
            _free(block)


def out_size() -> _u64:
    return _u64(0)
