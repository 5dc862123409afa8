"""How far each Gauss-Kronrod rule's result for the centroid moments is from
the truth, against its relative Gauss-Kronrod difference g: whether the
fluxes' error models of src/physics/magnification.cpp, which the moments
reuse, are pessimistic for them.

As bench/quadrature_error_models.py measures the fluxes' integrands, on the
same pieces, maps and panels, with the nested disk's centroid moment
(A times the shift of tavlomer_physics.uniform(centroid=True)) in place of
its magnification; the fluxes again beside them.  The moment changes sign
where the nested disk's edge crosses the lens: each panel's integral of |f|
is the scale.  Within 5% of the limb (u / rho = 1 +- 1e-4, 1e-8 and on it)
the edge's distance from the lens, formed here as u - x rho, keeps few
digits, and the moment, which is proportional to it there, fewer still
(magnification.cpp forms it from the exact distance to the crossing): those
panels are shown apart.  Prints, per rule, integrand and decade of g, the
panels and the largest error / g and error / g^1.5.  About a minute.

Measured (one run): away from the limb the 15-point rule's moment errors
stayed below 0.82 g^1.5 for g >= 1e-6 (the model takes 10 g^1.5) but reached
15 g^1.5 for g in [1e-7, 1e-6) (rho = 10, u = 0.9 rho, the piece inside the
crossing), where the default rtol accepts its panels; the 7-point rule's
reached 0.025 g (the model takes 2e-3 g; the fluxes' stayed below 0.01 g).
So the fluxes' models are not pessimistic for the moments where their
panels are accepted, and the moments keep them: the panels they add (one or
two bisections of the pieces about the crossing with the lens inside the
source, where the moment's integrand changes sign and its integral is a
tenth or less of its integral of |f|) are needed by the estimates as they
stand.

    python3 -m pip install . && python3 bench/centroid_error_models.py
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import quadrature_error_models as q  # noqa: E402
import tavlomer_physics  # noqa: E402

NEAR_LIMB = 0.05  # |u / rho - 1| within which the measurement keeps few digits


def moment_integrand(variable, basis, u, rho, a, b, cluster, w):
    """q.integrand with the nested disk's moment in place of A_D: A_D times
    the shift."""
    y, _ = q.mapped(a, b, cluster, w)
    x = np.sin(y) if variable == "theta" else np.sqrt(1 - y ** 4)
    shift = tavlomer_physics.uniform(np.full_like(x, u), x * rho, centroid=True)[1]
    return q.integrand(variable, basis, u, rho, a, b, cluster, w) * shift


def measure(integrand, ratios):
    """(g, error) of every panel, per rule."""
    measured = {n: [] for n in q.GAUSS_POINTS}
    for basis, steep in (("mu", False), ("sqrt(mu)", True)):
        for rho in q.RHOS:
            for l in ratios:
                for variable, a, b, cluster in q.pieces(l, steep):
                    def f(w, variable=variable, a=a, b=b, cluster=cluster, rho=rho, l=l):
                        return integrand(variable, basis, l * rho, rho, a, b, cluster, w)
                    for lo, hi in q.panels():
                        exact = q.truth(f, lo, hi)
                        for n in q.GAUSS_POINTS:
                            k, g, scale = q.panel(n, f, lo, hi)
                            # Errors below 3e-14 are the truth's and the disk's rounding.
                            error = abs(k - exact) / scale if scale > 0 else 0.0
                            if error > 3e-14:
                                measured[n].append((abs(k - g) / scale, error))
    return {n: np.array(rows) for n, rows in measured.items()}


def main():
    near = [l for l in q.L if abs(l - 1) <= NEAR_LIMB]
    away = [l for l in q.L if abs(l - 1) > NEAR_LIMB]
    print("| rule | integrand | u / rho | g | panels | largest error / g "
          "| largest error / g^1.5 |")
    print("|---|---|---|---|---:|---:|---:|")
    for where, ratios in (("away from the limb", away), ("within 5% of it", near)):
        for name, integrand in (("moment", moment_integrand), ("flux", q.integrand)):
            for n, data in measure(integrand, ratios).items():
                for e in range(-10, 0):
                    inside = (data[:, 0] >= 10.0 ** e) & (data[:, 0] < 10.0 ** (e + 1))
                    if not inside.any():
                        continue
                    g, error = data[inside, 0], data[inside, 1]
                    print(f"| {2 * n + 1}-point | {name} | {where} | [1e{e}, 1e{e + 1}) "
                          f"| {inside.sum()} | {np.max(error / g):.2g} "
                          f"| {np.max(error / g ** 1.5):.2g} |")


if __name__ == "__main__":
    main()
