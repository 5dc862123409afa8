"""tavlomer_physics.jax: every function under jit, grad, jacfwd, jacrev and
vmap against the NumPy path itself (values to the bit, derivatives equal to
gradient=True), JAX's own finite-difference check of the derivatives in
every regime, and what is checked while tracing and what at run time.

The NumPy functions are the reference for the values: the JAX route must
give the very same numbers, and their accuracy is tested in
test_tavlomer_physics.py.  check_grads compares the derivatives with central
differences of the values, a computation independent of the analytic ones.
"""

import pickle
import platform

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavlomer_physics as tp

if platform.python_implementation() == "PyPy":
    pytest.skip("PyPy has no jaxlib", allow_module_level=True)
jax = pytest.importorskip("jax", reason="tavlomer_physics.jax needs jax (pip install '.[jax]')")
import jax.numpy as jnp  # noqa: E402
from jax.test_util import check_grads  # noqa: E402

import tavlomer_physics.jax as tj  # noqa: E402


@pytest.fixture(autouse=True, scope="module")
def x64():
    previous = jax.config.read("jax_enable_x64")
    jax.config.update("jax_enable_x64", True)
    yield
    jax.config.update("jax_enable_x64", previous)


RHO = 0.1
RADII = (0.0, 0.3, 0.6, 0.9, 1.0)
INTENSITY = np.array([1.0, 0.95, 0.8, 0.6, 0.45])
# The arguments after u and rho that JAX differentiates (the radii are static).
ARGUMENTS = {"uniform": (), "linear": (0.6,), "quadratic": (0.3, 0.25),
             "square_root": (0.2, 0.4), "logarithmic": (0.6, 0.3),
             "claret4": (0.5, 0.1, 0.1, -0.1), "power2": (0.7, 0.6), "tabulated": (INTENSITY,)}
# Separations in source radii: centre, inside, near the limb on both sides,
# outside, far out (the polar form).
REGIMES = {"centre": 0.0, "inside": 0.5, "limb-": 1 - 1e-3, "limb+": 1 + 1e-3,
           "outside": 2.0, "far": 30.0}
U = RHO * np.array(list(REGIMES.values()))


def laws(name):
    """The JAX function over the differentiated arguments, and the NumPy one."""
    if name == "tabulated":
        return (lambda u, rho, intensity, **k: tj.tabulated(u, rho, RADII, intensity, **k),
                lambda u, rho, intensity, **k: tp.tabulated(u, rho, RADII, intensity, **k))
    return getattr(tj, name), getattr(tp, name)


NAMES = list(ARGUMENTS)


@pytest.mark.parametrize("name", NAMES)
def test_values_are_those_of_the_numpy_path(name):
    f, numpy_f = laws(name)
    extra = ARGUMENTS[name]
    expected = numpy_f(U, RHO, *extra)
    # Eagerly, under jit, and vmapped over the separations.
    np.testing.assert_array_equal(f(U, RHO, *extra), expected)
    np.testing.assert_array_equal(jax.jit(f)(U, RHO, *extra), expected)
    in_axes = (0,) + (None,) * (1 + len(extra))
    np.testing.assert_array_equal(jax.vmap(f, in_axes=in_axes)(U, RHO, *extra), expected)
    assert f(0.05, RHO, *extra).shape == ()


@pytest.mark.slow  # compiles seven transformed functions per law
@pytest.mark.parametrize("name", NAMES)
def test_derivatives_are_those_of_the_numpy_path(name):
    f, numpy_f = laws(name)
    extra = ARGUMENTS[name]
    _, *partials = numpy_f(U, RHO, *extra, gradient=True)
    argnums = tuple(range(2 + len(extra)))
    in_axes = (0,) + (None,) * (1 + len(extra))
    # grad per element, through vmap and jit(vmap(grad)).
    per_element = jax.vmap(jax.grad(f, argnums=argnums), in_axes=in_axes)
    for got in (per_element(U, RHO, *extra), jax.jit(per_element)(U, RHO, *extra)):
        for g, p in zip(got, partials):
            np.testing.assert_array_equal(g, p)
    # Jacobians, forward and reverse: the diagonal in u, the column in rho.
    for jacobian in (jax.jacfwd, jax.jacrev):
        d_u, d_rho = jacobian(f, argnums=(0, 1))(U, RHO, *extra)
        np.testing.assert_array_equal(d_u, np.diag(partials[0]))
        np.testing.assert_array_equal(d_rho, partials[1])
    if extra:
        d_last = jax.jacfwd(f, argnums=len(argnums) - 1)(U, RHO, *extra)
        np.testing.assert_array_equal(d_last, partials[-1])


