"""Shared test setup.

The kernels are tested directly through ``tavlomer_testing``, a small
extension built from the same sources as ``tavlomer`` but never installed.
It is built here on first use, once per interpreter, into
``build/testing/<cache tag>``; ``TAVLOMER_TESTING_BUILD`` names another build
folder, and ``TAVLOMER_TESTING_DIR`` points at a prebuilt module instead (for
example a sanitizer build).
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def _cmake() -> str:
    local = Path(sys.executable).parent / "cmake"
    if local.exists():
        return str(local)
    found = shutil.which("cmake")
    if found is None:
        raise RuntimeError("cmake is needed to build tavlomer_testing (pip install cmake)")
    return found


def _testing_module_dir() -> Path:
    prebuilt = os.environ.get("TAVLOMER_TESTING_DIR")
    if prebuilt:
        return Path(prebuilt)
    build = Path(os.environ.get("TAVLOMER_TESTING_BUILD",
                                ROOT / "build" / "testing")) / sys.implementation.cache_tag
    configure = [
        _cmake(), "-S", str(ROOT), "-B", str(build),
        "-DTAVLOMER_BUILD_TESTING=ON",
        f"-DPython_EXECUTABLE={sys.executable}",
        "-DCMAKE_BUILD_TYPE=Release",
    ]
    ninja = Path(sys.executable).parent / "ninja"
    if ninja.exists() and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([_cmake(), "--build", str(build), "--target", "tavlomer_testing", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    return build


# Appended, not prepended: the installed tavlomer must never be shadowed.
sys.path.append(str(_testing_module_dir()))
