"""Builds the native helper modules with CMake (tavlomer_testing for the tests,
tavlomer_bench for the benchmarks, the boundary probe), once per interpreter."""

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


def cmake_build(source: Path, build: Path, options=(), target=None) -> None:
    """Configures the CMake project `source` in `build` for this interpreter
    (Release, with the options given as "NAME=VALUE") and builds `target`, or
    everything."""
    configure = [_cmake(), "-S", str(source), "-B", str(build),
                 *(f"-D{option}" for option in options),
                 f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release"]
    ninja = Path(sys.executable).parent / "ninja"
    if ninja.exists() and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    command = [_cmake(), "--build", str(build), "-j2"]
    if target is not None:
        command += ["--target", target]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def build_native(target: str, option: str, folder: Path) -> Path:
    """Builds the extension `target` of this project (CMake option `option`
    on) for this interpreter in `folder`/<cache tag> and returns that folder."""
    build = folder / sys.implementation.cache_tag
    cmake_build(ROOT, build, [f"{option}=ON"], target)
    return build
