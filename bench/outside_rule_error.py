"""How far the Gauss-Jacobi rule that takes the limb-darkened profiles
outside the source is from the truth, against its error model: the
measurement behind outside_points in src/physics/magnification.cpp.

For the profiles mu^(h/2), h = 1 to 4, the magnified flux
(h/4) \\int_0^1 t (1 - t)^(h/4 - 1) A_D(u, rho sqrt(t)) dt by the n-point rule
of that weight (tools/generate_gauss_jacobi.py, at double precision) for
n = 1 to 12, against the 60-point rule, with A_D from
tavlomer_physics.uniform, for rho from 1e-4 to 10 and u / rho from 1.01 to
1e3; likewise the centroid moments (the nested disks' A times shift) and the
derivatives in u and rho (the nested disks' slopes).  Prints, per n, the
largest ratio of the error to its model: for the values and moments
V (0.12 n^-1.2 R_c^(1 - 2n) + R_b^(1 - 2n)), for the derivatives
200 (1 + 0.9 rho) min(1, (x0^2 + 6 rho^2) / 18) V R^(1 - 2n)
(V = A_D(u, rho) / A(u) - 1, or the moment's
own change; R_c
and R_b the Bernstein ellipses of the crossing and of the branch points, R
the nearer), relative for the values and moments, against
max(|dF|, 0.01 |F| / rho) for the derivatives (over errors above 1e-13, and
1e-12 for the moments and derivatives, below which rounding is all there
is).

Likewise mu log mu, whose flux is (1/2) J - (1/4) L with J the mu profile's
integral and L that of the weight t (1 - t)^(-1/2) (-log(1 - t)), each by
its own n-point rule: L alone against the model (relative to (1/4) L), and
the profile's flux against 7 times the model, relative to its own scale
(the cancellation of J and L that magnification.cpp's log_cancellation
takes, which scales the rounding floors above likewise).  Takes about three minutes (the 60-point rules come from mpmath).

    python3 -m pip install ".[bench]" && python3 bench/outside_rule_error.py
"""

import cmath
import math
import sys
from pathlib import Path

import mpmath
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import generate_gauss_jacobi  # noqa: E402
import tavlomer_physics  # noqa: E402

RHOS = (1e-4, 1e-2, 0.1, 1.0, 3.0, 10.0)
X0 = (1.01, 1.02, 1.05, 1.1, 1.2, 1.35, 1.5, 2.0, 3.0, 5.0, 10.0, 30.0, 100.0, 1e3)
POINTS = range(1, 13)
REFERENCE_POINTS = 60
# The 60-point rule of the log weight loses about 90 digits to its moments'
# conditioning (the generator's guard is sized for 12 points).
REFERENCE_GUARD = 150
# The profiles: h for mu^(h/2), "L" for the log weight's integral alone and
# "log" for mu log mu; the factor on the model of each.
PROFILES = {1: 1, 2: 1, 3: 1, 4: 1, "L": 1, "log": 7}
NAMES = {1: "sqrt(mu)", 2: "mu", 3: "mu^(3/2)", 4: "mu^2", "L": "L", "log": "mu log mu"}
_RULES = {}


def rule(n, h):
    if (n, h) not in _RULES:
        if h == "L":
            guard = generate_gauss_jacobi.LOG_GUARD
            if n > generate_gauss_jacobi.MAX_POINTS:
                generate_gauss_jacobi.LOG_GUARD = REFERENCE_GUARD
            try:
                x, w = generate_gauss_jacobi.log_rule(n)
            finally:
                generate_gauss_jacobi.LOG_GUARD = guard
        else:
            x, w = generate_gauss_jacobi.rule(n, mpmath.mpf(h) / 4 - 1)
        _RULES[n, h] = (np.array(x), np.array(w))
    return _RULES[n, h]


def integrals(u, rho, n, h):
    """The flux, its slopes in u and rho, and the centroid moment."""
    if h == "log":
        return integrals(u, rho, n, 2) - integrals(u, rho, n, "L")
    x, w = rule(n, h)
    a, du, drho = tavlomer_physics.uniform(u, rho * x, gradient=True)
    _, shift = tavlomer_physics.uniform(u, rho * x, centroid=True)
    return (1 if h == "L" else h) / 4 * np.array(
        [np.sum(w * a), np.sum(w * du), np.sum(w * drho * x), np.sum(w * a * shift)])


def ellipse(z):
    s = 2 * z - 1
    r = cmath.sqrt((s - 1) * (s + 1))
    return max(abs(s + r), abs(s - r))


KINDS = (("value", 1e-13), ("moment", 1e-12), ("d/du", 1e-12), ("d/drho", 1e-12))


def main():
    worst = {}
    for h, factor in PROFILES.items():
        for rho in RHOS:
            for x0 in X0:
                u = x0 * rho
                reference = integrals(u, rho, REFERENCE_POINTS, h)
                point = (u * u + 2) / (u * math.sqrt(u * u + 4))
                edge = tavlomer_physics.uniform(u, rho)
                effect = abs(edge / point - 1)
                # The moment's own: against the point's, 1 / sqrt(u^2 + 4).
                moment = edge * tavlomer_physics.uniform(u, rho, centroid=True)[1]
                moment_effect = abs(moment - 1 / math.sqrt(u * u + 4)) / max(
                    abs(moment), 0.01 * rho * edge)
                r_c = ellipse(x0 * x0)
                r_b = ellipse(complex(u * u - 4, 4 * u) / rho ** 2)
                r = min(r_c, r_b)
                flux = abs(reference[0])
                scale = [flux, max(abs(reference[1]), 0.01 * flux / rho),
                         max(abs(reference[2]), 0.01 * flux / rho),
                         max(abs(reference[3]), 0.01 * rho * flux)]
                for n in POINTS:
                    got = integrals(u, rho, n, h)
                    for i, kind in enumerate((0, 3, 1, 2)):
                        error = abs(got[kind] - reference[kind]) / scale[kind]
                        # The cancellation scales the rounding too.
                        if error > KINDS[i][1] * factor:
                            key = (KINDS[i][0], h, n)
                            if kind in (0, 3):
                                v = moment_effect if kind == 3 else effect
                                model = v * (0.12 * n ** -1.2 * r_c ** (1 - 2 * n)
                                             + r_b ** (1 - 2 * n))
                            else:
                                near = min(1.0, (x0 * x0 + 6 * rho * rho) / 18)
                                model = (200 * (1 + 0.9 * rho) * near * effect
                                         * r ** (1 - 2 * n))
                            worst[key] = max(worst.get(key, 0.0), error / (factor * model))
    print("| integral | profile | " + " | ".join(f"n = {n}" for n in POINTS) + " |")
    print("|---|---|" + "---:|" * len(POINTS))
    for kind, _ in KINDS:
        for h in PROFILES:
            print(f"| {kind} | {NAMES[h]} | "
                  + " | ".join(f"{worst.get((kind, h, n), 0.0):.2g}" for n in POINTS) + " |")


if __name__ == "__main__":
    main()
