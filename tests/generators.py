"""The generators in tools/, loaded as modules: a generated file's test
renders it afresh and compares it with the committed one."""

import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def reproduces(name, generated):
    """Whether tools/<name>.py renders the committed file `generated` (a Path)."""
    return load(name).render() == generated.read_text()
