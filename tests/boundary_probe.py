"""The module's boundary code over stand-in models (tests/native/boundary_probe).

The stand-in list models echo ``l + bl + bf + [re, rstar]`` in the order the
model received them; ``heyrovsky_magnification(l, r, re, rstar)`` gives the
four values as decimal digits (1, 2, 3, 4 -> 1234.0).  A negative ``rstar``
selects a failure instead (``Command``).  The probe is built once per
interpreter next to tavlomer_testing and loaded from its own folder under the
module name ``tavlomer``, so it never replaces the installed module.
"""

import enum
import importlib.util
import os
import sys
from pathlib import Path

from native_build import ROOT, cmake_build

SOURCE = ROOT / "tests" / "native" / "boundary_probe"


class Command(float, enum.Enum):
    """What the stand-in models do when given ``rstar`` = the value."""

    NUMERIC_ERROR = -1.0      # RuntimeError "ellipk: m must be less than 1."
    OUT_OF_MEMORY = -2.0      # throws std::bad_alloc
    UNREPORTABLE = -3.0       # a NumericError whose text is not UTF-8
    LENGTH_MISMATCH = -4.0    # unequal bl and bf
    FOREIGN_EXCEPTION = -5.0  # throws std::runtime_error
    FACELESS_FAULT = -6.0     # throws an int


def _build() -> Path:
    base = Path(os.environ.get("TAVLOMER_TESTING_BUILD", ROOT / "build" / "testing"))
    build = base / sys.implementation.cache_tag / "boundary_probe"
    cmake_build(SOURCE, build)
    (built,) = build.glob("tavlomer.*.so")
    return built


_probe = None


def load():
    """The probe module, built and loaded on first use."""
    global _probe
    if _probe is None:
        spec = importlib.util.spec_from_file_location("tavlomer", _build())
        # Loading an extension registers it in sys.modules under its name:
        # put the real module back.
        real = sys.modules.get("tavlomer")
        try:
            _probe = importlib.util.module_from_spec(spec)
        finally:
            if real is not None:
                sys.modules["tavlomer"] = real
    return _probe
