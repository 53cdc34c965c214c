"""``python -m korvel`` and the ``korvel`` command: run the command-line tool
that ships inside the package (korvel/_lib/korvel), with the same arguments,
standard streams and exit status."""

from __future__ import annotations

import os
import sys
from typing import List, Optional


def tool_path() -> str:
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "_lib", "korvel")


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    tool = tool_path()
    if not os.access(tool, os.X_OK):
        sys.stderr.write(f"korvel: this installation has no command-line tool ({tool})\n")
        return 127
    sys.stdout.flush()
    sys.stderr.flush()
    # The process becomes the tool: signals, exit status and the standard
    # streams (pipes of media bytes included) are the tool's own.
    os.execv(tool, ["korvel", *args])
    return 0  # not reached


if __name__ == "__main__":
    sys.exit(main())
