"""Shared test setup.

The kernels are tested directly through ``tavlomer_testing``, a small
extension built from the same sources as ``tavlomer`` but never installed.
It is built here on first use, once per interpreter, into
``build/testing/<cache tag>``; ``TAVLOMER_TESTING_BUILD`` names another build
folder, and ``TAVLOMER_TESTING_DIR`` points at a prebuilt module instead (for
example a sanitizer build).
"""

import os
import sys
from pathlib import Path

from native_build import ROOT, build_native


def _testing_module_dir() -> Path:
    prebuilt = os.environ.get("TAVLOMER_TESTING_DIR")
    if prebuilt:
        return Path(prebuilt)
    folder = Path(os.environ.get("TAVLOMER_TESTING_BUILD", ROOT / "build" / "testing"))
    return build_native("tavlomer_testing", "TAVLOMER_BUILD_TESTING", folder)


# Appended, not prepended: the installed tavlomer must never be shadowed.
sys.path.append(str(_testing_module_dir()))
