"""Which files a batch reads and where each result goes.

An input is a file, a folder (walked, hidden entries skipped) or a glob
pattern (``**`` reaches into sub-folders). Each file's output keeps its path
relative to where it was found: a file named directly lands at the top of the
output folder, a file found in a folder or below a pattern's fixed part keeps
the sub-folders it was found in. Names that still meet (``clip.mp4`` and
``clip.mov`` both giving ``clip.gif``, or two files of the same name named
directly) are told apart by ``~2``, ``~3``... in the order the inputs are
listed, so the same command gives the same names every time.
"""

from __future__ import annotations

import glob
import os
from dataclasses import dataclass
from typing import Callable, Iterable, Iterator, List, Set, Tuple, Union

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Item:
    source: str   # absolute path of the input
    target: str   # absolute path of its output


def _walk(folder: str, skip: str) -> Iterator[str]:
    for root, dirs, files in os.walk(folder):
        # A walk never descends into the batch's own output folder.
        dirs[:] = sorted(d for d in dirs if not d.startswith(".")
                         and os.path.realpath(os.path.join(root, d)) != skip)
        for name in sorted(files):
            if not name.startswith("."):
                yield os.path.join(root, name)


def _fixed_part(pattern: str) -> str:
    """The folder a pattern starts from: its components before the first
    one with a wildcard."""
    parts = []
    for part in pattern.split(os.sep):
        if glob.has_magic(part):
            break
        parts.append(part)
    return os.sep.join(parts) or "."


def expand(inputs: Union[PathLike, Iterable[PathLike]],
           output_dir: str) -> List[Tuple[str, str, str]]:
    """(absolute path, path relative to where it was found, real path) of
    every input file, in the order given, each file once."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    skip = os.path.realpath(output_dir)
    found: List[Tuple[str, str, str]] = []
    seen: Set[str] = set()

    def add(path: str, base: str) -> None:
        real = os.path.realpath(path)
        if real not in seen:
            seen.add(real)
            found.append((os.path.abspath(path), os.path.relpath(path, base), real))

    for entry in inputs:
        entry = os.fspath(entry)
        if os.path.isdir(entry):
            if os.path.realpath(entry) == skip:
                raise ValueError(f"{entry!r} is the output folder too; choose another one")
            for path in _walk(entry, skip):
                add(path, entry)
        elif os.path.isfile(entry):
            add(entry, os.path.dirname(entry) or ".")
        elif glob.has_magic(entry):
            matches = sorted(p for p in glob.glob(entry, recursive=True) if os.path.isfile(p)
                             and not os.path.realpath(p).startswith(skip + os.sep))
            if not matches:
                raise FileNotFoundError(f"no file matches {entry!r}")
            base = _fixed_part(entry)
            for path in matches:
                add(path, base)
        else:
            raise FileNotFoundError(f"no such file or folder: {entry!r}")
    return found


def plan(found: Iterable[Tuple[str, str, str]], output_dir: str,
         suffix: Callable[[str], str], reserved: Iterable[str] = ()) -> List[Item]:
    """The output path of every input: its relative path under output_dir
    with the extension `suffix(input extension)`, made unique."""
    out = os.path.abspath(output_dir)
    real_out = os.path.realpath(out)
    taken: Set[str] = {os.path.normcase(os.path.join(out, r)) for r in reserved}
    items = []
    for source, relative, real in found:
        stem, ext = os.path.splitext(relative)
        new_ext = suffix(ext)
        target = os.path.join(out, stem + new_ext)
        number = 1
        while os.path.normcase(target) in taken:
            number += 1
            target = os.path.join(out, f"{stem}~{number}{new_ext}")
        if os.path.join(real_out, os.path.relpath(target, out)) == real:
            raise ValueError(f"the output of {source} would replace the input itself; "
                             "choose another output folder")
        taken.add(os.path.normcase(target))
        items.append(Item(source, target))
    return items
