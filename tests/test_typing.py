"""The installed type stubs: mypy finds them for the installed module (run
from a folder outside the checkout, so only site-packages can supply them),
accepts the calls a modeller writes with the result types the module returns,
and rejects the calls that fail at run time."""

import importlib
import importlib.util
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent / "typed_usage"

pytestmark = [
    pytest.mark.skipif(platform.python_implementation() != "CPython",
                       reason="mypy runs in the CPython test environment only"),
]


def _mypy(tmp_path, name):
    pytest.importorskip("mypy")
    shutil.copy(HERE / name, tmp_path / name)
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / ".mypy_cache"), name],
        cwd=tmp_path, capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


@pytest.mark.parametrize("name", ["tavlomer", "tavlomer_physics"])
def test_stub_package_is_installed_beside_the_module(name):
    module = importlib.import_module(name)

    path = Path(module.__file__)
    # A package's stub is its own __init__.pyi; a module's lies beside it.
    if path.name == "__init__.py":
        site, beside = path.parent.parent, path.parent / "__init__.pyi"
    else:
        site, beside = path.parent, path.parent / f"{name}.pyi"
    stub = (site / f"{name}-stubs" / "__init__.pyi").read_text()
    assert beside.read_text() == stub
    # Every public function has a stub, and nothing else is declared public.
    declared = list(dict.fromkeys(re.findall(r"^def (\w+)\(", stub, flags=re.M)))
    assert declared == module.__all__


def test_typed_usage_passes_strict_mypy_with_precise_results(tmp_path):
    pytest.importorskip("numpy")
    code, out = _mypy(tmp_path, "usage_ok.py")
    assert code == 0, out
    revealed = re.findall(r'Revealed type is "([^"]+)"', out)
    assert revealed[:3] == ["builtins.list[builtins.float]", "builtins.float",
                            "builtins.list[builtins.float]"] or \
        revealed[:3] == ["list[float]", "float", "list[float]"], out
    # tavlomer_physics: a float for numbers, a float64 array otherwise.
    assert revealed[3] in ("float", "builtins.float"), out
    assert re.fullmatch(r"numpy\.ndarray\[.*, numpy\.dtype\[numpy\.float64\]\]", revealed[4]), out
    # gradient=True: a tuple of results, each a float or an array.
    assert "float" in revealed[5] and "numpy.float64" in revealed[5], out
    assert len(revealed) == 6, out


def test_typed_usage_runs():
    pytest.importorskip("numpy")
    subprocess.run([sys.executable, str(HERE / "usage_ok.py")], check=True)


def test_mypy_rejects_exactly_the_calls_that_fail(tmp_path):
    code, out = _mypy(tmp_path, "usage_bad.py")
    assert code == 1, out
    lines = (HERE / "usage_bad.py").read_text().splitlines()
    expected = {i + 1 for i, line in enumerate(lines) if "# E:" in line}
    reported = {int(n) for n in re.findall(r"^usage_bad\.py:(\d+): error:", out, flags=re.M)}
    assert reported == expected, out


def test_physics_stubs_are_what_the_generator_writes():
    # The stubs derive from the module's signatures, which derive from its law
    # table: a law added there reaches them by rerunning the generator.
    spec = importlib.util.spec_from_file_location(
        "generate_physics_stubs", HERE.parent.parent / "tools" / "generate_physics_stubs.py")
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    assert generator.render() == generator.OUTPUT.read_text()
    assert generator.render_jax() == generator.JAX_OUTPUT.read_text()
