"""What a caller sees when something goes wrong inside the module.

Model failures, memory exhaustion and a failure that cannot be reported are
produced on demand by the boundary probe (tests/boundary_probe.py): the
module's boundary code over stand-in models.  Internal faults that the real
module can be driven into (a capacity overflow, unequal flux-map tables) are
raised through it directly.
"""

import platform
import subprocess
import sys
import textwrap

import pytest

import tavlomer
from boundary_probe import Command, load as load_probe

L = [0.5, 1.5]
LIST_FUNCTIONS = [name for name in tavlomer.__all__ if name != "heyrovsky_magnification"]


class Huge:
    """A sequence whose reported length overflows a list of doubles."""

    def __len__(self):
        return 2**60

    def __getitem__(self, index):
        raise IndexError(index)


def fault(module=tavlomer):
    """Drives `module` into an internal fault; returns the PanicException."""
    try:
        module.witt_mao_magnification(Huge(), 1.0, 1.0)
    except BaseException as exception:  # noqa: B036 - a PanicException is the point
        return exception
    raise AssertionError("no fault")


def probe_call(name, rstar, module=None):
    module = module or load_probe()
    if name == "heyrovsky_magnification":
        return module.heyrovsky_magnification(0.5, 1.0, 1.0, rstar)
    tables = ([0.0, 1.0], [1.0]) if "flux_map" in name else ()
    return getattr(module, name)(L, 1.0, rstar, *tables)


# ---- PanicException -------------------------------------------------------------


def test_panic_exception_is_a_base_exception_outside_exception():
    exception = fault()
    cls = type(exception)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == (
        "pyo3_runtime", "PanicException", "PanicException")
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(exception, Exception)
    assert exception.args == ("capacity overflow",)
    assert cls.__doc__.startswith("\n")
    assert cls.__doc__.endswith(
        "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n")

    handled_by = None
    try:
        try:
            tavlomer.witt_mao_magnification(Huge(), 1.0, 1.0)
        except Exception:
            handled_by = Exception
    except BaseException:
        handled_by = BaseException
    assert handled_by is BaseException


def test_every_fault_raises_the_same_class_and_the_module_goes_on():
    first = fault()
    with pytest.raises(BaseException) as second:
        tavlomer.discrete_flux_map_heyrovsky_magnification(L, 1.0, 1.0, [0.0, 1.0], [1.0])
    assert type(second.value) is type(first)
    assert str(second.value) == "assertion `left == right` failed\n  left: 2\n right: 1"
    # Nothing of the failed calls remains.
    assert len(tavlomer.witt_mao_magnification(L, 1.0, 1.0)) == 2
    assert type(fault()) is type(first)


def test_fault_report_goes_to_standard_error(capfd, monkeypatch):
    monkeypatch.delenv("TAVLOMER_BACKTRACE", raising=False)
    fault()
    report = capfd.readouterr().err
    assert "internal fault" in report and "capacity overflow" in report
    assert "convert.cpp" in report  # the source location
    assert "native call stack:" not in report

    monkeypatch.setenv("TAVLOMER_BACKTRACE", "1")
    fault()
    assert "native call stack:" in capfd.readouterr().err


class RaisesFromFloat:
    def __init__(self, exception):
        self.exception = exception

    def __float__(self):
        raise self.exception


def test_own_panic_exception_from_python_code_resumes_as_a_new_one(capfd):
    panic_exception = type(fault())
    capfd.readouterr()
    raised = panic_exception("raised in __float__")
    with pytest.raises(BaseException) as caught:
        tavlomer.witt_mao_magnification([0.5, RaisesFromFloat(raised)], 1.0, 1.0)
    assert type(caught.value) is panic_exception
    assert caught.value is not raised
    assert str(caught.value) == "raised in __float__"
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert "raised in __float__" in err and "in __float__" in err  # the traceback


