"""tavlomer_physics.pytensor: every law's gradient against PyTensor's own
finite differences (verify_grad), values equal to the NumPy functions, one
call for value and gradient, the JAX backend's graph equal to the default
one, and a PyMC model of a simulated event sampled with both backends.

verify_grad differentiates a random projection of the outputs numerically,
a computation independent of the analytic derivatives under test.
"""

import os
import platform

import numpy as np
import pytest

import tavlomer_physics as tp

if platform.python_implementation() == "PyPy":
    pytest.skip("PyTensor and PyMC run on CPython only (SciPy and Numba, which they need, "
                "have no PyPy 3.9 wheels)", allow_module_level=True)
pytensor = pytest.importorskip(
    "pytensor", reason="tavlomer_physics.pytensor needs pytensor (pip install '.[pymc]')")
import pytensor.tensor as pt  # noqa: E402
from pytensor.gradient import verify_grad  # noqa: E402

import tavlomer_physics.pytensor as tpt  # noqa: E402

RHO = 0.1
RADII = (0.0, 0.3, 0.6, 0.9, 1.0)
# Valid coefficients per law, two bands each (a leading axis the gradient
# must be summed back over).
BANDS = {"uniform": (), "linear": ([0.6, 0.3],), "quadratic": ([0.3, 0.5], [0.25, 0.1]),
         "square_root": ([0.2, 0.1], [0.4, 0.5]), "logarithmic": ([0.6, 0.4], [0.3, 0.2]),
         "claret4": ([0.5, 0.6], [0.1, -0.2], [0.1, 0.3], [-0.1, -0.1]),
         "power2": ([0.6, -0.3], [0.8, 1.7]),
         "tabulated": ([[1.0, 0.95, 0.8, 0.6, 0.45], [1.0, 0.9, 0.7, 0.5, 0.2]],)}
# Near the centre, inside, 1e-2 either side of the limb, outside, far out
# (source radii).
U = RHO * np.array([0.2, 0.5, 1 - 1e-2, 1 + 1e-2, 2.0, 30.0])


def test_every_law_is_here():
    assert set(BANDS) == set(tp._core.__all__) == set(tpt.__all__)


def _functions(name):
    """The PyTensor and NumPy functions over their variable arguments."""
    keywords = {} if name == "uniform" else {"rtol": 1e-12}
    radii = (RADII,) if name == "tabulated" else ()
    shaped = [np.asarray(b)[:, None] if name != "tabulated" else np.asarray(b)[:, None, :]
              for b in BANDS[name]]

    def symbolic(u, rho, *rest):
        return getattr(tpt, name)(u, rho, *radii, *rest, **keywords)

    def numeric(u, rho, *rest):
        return getattr(tp, name)(u, rho, *radii, *rest, **keywords)

    return symbolic, numeric, shaped


@pytest.mark.parametrize("name", list(BANDS))
def test_values_and_verify_grad(name):
    symbolic, numeric, bands = _functions(name)
    variables = [pt.dvector("u"), pt.dscalar("rho")] + [
        pt.tensor(f"c{j}", dtype="float64", shape=(2, 1) + b.shape[2:])
        for j, b in enumerate(bands)]
    value = pytensor.function(variables, symbolic(*variables))
    np.testing.assert_array_equal(value(U, RHO, *bands), numeric(U, RHO, *bands))
    # verify_grad's one-sided differences of values to 1e-12: steps of 1e-7
    # balance their rounding against the curvature (of order A / rho^2), and
    # the tolerance follows; a wrong partial or a gradient summed over the
    # wrong axes is off by far more.
    verify_grad(symbolic, [U, np.array(RHO)] + bands, rng=np.random.default_rng(7),
                eps=1e-7, abs_tol=1e-3, rel_tol=1e-3)


def test_value_and_gradient_are_one_call():
    u, rho, c = pt.dvector("u"), pt.dscalar("rho"), pt.dscalar("c")
    a = tpt.linear(u, rho, c)
    chi2 = pt.sum((a - 5.0) ** 2)
    f = pytensor.function([u, rho, c], [chi2] + pytensor.grad(chi2, [u, rho, c]))
    nodes = [n for n in f.maker.fgraph.apply_nodes if isinstance(n.op, tpt.Magnification)]
    assert len(nodes) == 1 and nodes[0].op.gradient
    got = f(U, RHO, 0.6)
    a, *partials = tp.linear(U, RHO, 0.6, gradient=True)
    np.testing.assert_array_equal(got[0], np.sum((a - 5.0) ** 2))
    np.testing.assert_allclose(got[1], 2 * (a - 5.0) * partials[0], rtol=1e-15)
    np.testing.assert_allclose(got[2:], [np.sum(2 * (a - 5.0) * p) for p in partials[1:]],
                               rtol=1e-14)
    # The value alone needs no derivatives.
    g = pytensor.function([u, rho, c], tpt.linear(u, rho, c))
    assert [n.op.gradient for n in g.maker.fgraph.apply_nodes
            if isinstance(n.op, tpt.Magnification)] == [False]


