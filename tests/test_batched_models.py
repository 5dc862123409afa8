"""The list-valued functions evaluate their separations in batches (the
elliptic integrals of many separations or rings at once, several
separations' quadratures together), so element i of a list call must still
equal, bit for bit, the call on [l[i]] alone, and a list with a failing
separation must fail with the message of the first one.  Lists are a few
values repeated, so that they cross the batch boundaries (64 separations or
rings) and mix failing, near-limb, near-ring and ordinary separations in one
batch."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavlomer

# rstar / re = 1e4: about half the separations within 3e-9 of the limb make
# n round to 1 outside the limb band, and ellippi fails with its own message;
# a NaN, infinite or negative separation fails in elliprj.  The ring table holds 0.5, so
# separations near 0.5 fall in the near-ring band.
RE, RSTAR = 1.0, 1e4
BL = [i / 49 for i in range(50)] + [0.5]
BF = [1.0 - 0.6 * (1.0 - math.sqrt(1.0 - min(r, 1.0) ** 2)) for r in BL]

SEPARATION = st.one_of(
    st.floats(0.0, 4.0),
    st.floats(-2e-3, 2e-3).map(lambda d: 0.5 + d),
    st.floats(-3e-9, 3e-9).map(lambda d: 1.0 + d),
    st.sampled_from([math.nan, math.inf, -0.25, 0.0]),
)

LIST_MODELS = {
    "witt_mao_magnification": lambda l: tavlomer.witt_mao_magnification(l, RE, RSTAR),
    "integrated_witt_mao_magnification":
        lambda l: tavlomer.integrated_witt_mao_magnification(l, RE, RSTAR),
    "integrated_flux_map_witt_mao_magnification":
        lambda l: tavlomer.integrated_flux_map_witt_mao_magnification(l, RE, RSTAR, BL, BF),
    "discrete_flux_map_heyrovsky_magnification":
        lambda l: tavlomer.discrete_flux_map_heyrovsky_magnification(l, RE, 0.1, BL, BF),
    # About 0.2 ms a separation: not repeated (a ring batch holds a few
    # points of one separation at a time).
    "integrated_heyrovsky_magnification":
        lambda l: tavlomer.integrated_heyrovsky_magnification(l, RE, 0.1),
    "integrated_flux_map_heyrovsky_magnification":
        lambda l: tavlomer.integrated_flux_map_heyrovsky_magnification(l, RE, 0.1, BL, BF),
}


def outcome(model, l):
    try:
        return "value", [struct.pack("<d", a) for a in model(l)]
    except RuntimeError as error:
        return "failure", error.args


@pytest.mark.parametrize("name", LIST_MODELS)
@settings(max_examples=25, deadline=None)
@given(values=st.lists(SEPARATION, max_size=8), copies=st.integers(1, 70))
def test_list_call_is_its_single_calls(name, values, copies):
    model = LIST_MODELS[name]
    if name.startswith("integrated") and "heyrovsky" in name:
        copies = 1
    singles = [outcome(model, [x]) for x in values] * copies
    failures = [s for s in singles if s[0] == "failure"]
    if failures:
        assert outcome(model, values * copies) == failures[0]
    else:
        assert outcome(model, values * copies) == ("value", [s[1][0] for s in singles])
