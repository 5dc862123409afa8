"""Builds the native helper modules (tavlomer_testing for the tests,
tavlomer_bench for the benchmarks) with CMake, once per interpreter."""

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
        raise RuntimeError("cmake is needed to build the native helper modules (pip install cmake)")
    return found


def build_native(target: str, option: str, folder: Path) -> Path:
    """Builds the extension `target` (CMake option `option` on) for this
    interpreter in `folder`/<cache tag> and returns that folder."""
    build = folder / sys.implementation.cache_tag
    configure = [
        _cmake(), "-S", str(ROOT), "-B", str(build),
        f"-D{option}=ON",
        f"-DPython_EXECUTABLE={sys.executable}",
        "-DCMAKE_BUILD_TYPE=Release",
    ]
    ninja = Path(sys.executable).parent / "ninja"
    if ninja.exists() and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([_cmake(), "--build", str(build), "--target", target, "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    return build
