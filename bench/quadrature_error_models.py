"""How far each Gauss-Kronrod rule's result is from the truth, against its
relative Gauss-Kronrod difference g: the measurements behind the error
models of src/physics/magnification.cpp.

The integrands are those of the nested-disk quadrature: x^2 A_D(u, x rho)
times a basis profile's weight, on the pieces and maps magnification.cpp
uses (written out again below for the mu basis, whose pieces are in
theta = asin(x), and the sqrt(mu) basis, which takes v = mu^(1/2) over the
outer source), with A_D from tavlomer_physics.uniform.  Every panel of a
piece down to 1/64 of it that touches either end, and every panel down to
1/8, is compared with a 15-point quadrature of the same panel graded
towards both ends (30 levels), for rho from 1e-4 to 10 and u / rho from 0
to 1e4.  Errors and differences are relative to the panel's integral of
|f|.  Prints, per rule and decade of g, the panels and the largest
error / g^p for p = 1, 1.5, 2 and 3.  Takes about ten seconds.

    python3 -m pip install . && python3 bench/quadrature_error_models.py
"""

import math
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import generate_gauss_kronrod  # noqa: E402
import tavlomer_physics  # noqa: E402

GAUSS_POINTS = (1, 2, 3, 7, 10)  # the 3-, 5-, 7-, 15- and 21-point rules
L = (0.0, 0.1, 0.5, 0.9, 0.99, 1 - 1e-4, 1 - 1e-8, 1.0, 1 + 1e-8, 1 + 1e-4, 1.001, 1.01, 1.1,
     1.3, 1.49, 1.6, 2.0, 3.0, 10.0, 1e4)
RHOS = (1e-4, 1e-2, 0.1, 1.0, 10.0)
NEAR_LIMB_CROSSING = 1.5  # as magnification.cpp


def rule_arrays(n):
    """Nodes on [-1, 1] with their Kronrod and Gauss weights."""
    r = generate_gauss_kronrod.rule(n)
    x, w, gw = (np.array(r[k]) for k in ("x", "w", "gauss_w"))
    nodes = np.concatenate([-x[:n], x[:n][::-1], [0.0]])
    kronrod = np.concatenate([w[:n], w[:n][::-1], [w[n]]])
    gauss = np.zeros(2 * n + 1)
    for j in range(1, n, 2):
        gauss[j] = gauss[2 * n - 1 - j] = gw[j // 2]
    gauss[2 * n] = gw[n // 2]
    return nodes, kronrod, gauss


RULES = {n: rule_arrays(n) for n in GAUSS_POINTS}


def mapped(a, b, cluster, w):
    """y and dy/dw of the piece [a, b] at w in [0, 1]."""
    h = b - a
    if cluster == "none":
        return a + h * w, np.full_like(w, h)
    if cluster == "low":
        return a + h * w * w, 2 * h * w
    return b - h * (1 - w) ** 2, 2 * h * (1 - w)


def integrand(variable, basis, u, rho, a, b, cluster, w):
    y, jacobian = mapped(a, b, cluster, w)
    if variable == "theta":
        x = np.sin(y)
        h = x ** 3 * jacobian
        weight = h if basis == "mu" else h / (2 * np.sqrt(np.cos(y)))
    else:
        x2 = 1 - y ** 4
        x = np.sqrt(x2)
        weight = 2 * y * x2 * jacobian if basis == "mu" else x2 * jacobian
    return weight * tavlomer_physics.uniform(np.full_like(x, u), x * rho)


def panel(n, f, lo, hi):
    """Kronrod, Gauss and |f| integrals of f over [lo, hi]."""
    nodes, kronrod, gauss = RULES[n]
    half = 0.5 * (hi - lo)
    values = f(0.5 * (lo + hi) + half * nodes)
    return half * (kronrod @ values), half * (gauss @ values), half * (kronrod @ np.abs(values))


def truth(f, lo, hi):
    edges = sorted({lo, hi, *(lo + (hi - lo) * 2.0 ** -k for k in range(1, 30)),
                    *(hi - (hi - lo) * 2.0 ** -k for k in range(1, 30))})
    return sum(panel(7, f, a, b)[0] for a, b in zip(edges[:-1], edges[1:]))


def pieces(x0, steep):
    """magnification.cpp's source_pieces for the mu (steep = False) and
    sqrt(mu) bases, as (variable, a, b, cluster)."""
    theta_end, x_end = (math.pi / 4, 1 / math.sqrt(2)) if steep else (math.pi / 2, 1.0)
    out = []
    if 0 < x0 < x_end:
        theta0 = math.asin(x0)
        out += [("theta", 0.0, theta0, "high"), ("theta", theta0, theta_end, "low")]
    else:
        near = x_end <= x0 < NEAR_LIMB_CROSSING * x_end
        out.append(("theta", 0.0, theta_end, "high" if near else "none"))
    if steep:
        v_quarter = 2 ** -0.25
        if x_end < x0 < 1:
            v0 = ((1 - x0) * (1 + x0)) ** 0.25
            out += [("v", 0.0, v0, "high"), ("v", v0, v_quarter, "low")]
        else:
            cluster = ("low" if 1 <= x0 < NEAR_LIMB_CROSSING
                       else "high" if 0 < x0 <= x_end else "none")
            out.append(("v", 0.0, v_quarter, cluster))
    return out


def panels():
    out = []
    for depth in range(7):
        k = 2 ** depth
        chosen = set(range(k)) if depth <= 3 else {0, k - 1}
        out += [(i / k, (i + 1) / k) for i in sorted(chosen)]
    return out


def main():
    measured = {n: [] for n in GAUSS_POINTS}
    for basis, steep in (("mu", False), ("sqrt(mu)", True)):
        for rho in RHOS:
            for l in L:
                for variable, a, b, cluster in pieces(l, steep):
                    def f(w, variable=variable, a=a, b=b, cluster=cluster):
                        return integrand(variable, basis, l * rho, rho, a, b, cluster, w)
                    for lo, hi in panels():
                        exact = truth(f, lo, hi)
                        for n in GAUSS_POINTS:
                            k, g, scale = panel(n, f, lo, hi)
                            # Errors below 3e-14 are the truth's and A_D's rounding.
                            error = abs(k - exact) / scale if scale > 0 else 0.0
                            if error > 3e-14:
                                measured[n].append((abs(k - g) / scale, error))
    powers = (1, 1.5, 2, 3)
    print("| rule | g | panels | " + " | ".join(f"largest error / g^{p}" for p in powers) + " |")
    print("|---|---|---:|" + "---:|" * len(powers))
    for n in GAUSS_POINTS:
        data = np.array(measured[n])
        for e in range(-12, 1):
            inside = (data[:, 0] >= 10.0 ** e) & (data[:, 0] < 10.0 ** (e + 1))
            if inside.any():
                g, error = data[inside, 0], data[inside, 1]
                print(f"| {2 * n + 1}-point | [1e{e}, 1e{e + 1}) | {inside.sum()} | "
                      + " | ".join(f"{np.max(error / g ** p):.2g}" for p in powers) + " |")


if __name__ == "__main__":
    main()