def test_domain_gives_nan_and_shapes_and_statics_raise():
    u, rho, c = pt.dvector("u"), pt.dvector("rho"), pt.dvector("c")
    a = tpt.linear(u, rho, c)
    f = pytensor.function([u, rho, c], [a] + pytensor.grad(a.sum(), [u, rho, c]))
    # A sampler's step outside the domain is rejected, not fatal: NaN there.
    got = f([0.05] * 4, [0.1, -1.0, 0.1, np.inf], [0.6, 0.6, 1.2, 0.6])
    expected = tp.linear(0.05, 0.1, 0.6, gradient=True)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(g, [e, np.nan, np.nan, np.nan])
    # A length-1 axis the type does not announce is not stretched.
    with pytest.raises(ValueError, match="u \\(3,\\), rho \\(1,\\)"):
        f([0.1, 0.2, 0.3], [0.1], [0.6, 0.6, 0.6])
    with pytest.raises(ValueError, match="rtol"):
        tpt.linear(u, rho, c, rtol=1.0)
    with pytest.raises(ValueError, match="radii"):
        tpt.tabulated(u, 0.1, [0.5, 0.2], pt.dvector("i"))
    with pytest.raises(TypeError, match="radii"):
        tpt.tabulated(u, 0.1, pt.dvector("r"), pt.dvector("i"))
    with pytest.raises(TypeError, match="c must be a real number"):
        tpt.linear(u, 0.1, "0.6")


def test_jax_backend_is_the_default_one():
    pytest.importorskip("jax", reason="PyTensor's JAX backend needs jax (pip install '.[pymc]')")
    u, rho, c = pt.dvector("u"), pt.dscalar("rho"), pt.dvector("c")
    a = tpt.quadratic(u, rho, c, 0.25)
    outputs = [a] + pytensor.grad(pt.sum(a**2), [u, rho, c])
    default = pytensor.function([u, rho, c], outputs)(U, RHO, [0.3, 0.4, 0.5, 0.3, 0.2, 0.1])
    jaxed = pytensor.function([u, rho, c], outputs, mode="JAX")(
        U, RHO, [0.3, 0.4, 0.5, 0.3, 0.2, 0.1])
    np.testing.assert_array_equal(jaxed[0], default[0])
    for j, d in zip(jaxed[1:], default[1:]):
        np.testing.assert_allclose(j, d, rtol=1e-13)


@pytest.mark.slow  # 600 NUTS steps per backend: a minute or two
@pytest.mark.skipif(bool(os.environ.get("TAVLOMER_SANITIZED")),
                    reason="sampling is minutes under the sanitizers, and adds no coverage")
@pytest.mark.parametrize("sampler", ["pymc", "numpyro"])
def test_pymc_recovers_a_simulated_event(sampler):
    pm = pytest.importorskip("pymc", reason="needs pymc (pip install '.[pymc]')")
    chains_in_turn = {}
    if sampler == "numpyro":
        pytest.importorskip("numpyro", reason="needs numpyro (pip install '.[pymc]')")
        # One CPU device: the chains one after the other, as PyMC's own sampler.
        chains_in_turn = {"nuts_sampler_kwargs": {"chain_method": "sequential"}}
    truth = {"t0": 0.02, "u0": 0.05, "tE": 1.0, "rho": 0.1}
    t = np.linspace(-1.5, 1.5, 80)
    sigma = 0.05
    model_flux = 2.0 * tp.linear(np.hypot(truth["u0"], (t - truth["t0"]) / truth["tE"]),
                                 truth["rho"], 0.6) + 0.5
    flux = model_flux + sigma * np.random.default_rng(5).standard_normal(t.size)
    with pm.Model():
        t0 = pm.Normal("t0", 0.0, 0.1)
        u0 = pm.HalfNormal("u0", 0.2)
        tE = pm.LogNormal("tE", 0.0, 0.5)
        rho = pm.LogNormal("rho", np.log(0.1), 0.5)
        fs = pm.LogNormal("fs", np.log(2.0), 0.3)
        fb = pm.Normal("fb", 0.5, 0.3)
        u = pt.sqrt(u0**2 + ((t - t0) / tE) ** 2)
        pm.Normal("flux", fs * tpt.linear(u, rho, 0.6) + fb, sigma, observed=flux)
        posterior = pm.sample(draws=150, tune=150, chains=2, cores=1, random_seed=3,
                              progressbar=False, nuts_sampler=sampler, **chains_in_turn,
                              initvals=truth | {"fs": 2.0, "fb": 0.5}).posterior
    for name, value in truth.items():
        draws = posterior[name].values.ravel()
        assert abs(draws.mean() - value) < 4 * draws.std(), name