@pytest.mark.parametrize("name", NAMES[1:])
def test_bands_broadcast_and_vmap_like_the_numpy_path(name):
    f, numpy_f = laws(name)
    extra = ARGUMENTS[name]
    # Two bands: the last argument with a leading axis (a row per band).
    last = np.asarray(extra[-1])
    bands = np.stack([last, 0.5 * last]) if name != "tabulated" else \
        np.stack([last, np.linspace(1.0, 0.2, len(RADII))])
    stacked = bands[:, None] if name != "tabulated" else bands[:, None, :]
    expected = numpy_f(U, RHO, *extra[:-1], stacked)
    np.testing.assert_array_equal(jax.jit(f)(U, RHO, *extra[:-1], stacked), expected)
    in_axes = (None,) * (1 + len(extra)) + (0,)
    np.testing.assert_array_equal(jax.vmap(f, in_axes=in_axes)(U, RHO, *extra[:-1], bands),
                                  expected)


@pytest.mark.parametrize("shapes", [((3, 1), (1, 4), ()), ((1, 1), (), (2,)), ((), (), (1,)),
                                    ((2, 3), (3,), (2, 1))])
def test_every_broadcast_layout_is_the_numpy_path(shapes):
    # Single numbers reach the handler unbroadcast, the rest broadcast: every
    # mix, under vmap along a middle axis too.
    rng = np.random.default_rng(len(str(shapes)))
    u, rho, c = (rng.uniform(low, high, shape) for (low, high), shape
                 in zip([(0.0, 0.3), (0.05, 0.2), (0.0, 0.9)], shapes))
    expected = tp.linear(u, rho, c)
    got = jax.jit(tj.linear)(u, rho, c)
    assert got.shape == np.shape(expected)
    np.testing.assert_array_equal(got, expected)
    wide = np.stack([u, 0.5 * u, 2.0 * u], axis=-1)  # a last axis vmap takes away
    np.testing.assert_array_equal(
        jax.vmap(tj.linear, in_axes=(-1, None, None), out_axes=-1)(wide, rho, c),
        tp.linear(wide, np.expand_dims(rho, -1), np.expand_dims(c, -1)))
    # A single rho under many elements: its derivative sums theirs.
    _, _, d_rho, _ = tp.linear(u, 0.1, c, gradient=True)
    total = jax.grad(lambda r: jnp.sum(tj.linear(u, r, c)))(0.1)
    np.testing.assert_allclose(total, np.sum(d_rho), rtol=1e-14)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("regime", list(REGIMES))
def test_derivatives_pass_jax_check_grads(name, regime):
    f, _ = laws(name)
    args = (RHO * REGIMES[regime], RHO) + tuple(np.asarray(a) for a in ARGUMENTS[name])
    if name == "uniform":
        def value(*a):
            return f(*a)
    else:
        def value(*a):
            return f(*a, rtol=1e-12)
    # Steps of 1e-6 stay 100 times closer than the limb in the nearest
    # regime; the values to 1e-12 keep the differences' noise near 1e-5.
    check_grads(value, args, order=1, modes=("fwd", "rev"), eps=1e-6, atol=1e-5, rtol=1e-5)


@settings(max_examples=40, deadline=None)
@given(st.floats(0.0, 3.0), st.floats(1e-3, 1.0), st.floats(-1.0, 1.0), st.floats(-1.0, 1.0))
def test_quadratic_is_the_numpy_path_anywhere(l, rho, a, b):
    args = (l * rho, rho, a, b)
    try:
        expected = tp.quadratic(*args, gradient=True)
    except ValueError:  # an intensity negative somewhere: NaN here
        assert np.isnan(_quadratic_value_and_grad(*args)[0])
        return
    value, grads = _quadratic_value_and_grad(*args)
    assert value == expected[0]
    assert grads == tuple(expected[1:])


_quadratic_value_and_grad = jax.jit(jax.value_and_grad(tj.quadratic, argnums=(0, 1, 2, 3)))


def test_the_limb_derivatives_are_infinite_not_nan():
    # dA/du is infinite on the limb; differentiating in u alone must not
    # multiply the other partials by a zero tangent.
    expected = tp.linear(RHO, RHO, 0.6, gradient=True)
    assert np.isinf(expected[1]) and np.isinf(expected[2])
    assert jax.grad(tj.linear)(RHO, RHO, 0.6) == expected[1]
    assert jax.grad(tj.linear, argnums=1)(RHO, RHO, 0.6) == expected[2]
    assert jax.grad(tj.linear, argnums=2)(RHO, RHO, 0.6) == expected[3]


def test_subnormal_arguments_are_not_flushed_to_zero():
    # XLA runs with subnormals flushed to zero; the handlers must not, or a
    # subnormal rho would read as 0 and give NaN where NumPy gives a number.
    u = np.array([0.0, 1e-310, 3e-310, 1e-300])
    np.testing.assert_array_equal(jax.jit(tj.uniform)(u, 1e-300), tp.uniform(u, 1e-300))
    # A subnormal rho is refused by the NumPy path, NaN under JAX.
    assert np.isnan(jax.jit(tj.uniform)(u, 1e-310)).all()
    got = jax.vmap(jax.grad(tj.uniform, argnums=(0, 1)), in_axes=(0, None))(u, 1e-300)
    np.testing.assert_array_equal(got, tp.uniform(u, 1e-300, gradient=True)[1:])


