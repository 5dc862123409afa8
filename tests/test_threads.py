"""tavlomer_physics with threads=...: the same bits on any number of threads,
Ctrl-C still answered with the call's threads stopped and joined, the
keyword refused naming itself; and the functions pickling by name."""

import inspect
import os
import pickle
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavlomer_physics as tp
from test_tavlomer_physics import LONG_U, _interrupted_after

# Valid coefficients of every law; a band axis scales the first one by 1/2
# (still valid: each law darkens less).
COEFFICIENTS = {"linear": (0.6,), "quadratic": (0.4, 0.25), "square_root": (0.3, 0.4),
                "logarithmic": (0.6, 0.3), "claret4": (0.5, 0.1, 0.1, -0.1)}


def _bits(results):
    results = results if isinstance(results, tuple) else (results,)
    return [np.asarray(r, dtype=np.float64).tobytes() for r in results]


def _tasks():
    """The threads of this process, as the kernel counts them (Linux)."""
    return len(os.listdir("/proc/self/task"))


@st.composite
def calls(draw):
    """A call of any law on random shapes: (function, arguments, keywords)."""
    law = draw(st.sampled_from(["uniform", "tabulated", *COEFFICIENTS]))
    points = draw(st.integers(1, 300))
    u = np.array(draw(st.lists(st.floats(0.0, 0.6), min_size=points, max_size=points)))
    if draw(st.booleans()):
        u = u[:, None] if draw(st.booleans()) else u[None, :]
    rho = draw(st.sampled_from([0.1, 0.013, np.linspace(0.05, 0.2, u.shape[-1])]))
    keywords = {"gradient": draw(st.booleans())}
    if law == "uniform":
        return tp.uniform, (u, rho), keywords
    keywords["rtol"] = draw(st.sampled_from([1e-4, 1e-9, 1e-12]))
    if law == "tabulated":
        # Long tables come in several units per point, which one thread
        # must run in order.
        radii = np.linspace(0.0, 1.0, draw(st.integers(2, 70)))
        return tp.tabulated, (u, rho, radii, 1 - 0.5 * radii), keywords
    coefficients = list(COEFFICIENTS[law])
    if draw(st.booleans()):
        coefficients[0] = np.array([1.0, 0.5]).reshape((2,) + (1,) * u.ndim) * coefficients[0]
    return getattr(tp, law), (u, rho, *coefficients), keywords


@settings(max_examples=40, deadline=None)
@given(calls(), st.sampled_from([2, 3, 0]))
def test_any_number_of_threads_gives_the_same_bits(call, threads):
    function, args, keywords = call
    assert _bits(function(*args, **keywords, threads=threads)) == \
        _bits(function(*args, **keywords))


def test_a_long_tables_units_stay_in_order_on_threads():
    # 70 entries make 5 units a point, each adding to the point's fluxes
    # after the first has zeroed them: a point split between threads would
    # lose some of them (at a few hundred points, at many of its chunks).
    radii = np.linspace(0.0, 1.0, 70)
    u = np.linspace(0.0, 0.3, 500)
    expected = _bits(tp.tabulated(u, 0.1, radii, 1 - 0.5 * radii, gradient=True))
    for threads in (2, 3, 0):
        assert _bits(tp.tabulated(u, 0.1, radii, 1 - 0.5 * radii, gradient=True,
                                  threads=threads)) == expected


def test_the_shortfall_is_counted_the_same_on_threads():
    # An annulus 1e-15 wide is beyond the quadrature at rtol = 1e-12: every
    # point but the NaNs (which say so themselves) falls short, and the
    # warning counts them however the points were shared out.
    u = np.linspace(0.0, 0.3, 3000)
    u[np.random.default_rng(7).choice(u.size, 1234, replace=False)] = np.nan
    table = ([0.0, 0.5, 0.5 + 1e-15, 1.0], [0.0, 0.0, 1.0, 1.0])
    outcomes = []
    for threads in (1, 2, 0):
        with pytest.warns(tp.AccuracyWarning) as caught:
            values = tp.tabulated(u, 0.1, *table, rtol=1e-12, threads=threads)
        outcomes.append((_bits(values), [str(w.message) for w in caught]))
    assert "at 1766 of 3000 points" in outcomes[0][1][0]
    assert outcomes[1] == outcomes[0] and outcomes[2] == outcomes[0]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts threads in /proc")
def test_ctrl_c_stops_a_call_on_threads_and_leaves_no_thread():
    u = LONG_U
    before = _tasks()
    assert _bits(tp.linear(u[:2000], 0.1, 0.6, threads=2)) == _bits(tp.linear(u[:2000], 0.1, 0.6))
    assert _tasks() == before
    # SIGINT 0.1 s into a call of seconds.
    interrupted = _interrupted_after(0.1, lambda: tp.linear(u, 0.1, 0.6, rtol=1e-12, threads=2))
    assert interrupted is not None and interrupted < 0.1 + 1.0, interrupted
    assert _tasks() == before


def _every_function():
    yield tp.uniform, (0.1, 0.1)
    yield tp.tabulated, (0.1, 0.1, [0.0, 1.0], [1.0, 0.5])
    for law, coefficients in COEFFICIENTS.items():
        yield getattr(tp, law), (0.1, 0.1, *coefficients)


@pytest.mark.parametrize("threads, error, message", [
    (-1, ValueError, "threads must be 0 (one per CPU) or a positive number of threads"),
    (-10**30, ValueError, "threads must be 0 (one per CPU) or a positive number of threads"),
    (2.0, TypeError, "threads must be an integer, not float"),
    (True, TypeError, "threads must be an integer, not bool"),
    ("2", TypeError, "threads must be an integer, not str"),
])
def test_bad_threads_are_refused_naming_them(threads, error, message):
    for function, args in _every_function():
        with pytest.raises(error) as caught:
            function(*args, threads=threads)
        assert str(caught.value) == message, function.__name__


def test_threads_takes_any_integer_and_none():
    expected = tp.linear([0.05, 0.1], 0.1, 0.6)
    for threads in (None, 1, np.int64(2), 10**30):
        np.testing.assert_array_equal(tp.linear([0.05, 0.1], 0.1, 0.6, threads=threads), expected)


def test_functions_and_the_warning_pickle_by_name():
    for name in tp.__all__:
        function = getattr(tp, name)
        assert pickle.loads(pickle.dumps(function)) is function
    assert pickle.loads(pickle.dumps(tp.AccuracyWarning)) is tp.AccuracyWarning
    warning = pickle.loads(pickle.dumps(tp.AccuracyWarning("rtol=1e-12 was not met")))
    assert type(warning) is tp.AccuracyWarning and warning.args == ("rtol=1e-12 was not met",)


def test_jax_functions_take_no_threads():
    # XLA schedules a JAX computation: its functions neither take nor
    # describe threads=.
    pytest.importorskip("jax", reason="JAX runs under CPython only")
    import tavlomer_physics.jax as tj

    for name in tj.__all__:
        function = getattr(tj, name)
        assert "threads" not in str(inspect.signature(function))
        assert "threads" not in function.__doc__
        assert getattr(tp, name).__doc__.split("\n\nthreads:")[0] in function.__doc__
