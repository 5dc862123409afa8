"""Every Python code block of README.md runs, and shows what it says.

The blocks (```python fences) are found wherever they are in the file and run
in order in one namespace, as a reader would type them into one session, from
the project's root folder.  An expression statement followed directly by
full-line comments is checked doctest-style: the comments (without "# ")
must equal the value's repr(), or, for a value of None, what the statement
printed.

A block that needs something the tests cannot have (a Dask cluster, say) is
marked on the line just above its fence:

    <!-- readme-test: skip: the reason -->

and is reported as skipped with that reason.  A block that needs a package
one of the interpreters cannot install (JAX under PyPy) names it:

    <!-- readme-test: needs jax -->

and runs, with its namespace, only where that package imports.
"""

import ast
import contextlib
import importlib.util
import io
import re
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
SKIP = re.compile(r"<!--\s*readme-test:\s*skip:?\s*(.*?)\s*-->")
NEEDS = re.compile(r"<!--\s*readme-test:\s*needs\s+([\w.]+)\s*-->")


def _missing(package):
    return package is not None and importlib.util.find_spec(package) is None


def _blocks():
    """(first line number, code, skip reason or None, package needed or None)
    of each Python block."""
    lines = README.read_text(encoding="utf-8").splitlines()
    blocks, i = [], 0
    while i < len(lines):
        if lines[i].strip() == "```python":
            start = i + 1
            end = start
            while lines[end].strip() != "```":
                end += 1
            marker = SKIP.search(lines[i - 1]) if i > 0 else None
            needs = NEEDS.search(lines[i - 1]) if i > 0 else None
            blocks.append((start + 1, "\n".join(lines[start:end]) + "\n",
                           (marker.group(1) or "marked to skip") if marker else None,
                           needs.group(1) if needs else None))
            i = end
        i += 1
    return blocks


BLOCKS = _blocks()


def _run(code, namespace, first_line):
    """Runs `code` (README.md from `first_line` on) statement by statement,
    checking the expected outputs."""
    where = "README.md"
    source = code.splitlines()
    for statement in ast.parse(code, filename=where).body:
        expected = []
        for line in source[statement.end_lineno:]:
            if not line.startswith("#"):
                break
            expected.append(line[1:].strip())
        compiled = compile(ast.Module(body=[statement], type_ignores=[]), where, "exec")
        if not (expected and isinstance(statement, ast.Expr)):
            exec(compiled, namespace)
            continue
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            value = eval(compile(ast.Expression(statement.value), where, "eval"), namespace)
        shown = printed.getvalue().strip() if value is None else repr(value)
        assert shown == "\n".join(expected), (
            f"README.md:{first_line + statement.lineno - 1}: "
            f"{ast.get_source_segment(code, statement)}")


@pytest.mark.parametrize("index", range(len(BLOCKS)),
                         ids=[f"line {line}" for line, _, _, _ in BLOCKS])
def test_readme_block(index, monkeypatch):
    line, code, skip, needs = BLOCKS[index]
    if skip:
        pytest.skip(skip)
    if _missing(needs):
        pytest.skip(f"needs {needs}, which this interpreter does not have")
    # The blocks before this one make its namespace, as in a reader's session.
    monkeypatch.chdir(README.parent)
    monkeypatch.setattr(sys, "path", list(sys.path))
    namespace = {"__name__": "__readme__"}
    for earlier_line, earlier_code, earlier_skip, earlier_needs in BLOCKS[:index]:
        if not earlier_skip and not _missing(earlier_needs):
            _run(earlier_code, namespace, earlier_line)
    _run(code, namespace, line)


def test_readme_has_checked_figures():
    # The quick start's figures are the point of this test: it must find them.
    assert any("# [" in code for _, code, skip, _ in BLOCKS if not skip)
