"""Reference centroid shifts of finite sources, stored so that the accuracy
tests need no slow high-precision quadrature.

Each value is the shift of the images' light centroid from the source centre
along the lens-source axis (Einstein radii, positive away from the lens),
computed by ``physical_reference.centroid_shift``: a two-dimensional mpmath
quadrature over the source, ring by ring, of the point-source images' light
and its first moment, at mp.dps = 16 (tanh-sinh reaches its working
precision on these smooth, split integrands), stored with 17 significant
digits in data/centroid_reference.json.  The grid covers every regime of the
lens: inside the source (u = 0.3 rho), close to the limb on either side
(u = rho (1 -+ 1e-3)), on it, outside (1.5 rho) and far out (20 rho), for
sources of 1e-4, 0.1 and 10 Einstein radii, uniform and with linear limb
darkening (c = 0.6).

Regenerate (about half an hour) with:

    python tests/centroid_reference.py
"""

import json
from pathlib import Path

import mpmath

from physical_reference import centroid_shift, linear_profile

DATA = Path(__file__).resolve().parent / "data" / "centroid_reference.json"
DPS = 16
RHOS = (1e-4, 0.1, 10.0)
RATIOS = (0.3, 0.999, 1.0, 1.001, 1.5, 20.0)  # u / rho
LAWS = {"uniform": (), "linear": (0.6,)}


def grid():
    """(law, coefficients, u, rho) of every reference point."""
    return [(law, coefficients, ratio * rho, rho)
            for law, coefficients in LAWS.items() for rho in RHOS for ratio in RATIOS]


def _profile(law, coefficients):
    return (lambda x: mpmath.mpf(1)) if law == "uniform" else linear_profile(*coefficients)


def generate():
    points = []
    for law, coefficients, u, rho in grid():
        shift = centroid_shift(u, rho, _profile(law, coefficients), dps=DPS)
        points.append({"law": law, "coefficients": list(coefficients), "u": u, "rho": rho,
                       "shift": mpmath.nstr(shift, 17)})
        print(points[-1], flush=True)
    DATA.write_text(json.dumps({"dps": DPS, "points": points}, indent=0) + "\n")


def load():
    """The stored points, checked against the grid they were made for."""
    stored = json.loads(DATA.read_text())["points"]
    assert [(p["law"], tuple(p["coefficients"]), p["u"], p["rho"]) for p in stored] == grid()
    return [(p["law"], tuple(p["coefficients"]), p["u"], p["rho"], float(p["shift"]))
            for p in stored]


if __name__ == "__main__":
    generate()
