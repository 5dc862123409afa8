"""A tabulated flux map, and the discrete ring sum.

A flux map is a table of radii ``bl`` (source radii) and surface
brightnesses ``bf`` (any scale): the brightness profile is the straight line
between neighbouring entries, and 0 outside the table.  Here the table is a
quadratic limb-darkening law, I = 1 - a (1 - mu) - b (1 - mu)^2 with
mu = sqrt(1 - x^2), sampled at 12 radii.

The script computes, against the separation l of the lens from the source's
centre (source radii):

* the physical magnification of that tabulated source: rings chosen by
  examples/limb_darkening.py, summed by ``discrete_flux_map_heyrovsky_magnification``;
* the discrete ring sum used directly with the table's own 12 radii as rings,
  weighted by their share of the flux (trapezoidal weights 2 pi x I(x) dx / flux):
  the cheapest ring model, 12 ring evaluations per separation;
* ``integrated_flux_map_heyrovsky_magnification`` and
  ``integrated_flux_map_witt_mao_magnification`` on the same table, whose
  defined values differ from the physical one (see the README): the first adds
  a radial-derivative term to every ring, the second returns the uniform disk.

It prints a table and writes flux_map.png (the profile, the magnifications and
their relative differences from the physical value).

    python3 examples/flux_map.py [-o flux_map.png]
"""

import argparse
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tavlomer  # noqa: E402
from limb_darkening import limb_darkened_magnification, tabulated  # noqa: E402

RE, RSTAR = 1.0, 0.5  # Einstein radius and source radius: rho = 0.5


def quadratic_law_table(a=0.4, b=0.25, n=12):
    """The flux map: radii crowding towards the limb, where the law bends."""
    bl = [math.sin(0.5 * math.pi * i / (n - 1)) for i in range(n)]
    bl[-1] = 1.0
    mu = [math.sqrt(max(0.0, 1.0 - x * x)) for x in bl]
    bf = [1.0 - a * (1.0 - m) - b * (1.0 - m) ** 2 for m in mu]
    return bl, bf


def trapezoid_ring_weights(bl, bf):
    """Ring weights for the discrete sum: each table radius stands for the
    flux 2 pi x I(x) dx of its trapezoidal share, normalised to sum to 1."""
    g = [2 * math.pi * x * f for x, f in zip(bl, bf)]
    w = [0.0] * len(bl)
    for i in range(len(bl) - 1):
        h = bl[i + 1] - bl[i]
        w[i] += 0.5 * h * g[i]
        w[i + 1] += 0.5 * h * g[i + 1]
    total = sum(w)
    return [wi / total for wi in w]


def magnifications(separations, bl, bf):
    physical = limb_darkened_magnification(separations, RE, RSTAR, tabulated(bl, bf), kinks=bl)
    # Rings exactly through the lens are infinite: keep the separations off
    # the table's radii (l = bl[j] gives +inf, see the README).
    rings = tavlomer.discrete_flux_map_heyrovsky_magnification(
        separations, RE, RSTAR, bl, trapezoid_ring_weights(bl, bf))
    integrated = tavlomer.integrated_flux_map_heyrovsky_magnification(separations, RE, RSTAR, bl, bf)
    disk = tavlomer.integrated_flux_map_witt_mao_magnification(separations, RE, RSTAR, bl, bf)
    return physical, rings, integrated, disk


def plot(bl, bf, separations, physical, rings, integrated, disk, output):
    import matplotlib

    if not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, middle, right) = plt.subplots(1, 3, figsize=(15, 4.6))
    profile = tabulated(bl, bf)
    xs = [i / 400 for i in range(401)]
    left.plot(xs, [profile(x) for x in xs], color="tab:orange", lw=1.5, label="interpolated profile")
    left.plot(bl, bf, "o", color="tab:orange", ms=4, label="table (bl, bf)")
    left.set_xlabel("radius x  [source radii]")
    left.set_ylabel("surface brightness I(x)")
    left.set_ylim(0, 1.1)
    left.set_title("flux map: quadratic law at 12 radii")
    left.legend(loc="lower left", fontsize=9)

    curves = [
        (rings, dict(color="tab:green", lw=1.3, label="discrete ring sum, the 12 table radii")),
        (integrated, dict(color="tab:red", lw=1.0, ls="--", label="integrated_flux_map_heyrovsky")),
        (disk, dict(color="tab:blue", lw=1.3, ls="-.", label="integrated_flux_map_witt_mao")),
    ]
    middle.plot(separations, physical, color="black", lw=2.2, label="physical (fine ring sum)")
    for values, style in curves:
        middle.plot(separations, values, **style)
    middle.set_ylim(0.0, 1.6 * max(physical))
    middle.set_xlabel("separation l  [source radii]")
    middle.set_ylabel("magnification A")
    middle.set_title(f"magnification, rho = {RSTAR / RE:g}")
    middle.legend(loc="upper right", fontsize=8)

    right.axhline(0.0, color="black", lw=1.2)
    for values, style in curves:
        right.plot(separations, [100.0 * (v / p - 1.0) for v, p in zip(values, physical)], **style)
    right.set_ylim(-12, 12)
    right.set_xlabel("separation l  [source radii]")
    right.set_ylabel("difference from the physical A  [%]")
    right.set_title("relative difference (dashed: mostly off the scale)")
    fig.tight_layout()
    fig.savefig(output, dpi=100)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", default="flux_map.png", help="PNG to write")
    args = parser.parse_args(argv)

    bl, bf = quadratic_law_table()
    # Half-way between grid points, so no separation sits on a table radius.
    separations = [0.005 + 0.01 * i for i in range(250)]
    physical, rings, integrated, disk = magnifications(separations, bl, bf)

    print("    l    physical    ring sum (12)  integrated_fm_heyrovsky  integrated_fm_witt_mao")
    for i in range(0, len(separations), 25):
        print(f"{separations[i]:6.3f}  {physical[i]:.8f}  {rings[i]:.8f}     "
              f"{integrated[i]:.8f}               {disk[i]:.8f}")
    plot(bl, bf, separations, physical, rings, integrated, disk, args.output)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
