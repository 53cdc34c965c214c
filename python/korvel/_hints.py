"""The names the package's annotations use, for code that resolves them at
run time (``typing.get_type_hints(korvel.to_gif, localns=vars(_hints))``).
The package itself imports this only for the type checker: typing costs a
cold process more than the package's own start-up."""

from __future__ import annotations

import os
from typing import IO, Any, Callable, Dict, List, Optional, Sequence, Union

from ._types import MediaInfo

__all__ = ["IO", "Any", "Callable", "Dict", "List", "Optional", "Sequence", "Union",
           "MediaInfo", "Media", "Output", "os"]

# A bytes-like object, a file name, or a binary file object. (bytes also
# stands for bytearray and memoryview here; any object with a contiguous
# buffer, such as array.array or mmap.mmap, works as well.)
Media = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", IO[bytes]]
# bytes by default; with copy=False a memoryview that owns the library's
# result block (see korvel._result).
Output = Union[bytes, memoryview]
