"""The module object: its functions, their signatures, and initialisation."""

import importlib
import inspect
import platform
import shutil
import subprocess
import sys

import pytest

import tavlomer

PYPY = platform.python_implementation() == "PyPy"

SIGNATURES = {
    "witt_mao_magnification": "(l, re, rstar)",
    "integrated_witt_mao_magnification": "(l, re, rstar)",
    "integrated_flux_map_witt_mao_magnification": "(l, re, rstar, bl, bf)",
    "heyrovsky_magnification": "(l, r, re, rstar)",
    "integrated_heyrovsky_magnification": "(l, re, rstar)",
    "integrated_flux_map_heyrovsky_magnification": "(l, re, rstar, bl, bf)",
    "discrete_flux_map_heyrovsky_magnification": "(l, re, rstar, bl, bf)",
}


def test_module_lists_its_seven_functions_in_order():
    assert tavlomer.__name__ == "tavlomer"
    assert isinstance(tavlomer.__doc__, str) and tavlomer.__doc__
    assert tavlomer.__all__ == list(SIGNATURES)
    public = {name for name in vars(tavlomer) if not name.startswith("_")}
    assert public == set(SIGNATURES)


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_function_carries_its_signature_header(name, signature):
    function = getattr(tavlomer, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__module__ == "tavlomer"
    # The whole documentation is the signature header: nothing after it.
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    parameters = inspect.signature(function).parameters
    assert "(" + ", ".join(parameters) + ")" == signature
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    if not PYPY:  # PyPy's C-level functions have no __self__
        assert function.__self__ is tavlomer


def test_second_initialisation_gives_the_same_module():
    tavlomer.added_by_the_test = 42
    try:
        del sys.modules["tavlomer"]
        again = importlib.import_module("tavlomer")
    finally:
        sys.modules["tavlomer"] = tavlomer
        del tavlomer.added_by_the_test
    if PYPY:
        # PyPy never calls an extension's initialisation entry twice for one
        # file: it makes a new module from a copy of the first one's
        # namespace as it was right after initialisation.
        assert again is not tavlomer
        assert not hasattr(again, "added_by_the_test")
    else:
        # The cached module, with whatever attributes it has by now.
        assert again is tavlomer
    assert all(getattr(again, name) is getattr(tavlomer, name) for name in SIGNATURES)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
def test_only_the_initialisation_entry_is_exported():
    listed = subprocess.run(["nm", "-D", "--defined-only", tavlomer.__file__],
                            capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listed.splitlines()] == ["PyInit_tavlomer"]
