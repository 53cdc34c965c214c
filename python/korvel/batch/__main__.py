"""python -m korvel.batch VERB INPUT... --out DIR [options]

The verbs are the korvel tool's; each verb's options come from the keyword
arguments of its package function (see _verbs.py). Exit status: 0 when every
input succeeded (or was already done), 1 when any failed, 2 for bad usage.
"""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict, List, Optional

from . import run
from ._verbs import VERBS, options

_TYPES = {"float": float, "int": int, "text": str, "media": str}


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korvel.batch",
        description="Runs one korvel operation over many files: files, folders (walked) "
                    "and glob patterns in, one output per input in --out, a manifest "
                    "of every input in --out/manifest.jsonl.")
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", required=True)
    for verb in VERBS:
        function = verb.function
        summary = (function.__doc__ or "").strip().split("\n")[0]
        sub = verbs.add_parser(verb.verb, help=summary, description=function.__doc__,
                               formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("inputs", nargs="+", metavar="INPUT",
                         help="a file, a folder (walked) or a glob pattern (quote it)")
        sub.add_argument("--out", required=True, metavar="DIR", help="the output folder")
        engine = sub.add_argument_group("engine")
        engine.add_argument("--scheduler", metavar="ADDRESS",
                            help="a running Dask scheduler, e.g. tcp://host:8786 "
                                 "(default: a local cluster on this machine)")
        engine.add_argument("--workers", type=int, metavar="N",
                            help="local worker processes (default: one worker in this process)")
        engine.add_argument("--threads", type=int, metavar="N",
                            help="threads per local worker (default: one per core)")
        engine.add_argument("--no-resume", dest="resume", action="store_false",
                            help="do not skip inputs finished by an earlier run; an existing "
                                 "output fails its input")
        engine.add_argument("--overwrite", action="store_true",
                            help="redo every input and replace existing outputs")
        engine.add_argument("--retries", type=int, default=3, metavar="N",
                            help="times a task lost with its worker is run again (default 3)")
        engine.add_argument("--no-progress", dest="progress", action="store_false",
                            default=None, help="no progress bar even on a terminal")
        own = sub.add_argument_group(f"{verb.verb} options")
        for option in options(verb):
            text = "a path, read by each worker" if option.kind == "media" else (
                "required" if option.required else f"default: {option.default}")
            own.add_argument(f"--{option.name.replace('_', '-')}", dest=f"arg_{option.name}",
                             type=_TYPES[option.kind], required=option.required,
                             default=argparse.SUPPRESS, help=text,
                             metavar=option.name.upper())
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    arguments: Dict[str, Any] = {k[4:]: v for k, v in vars(args).items() if k.startswith("arg_")}
    try:
        summary = run(args.verb, args.inputs, args.out, scheduler=args.scheduler,
                      workers=args.workers, threads=args.threads,
                      processes=bool(args.workers), resume=args.resume,
                      overwrite=args.overwrite, retries=args.retries,
                      progress=args.progress, **arguments)
    except (ValueError, TypeError, OSError, RuntimeError) as error:
        print(f"korvel.batch {args.verb}: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"korvel.batch {args.verb}: interrupted; the same command resumes where "
              "it stopped", file=sys.stderr)
        return 130
    print(f"korvel.batch {args.verb}: {summary}")
    if summary.failed:
        print(f"  failures are listed in {summary.manifest}", file=sys.stderr)
    return 0 if summary.ok else 1


if __name__ == "__main__":
    sys.exit(main())
