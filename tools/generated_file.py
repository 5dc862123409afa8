"""The command line shared by the generators in tools/: each renders one
generated source file and either rewrites it or prints it."""

import sys
from pathlib import Path
from typing import Callable


def main(argv: list, render: Callable[[], str], output: Path, usage: str) -> int:
    """`GENERATOR` rewrites `output`; `GENERATOR --stdout` prints it instead."""
    text = render()
    if argv[1:] == ["--stdout"]:
        sys.stdout.write(text)
    elif not argv[1:]:
        output.write_text(text)
    else:
        sys.stderr.write(usage)
        return 2
    return 0