def test_unprintable_own_panic_exception_resumes_with_a_fixed_message(capfd):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    panic_exception = type(fault())
    with pytest.raises(BaseException) as caught:
        tavlomer.witt_mao_magnification([RaisesFromFloat(panic_exception(Unprintable()))], 1.0, 1.0)
    assert type(caught.value) is panic_exception
    assert str(caught.value) == "Unwrapped panic from Python code"


def test_another_modules_panic_exception_passes_unchanged():
    # Same name, other class: comparisons are by identity.
    foreign = type(fault(load_probe()))
    assert foreign is not type(fault())
    raised = foreign("from elsewhere")
    with pytest.raises(BaseException) as caught:
        tavlomer.witt_mao_magnification([RaisesFromFloat(raised)], 1.0, 1.0)
    assert caught.value is raised


# ---- Model failures ---------------------------------------------------------------


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_numeric_error_is_a_runtime_error_with_its_text(name):
    with pytest.raises(RuntimeError) as caught:
        probe_call(name, Command.NUMERIC_ERROR)
    assert type(caught.value) is RuntimeError
    assert caught.value.args == ("ellipk: m must be less than 1.",)


def test_numeric_error_of_the_ring_kernel():
    with pytest.raises(RuntimeError) as caught:
        probe_call("heyrovsky_magnification", Command.NUMERIC_ERROR)
    assert caught.value.args == ("ellippi: n must be less than 1.",)


@pytest.mark.parametrize("command, message", [
    (Command.LENGTH_MISMATCH, "assertion `left == right` failed\n  left: 2\n right: 1"),
    (Command.FOREIGN_EXCEPTION, "a foreign C++ exception"),
    (Command.FACELESS_FAULT, "the native code faulted without a message"),
])
def test_internal_faults_of_a_model_are_panic_exceptions(command, message, capfd):
    probe = load_probe()
    with pytest.raises(BaseException) as caught:
        probe_call("discrete_flux_map_heyrovsky_magnification", command, probe)
    assert type(caught.value) is type(fault(probe))
    assert str(caught.value) == message
    assert message in capfd.readouterr().err


# ---- Mended: memory exhaustion and failures that cannot be reported ---------------


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_memory_exhaustion_is_a_memory_error(name):
    with pytest.raises(MemoryError):
        probe_call(name, Command.OUT_OF_MEMORY)
    # The module goes on (the probe echoes l, bl, bf, re, rstar).
    tables = [0.0, 1.0, 1.0] if "flux_map" in name else []
    assert probe_call(name, 2.0) == L + tables + [1.0, 2.0]


def test_a_failure_that_cannot_be_reported_raises_system_error(capfd):
    # The model's message is not UTF-8, so the RuntimeError cannot be built:
    # the process goes on and the caller learns what happened.
    with pytest.raises(SystemError) as caught:
        probe_call("witt_mao_magnification", Command.UNREPORTABLE)
    assert str(caught.value) == "internal fault while reporting an error: Python API call failed"
    err = capfd.readouterr().err
    assert "UnicodeDecodeError" in err  # the interpreter's error, printed
    assert probe_call("witt_mao_magnification", 2.0) == L + [1.0, 2.0]


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="PyPy's own runtime does not survive an address-space limit: its "
                           "C-API layer ends the process when one of its allocations fails")
def test_real_memory_exhaustion_is_a_memory_error():
    # Under an address-space limit too small for the converted list; in a
    # child process, as the limit cannot be lifted again.
    script = textwrap.dedent("""
        import resource, tavlomer
        values = [0.5] * 50_000_000          # 400 MB of pointers to one float
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) for line in status if line.startswith("VmSize"))
        limit = size * 1024 + 200_000_000    # room for half the doubles
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            tavlomer.witt_mao_magnification(values, 1.0, 1.0)
        except MemoryError:
            print("MemoryError")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=300)
    assert result.stdout.strip() == "MemoryError", result.stderr
