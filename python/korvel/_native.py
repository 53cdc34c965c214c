"""The C side of the package: loading libkorvel.so, the fifteen declarations,
the FFmpeg functions the package reaches through it, opening the caller's
input (a buffer, a path or a file object) without copying it, and taking
ownership of result blocks."""

from __future__ import annotations

import ctypes
import mmap
import os
from contextlib import contextmanager

# typing is for the type checker only: importing it costs a cold process
# more than the whole of this package's own start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Tuple

    View = Tuple[Any, int]

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

FUNCTIONS: Dict[str, Any] = {}
MISSING: List[str] = []
for _name, (_restype, _argtypes) in SIGNATURES.items():
    try:
        _fn = getattr(_lib, _name)
    except AttributeError:
        MISSING.append(_name)
        continue
    _fn.restype = _restype
    _fn.argtypes = _argtypes
    FUNCTIONS[_name] = _fn


def function(name: str) -> Any:
    try:
        return FUNCTIONS[name]
    except KeyError:
        raise ImportError(f"korvel: {name} is not exported by {PATH}") from None


def ffmpeg_function(name: str, restype: Any, argtypes: Tuple[Any, ...]) -> Any:
    """An FFmpeg function as libkorvel.so resolves it.

    dlsym on the library's own handle searches the library and then the
    objects it was linked against, in load order: this is the libavutil (or
    libavformat) that libkorvel uses, whatever its file is called (a wheel
    renames the bundled copies), never another FFmpeg the process may hold.
    """
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def object_path(fn: Any) -> str:
    """The file of the loaded object that holds a C function (dladdr)."""
    dladdr = ctypes.CDLL(None).dladdr
    dladdr.argtypes = (ctypes.c_void_p, ctypes.POINTER(_DlInfo))
    dladdr.restype = ctypes.c_int
    found = _DlInfo()
    address = ctypes.cast(fn, ctypes.c_void_p).value
    if not dladdr(address, ctypes.byref(found)) or not found.dli_fname:
        return ""
    return os.fsdecode(found.dli_fname)


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
def borrowed(data: object) -> Iterator[View]:
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


@contextmanager
def opened(data: object) -> Iterator[View]:
    """(pointer, length) of the caller's input, whatever form it takes.

    A str or os.PathLike is a file name: a regular file is mapped read-only
    (nothing is copied), anything else is read. An object with a ``read``
    method is read once. Anything else must export a contiguous buffer.
    """
    if isinstance(data, (str, os.PathLike)):
        with open(data, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            if size == 0:
                with borrowed(file.read()) as view:
                    yield view
                return
            with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                with borrowed(mapped) as view:
                    yield view
        return
    read = getattr(data, "read", None)
    if read is not None and not isinstance(data, (bytes, bytearray, memoryview)):
        content = read()
        if not isinstance(content, (bytes, bytearray, memoryview)):
            raise TypeError(f"korvel: {type(data).__name__}.read() returned "
                            f"{type(content).__name__}, not bytes (open the file in binary mode)")
        data = content
    with borrowed(data) as view:
        yield view


def take_block(block: Any, size: int) -> bytes:
    """Copies a result block into bytes and frees it, exactly once."""
    try:
        return ctypes.string_at(block, size)
    finally:
        _free(block)


def take_text(block: Any) -> str:
    try:
        return ctypes.string_at(block).decode("utf-8")
    finally:
        _free(block)


def out_size() -> Any:
    return _u64(0)


def checkout_version() -> str:
    """The version declared by CMake's project() line of the source checkout
    this package lies in, or "0+unknown"."""
    import re
    from pathlib import Path
    try:
        text = (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    except OSError:
        return "0+unknown"
    found = re.search(r"^project\(korvel VERSION ([0-9.]+)", text, re.M)
    return found.group(1) if found else "0+unknown"
