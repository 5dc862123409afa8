"""Each function against the physical quantity its name suggests.

References, all mpmath, none from the module's closed forms
(tests/reference.py, tests/physical_reference.py):

* uniform disk: the point-source magnification integrated over the disk
  (one angular quadrature of a closed radial integral), 30 digits;
* ring: the mean point-source magnification around the ring, 20 digits;
* limb-darkened and flux-map sources: the brightness-weighted mean of the
  point-source magnification over the disk, as rings, 20 digits.

Prints Markdown tables of relative differences (module / reference - 1),
the ring-sum route of examples/limb_darkening.py included.  Takes a few
minutes.  Timings: bench/bench_functions.py and bench/bench_compare.py.

    python3 bench/accuracy.py
"""

import sys
from pathlib import Path

import mpmath

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "examples")]

import tavlomer  # noqa: E402
from limb_darkening import (limb_darkened_magnification, linear_limb_darkening,  # noqa: E402
                            tabulated)
from physical_reference import limb_darkened, linear_profile, ring_mean  # noqa: E402
from physical_reference import tabulated_profile  # noqa: E402
from reference import uniform_disk  # noqa: E402

DPS = 20
RHOS = (0.01, 0.1, 1.0)  # rstar / re
LD = 0.6
TABLE = ([0.0, 0.2, 0.4, 0.6, 0.8, 0.9, 0.95, 1.0],
         [1.0, 0.988, 0.951, 0.88, 0.76, 0.66, 0.59, 0.45])


def rel(value, reference):
    if value == reference:
        return 0.0
    return float(mpmath.mpf(value) / reference - 1)


def fmt(x):
    return "0" if x == 0 else f"{x:+.1e}"


def uniform_disk_table():
    print("\n### witt_mao_magnification against the uniform disk\n")
    seps = [0.0, 0.3, 0.9, 0.99, 0.9999, 1.0001, 1.01, 1.1, 2.0, 10.0, 100.0]
    print("| rho | " + " | ".join(f"l={l:g}" for l in seps) + " | in the limb band |")
    print("|---" * (len(seps) + 2) + "|")
    for rho in RHOS:
        got = tavlomer.witt_mao_magnification(seps, 1.0, rho)
        row = [fmt(rel(a, uniform_disk(rho * l, rho, dps=30))) for l, a in zip(seps, got)]
        # |u - rho| < 1e-5 Einstein radii returns the value at the limb itself.
        band = 1.0 + 0.9e-5 / rho
        worst = rel(tavlomer.witt_mao_magnification([band], 1.0, rho)[0],
                    uniform_disk(rho * band, rho, dps=30))
        print(f"| {rho:g} | " + " | ".join(row) + f" | {fmt(worst)} at l = 1 + 0.9e-5/rho |")


def ring_table():
    print("\n### heyrovsky_magnification against the ring mean\n")
    print("| rho | general branch, worst of 24 rings | lens outside the ring by f: "
          "f = 1e-6 | 1e-4 | 9.9e-4 | lens inside by less than 0.001 |")
    print("|---|---|---|---|---|---|")
    for rho in RHOS:
        eps = 1.0 / rho
        worst = 0.0
        with mpmath.workdps(DPS):
            for l in (0.0, 0.2, 0.5, 0.9, 1.5, 3.0):
                for r in (0.1, 0.5, 0.9, 1.0):
                    if abs(l - r) >= 0.001:
                        got = tavlomer.heyrovsky_magnification(l, r, 1.0, rho)
                        worst = max(worst, abs(rel(got, ring_mean(mpmath.mpf(l), mpmath.mpf(r), eps))))
            near = []
            for f in (1e-6, 1e-4, 9.9e-4):
                got = tavlomer.heyrovsky_magnification(1.0, 1.0 - f, 1.0, rho)
                near.append(fmt(rel(got, ring_mean(mpmath.mpf(1), 1 - mpmath.mpf(f), eps))))
        zero = tavlomer.heyrovsky_magnification(1.0, 1.0005, 1.0, rho)
        print(f"| {rho:g} | {worst:.1e} | " + " | ".join(near) + f" | {zero} (exactly) |")


def profile_tables():
    seps = [0.0, 0.5, 0.9, 0.999, 1.001, 1.1, 2.0, 10.0]
    linear_ref = linear_profile(mpmath.mpf(LD))
    table_ref = tabulated_profile(*TABLE)
    rows = {}
    for rho in (0.1, 1.0):
        eps = 1.0 / rho
        lin = [limb_darkened(l, eps, linear_ref, dps=DPS) for l in seps]
        tab = [limb_darkened(l, eps, table_ref, breaks=TABLE[0], dps=DPS) for l in seps]
        rows[rho] = (lin, tab)

    def table(title, compute, which):
        print(f"\n### {title}\n")
        print("| rho | " + " | ".join(f"l={l:g}" for l in seps) + " |")
        print("|---" * (len(seps) + 1) + "|")
        for rho in (0.1, 1.0):
            ref = rows[rho][which]
            got = compute(seps, rho)
            print(f"| {rho:g} | " + " | ".join(fmt(rel(a, r)) for a, r in zip(got, ref)) + " |")

    table("integrated_witt_mao_magnification against the limb-darkened source (linear, 0.6)",
          lambda s, rho: tavlomer.integrated_witt_mao_magnification(s, 1.0, rho), 0)
    table("integrated_heyrovsky_magnification against the limb-darkened source (linear, 0.6)",
          lambda s, rho: tavlomer.integrated_heyrovsky_magnification(s, 1.0, rho), 0)
    table("integrated_flux_map_witt_mao_magnification against the tabulated source",
          lambda s, rho: tavlomer.integrated_flux_map_witt_mao_magnification(s, 1.0, rho, *TABLE), 1)
    table("integrated_flux_map_heyrovsky_magnification against the tabulated source",
          lambda s, rho: tavlomer.integrated_flux_map_heyrovsky_magnification(s, 1.0, rho, *TABLE), 1)
    table("Ring sum of examples/limb_darkening.py against the limb-darkened source (linear, 0.6)",
          lambda s, rho: limb_darkened_magnification(s, 1.0, rho, linear_limb_darkening(LD)), 0)
    table("Ring sum of examples/limb_darkening.py against the tabulated source",
          lambda s, rho: limb_darkened_magnification(s, 1.0, rho, tabulated(*TABLE),
                                                     kinks=TABLE[0]), 1)


def defined_value_spread():
    print("\n### integrated_heyrovsky_magnification / physical, 2000 separations in [0, 4)\n")
    print("| rho | l < 0.99: min, max | 0.99 <= l < 1.01 | 1.01 <= l < 1.5 | 1.5 <= l < 4 |")
    print("|---|---|---|---|---|")
    law = linear_limb_darkening(LD)
    for rho in (0.01, 0.1, 1.0):
        seps = [0.0005 + 0.002 * i for i in range(2000)]
        phys = limb_darkened_magnification(seps, 1.0, rho, law)
        got = tavlomer.integrated_heyrovsky_magnification(seps, 1.0, rho)
        cells = []
        for lo, hi in ((0, 0.99), (0.99, 1.01), (1.01, 1.5), (1.5, 4)):
            q = [g / p for l, g, p in zip(seps, got, phys) if lo <= l < hi]
            cells.append(f"{min(q):.3g} .. {max(q):.3g}")
        print(f"| {rho:g} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    uniform_disk_table()
    ring_table()
    profile_tables()
    defined_value_spread()
