"""Results without a copy: the library's result block, seen through a
memoryview that owns it.

A producing function called with ``copy=False`` returns a ``memoryview`` of
unsigned bytes (format ``"B"``) over the very block the C library returned.
It behaves as any memoryview: ``len``, slicing (slices are views of the same
block), ``==`` against bytes, ``bytes(view)``, ``file.write(view)``,
``memoryview(view)``, ``view.tobytes()``, and ``with ... as view:``.

The block is released with the C library's ``free`` exactly once, as soon as
the last view of it is released (``view.release()``, the end of a ``with``
block) or garbage-collected. Views derived from it (slices, ``memoryview()``
of it, buffers held by other libraries) keep it alive: releasing one view
never frees memory another still shows, and ``release()`` refuses
(``BufferError``) while something holds an export of that very view.
"""

from __future__ import annotations

import ctypes
import threading
import weakref

TYPE_CHECKING = False
if TYPE_CHECKING:  # for the type checker only, like everywhere in the package
    from typing import Any, Callable

from . import _native

_u8 = ctypes.c_uint8

# Blocks handed to views and not yet freed; read by tests and leak checks.
_lock = threading.Lock()
_outstanding = 0


def outstanding() -> int:
    """How many result blocks are held by views and not yet freed."""
    return _outstanding


# Looked up at each release, so that a test can wrap it to count calls.
_free: Callable[[int], None] = _native._free


def _release(address: int) -> None:
    global _outstanding
    with _lock:
        _outstanding -= 1
    _free(address)


def adopt(block: Any, size: int) -> memoryview:
    """Hands a non-null result block of `size` bytes to a new memoryview that
    owns it. The caller must not free the block afterwards."""
    global _outstanding
    address = ctypes.cast(block, ctypes.c_void_p).value
    assert address, "adopt needs a result block"
    try:
        # The array only describes the block; from_address does not own it.
        array = (_u8 * size).from_address(address)
        # Runs once, when the last view goes and the array with it.
        finalizer = weakref.finalize(array, _release, address)
        # At interpreter exit a view may still be read by other finalizers:
        # the process gives the memory back then anyway.
        finalizer.atexit = False
    except BaseException:
        _free(address)
        raise
    with _lock:
        _outstanding += 1
    # The view's buffer keeps `array` alive; cast("B") gives plain bytes
    # semantics (ctypes exports "<B"), sharing the same buffer.
    return memoryview(array).cast("B")

