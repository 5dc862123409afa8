"""What the generators in tools/ share: the command line (each renders one
generated source file and either rewrites it or prints it) and the rounding
of their high-precision values to doubles."""

import sys
from pathlib import Path
from typing import Callable


def nearest_double(value) -> float:
    """The double nearest to an mpmath number (or anything mpmath takes).
    mpmath is imported here: the stubs' generator needs none."""
    import mpmath
    from mpmath.libmp import round_nearest, to_float

    return to_float(mpmath.mpf(value)._mpf_, rnd=round_nearest)


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
