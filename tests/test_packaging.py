"""The installed distribution's metadata: what PyPI and pip show a user."""

import re
from importlib import metadata
from pathlib import Path

import tavlomer

ROOT = Path(__file__).resolve().parent.parent


def test_version_licence_and_description():
    meta = metadata.metadata("tavlomer")
    assert re.fullmatch(r"\d+\.\d+\.\d+", meta["Version"])
    assert "MIT" in (meta.get("License") or meta.get("License-Expression") or "")
    assert meta["Summary"].startswith("Finite-source magnification")
    assert meta["Requires-Python"] == ">=3.9"
    # The long description is the README, as a Markdown page.
    assert meta["Description-Content-Type"].startswith("text/markdown")
    body = meta.get_payload() or meta["Description"]
    assert body.strip().startswith("# tavlomer")


def test_classifiers_name_both_interpreters_and_typing():
    classifiers = metadata.metadata("tavlomer").get_all("Classifier")
    for needed in ("Programming Language :: Python :: Implementation :: CPython",
                   "Programming Language :: Python :: Implementation :: PyPy",
                   "License :: OSI Approved :: MIT License",
                   "Typing :: Typed"):
        assert needed in classifiers


def test_extras_for_examples_benchmarks_dask_jax_and_pymc():
    requires = metadata.requires("tavlomer") or []
    extras = {m.group(1) for r in requires for m in [re.search(r'extra == "(\w+)"', r)] if m}
    assert {"test", "examples", "bench", "dask", "jax", "pymc"} <= extras


def test_wheel_carries_module_stubs_and_licence():
    files = {str(f) for f in metadata.files("tavlomer")}
    assert any(f.startswith("tavlomer.") and f.endswith(".so") for f in files)
    assert {"tavlomer.pyi", "tavlomer-stubs/__init__.pyi"} <= files
    # tavlomer_physics is a package: the extension, the JAX module with its
    # FFI handlers and the vendored headers' licence, stubs inline and apart
    # (and the PyTensor module).
    assert any(f.startswith("tavlomer_physics/_core.") and f.endswith(".so") for f in files)
    assert {"tavlomer_physics/__init__.py", "tavlomer_physics/jax.py", "tavlomer_physics/_xla.so",
            "tavlomer_physics/pytensor.py",
            "tavlomer_physics/__init__.pyi", "tavlomer_physics/jax.pyi",
            "tavlomer_physics/py.typed", "tavlomer_physics-stubs/__init__.pyi",
            "tavlomer_physics-stubs/jax.pyi", "tavlomer_physics/xla_ffi_licence/LICENSE",
            "tavlomer_physics/xla_ffi_licence/NOTICE"} <= files
    assert any(f.endswith("LICENSE") for f in files)
    assert Path(tavlomer.__file__).name.startswith("tavlomer.")


def test_numpy_is_the_one_runtime_dependency():
    # tavlomer_physics takes and returns NumPy arrays.
    requires = [r for r in metadata.requires("tavlomer") or [] if "extra ==" not in r]
    assert [r.replace(" ", "") for r in requires] == ["numpy>=1.22"]