# --- Checked at run time: NaN per element ----------------------------------------


def test_invalid_values_give_nan_in_their_own_elements():
    c = np.array([0.6, 1.5, 0.3, np.nan])
    got = np.asarray(jax.jit(tj.linear)(0.05, RHO, c))
    assert np.isnan(got[1]) and np.isnan(got[3])
    np.testing.assert_array_equal(got[[0, 2]], tp.linear(0.05, RHO, c[[0, 2]]))
    grads = jax.jit(jax.vmap(jax.grad(tj.linear, argnums=(0, 1, 2)), in_axes=(None, None, 0)))(
        0.05, RHO, c)
    for g in grads:
        assert np.isnan(g[1]) and np.isfinite(g[0])
    rho = np.array([0.1, 0.0, -0.1, np.inf, np.nan])
    for name in ("uniform", "linear", "tabulated"):  # one law per handler
        got = laws(name)[0](0.05, rho, *ARGUMENTS[name])
        assert got[0] == laws(name)[1](0.05, 0.1, *ARGUMENTS[name]) and np.isnan(got[1:]).all()
    rows = np.stack([INTENSITY, -INTENSITY, np.zeros(len(RADII))])
    got = tj.tabulated(0.05, RHO, RADII, rows)
    assert got[0] == tp.tabulated(0.05, RHO, RADII, INTENSITY) and np.isnan(got[1:]).all()
    d_rows = jax.jit(jax.jacfwd(laws("tabulated")[0], argnums=2))(0.05, RHO, rows)
    assert np.isnan(d_rows[1:, 1:]).all() and np.isfinite(d_rows[0, 0]).all()


# --- Checked while tracing: the NumPy path's exceptions ---------------------------


def test_tracing_refuses_what_it_can_know():
    with pytest.raises(ValueError, match="^rtol must be between 1e-12 and 1e-2"):
        jax.jit(lambda u: tj.linear(u, RHO, 0.6, rtol=1e-20))(0.1)
    with pytest.raises(TypeError, match="rtol must be a real number, not str"):
        tj.linear(0.1, RHO, 0.6, rtol="1e-9")
    with pytest.raises(TypeError, match="^rtol must be concrete"):
        jax.jit(lambda r: tj.linear(0.1, RHO, 0.6, rtol=r))(1e-9)
    with pytest.raises(ValueError, match=r"^the shapes do not broadcast together: "
                                         r"u \(3,\), rho \(2,\), c \(\)$"):
        tj.linear(np.zeros(3), np.ones(2), 0.6)
    with pytest.raises(TypeError, match="^u must be a real number or an array of real numbers"):
        tj.uniform("0.1", RHO)
    with pytest.raises(TypeError, match="^c must be a real number or an array of real numbers, "
                                        "not complex128"):
        tj.linear(0.1, RHO, 0.6 + 0j)
    with pytest.raises(ValueError, match=r"^radii must be strictly increasing \(radii\[2\] = 0.5\)$"):
        tj.tabulated(0.1, RHO, [0.0, 0.5, 0.5], [1.0, 1.0, 1.0])
    with pytest.raises(ValueError, match="^radii and intensity must have the same length$"):
        tj.tabulated(0.1, RHO, [0.0, 1.0], [1.0, 1.0, 1.0])
    with pytest.raises(TypeError, match="^radii must be concrete"):
        jax.jit(lambda r: tj.tabulated(0.1, RHO, r, np.ones(2)))(np.array([0.0, 1.0]))
    with pytest.raises(TypeError, match="gradient"):
        tj.linear(0.1, RHO, 0.6, gradient=True)  # JAX differentiates; no keyword for it


def test_float32_is_refused_naming_jax_enable_x64():
    jax.config.update("jax_enable_x64", False)
    try:
        with pytest.raises(RuntimeError, match="jax_enable_x64"):
            tj.uniform(0.1, RHO)
        with pytest.raises(RuntimeError, match="jax_enable_x64"):
            jax.jit(tj.linear)(0.1, RHO, 0.6)
    finally:
        jax.config.update("jax_enable_x64", True)
    # float32 arguments with x64 on are read exactly, as the NumPy path reads them.
    assert tj.linear(np.float32(0.05), RHO, 0.6).dtype == jnp.float64
    assert tj.linear(np.float32(0.05), RHO, 0.6) == tp.linear(np.float32(0.05), RHO, 0.6)


def test_functions_have_names_signatures_and_pickle():
    # The functions of the law table (not the NumPy helper power2_from_maxted).
    assert tj.__all__ == [name for name in tp.__all__ if name != "power2_from_maxted"]
    for name in tj.__all__:
        function = getattr(tj, name)
        assert function.__name__ == name and function.__module__ == "tavlomer_physics.jax"
        assert pickle.loads(pickle.dumps(function)) is function
    assert str(__import__("inspect").signature(tj.linear)) == "(u, rho, c, *, rtol=1e-09)"
