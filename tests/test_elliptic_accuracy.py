"""Agreement of the elliptic integrals with mpmath at 50 digits.

2000 arguments per kernel, spread over the domain by regime (log-uniform
magnitudes over hundreds of binades, near-equal arguments, zero and equal
arguments, principal values, parameters near 0 and 1, negative parameters);
see elliptic_reference.py for the sampler and the stored references.

The metric is the distance in ulps from the exact value.  The tolerance is
one number per family, times the condition number of the specified formula
where that formula ends in a difference of terms (RD(0, y, z) by the mean,
RJ's two-RC and equal-argument forms and principal value, Pi for n < 0): the
arithmetic is specified to the bit, cancellation included, so the error
such a difference amplifies is part of the defined result, not a fault.
"""

import pytest

import elliptic_reference as reference
import tavlomer_testing as kt
from ulp_error import describe, ulps

# Carlson's integrals and Pi built on them: the duplication stops where its
# truncation error is below half an ulp, and the rest is the rounding of a
# few dozen operations; the worst of the 12000 sampled values is 6.1 ulps.
# K and E: the Cephes polynomials are good to about 2e-16 relative, plus the
# logarithm's and (for m < 0) the transformation's roundings; worst 3.2 ulps.
TOLERANCE = {
    "elliprf": 8, "elliprc": 8, "elliprd": 8, "elliprj": 8, "ellippi": 8,
    "ellipk": 4, "ellipe": 4,
}
KERNELS = list(reference.REGIMES)


@pytest.fixture(scope="module")
def stored():
    return reference.load()["kernels"]


@pytest.mark.parametrize("kernel", KERNELS)
def test_agrees_with_mpmath(kernel, stored):
    rows = reference.samples(kernel)
    data = stored[kernel]
    assert reference.digest(rows) == data["digest"], (
        "the sampler no longer draws the stored arguments: "
        "regenerate with python tests/elliptic_reference.py")
    function = getattr(kt, kernel)
    failures = []
    for (regime, args), expected, condition in zip(rows, data["expected"], data["condition"]):
        actual = function(*args)  # no failure is expected inside the sampled domain
        if ulps(expected, actual) > TOLERANCE[kernel] * condition:
            failures.append(f"{kernel}{args} [{regime}, condition {condition}]: "
                            f"{describe(expected, actual)}")
    assert not failures, f"{len(failures)} beyond tolerance:\n" + "\n".join(failures[:20])


@pytest.mark.parametrize("kernel", KERNELS)
def test_stored_references_regenerate(kernel, stored):
    # A sample of the stored rows, recomputed by the generator's own code.
    pytest.importorskip("mpmath")
    rows = reference.samples(kernel)
    data = stored[kernel]
    for i in range(0, len(rows), 250):
        args = rows[i][1]
        assert reference.formatted(reference.reference(kernel, args)) == data["expected"][i], args
        assert float(f"{reference.condition(kernel, args):.3g}") == data["condition"][i], args
