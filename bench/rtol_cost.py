"""What rtol buys: for each rtol, the largest error the linear law delivers on
the regime grid and its median cost per point, in one run.

* Error: |A / A_ref - 1| for the linear law (c = 0.6, --ld) at every (u / rho,
  rho) of the regime grid of tests/test_tavlomer_physics.py (the centre,
  inside, 1e-12 to 1e-2 from the limb on either side and on it, outside, far
  out; rho from 1e-4 to 10), against the mpmath reference of
  tests/physical_reference.py (the brightness-weighted mean of the
  point-source magnification, ring by ring, 20 digits), shown also as a
  share of rtol.
* Cost: microseconds per point, one call per point (best of three), over
  --points separations spread evenly over [0, 3 rho] at rho = 0.1 (--rho),
  as bench/bench_physics.py times it; beside it VBMicrolensing's ESPLMagDark
  at Tol = RelTol = 1e-3 and 1e-4, timed the same way, if it is installed.

Prints a Markdown table.  The references take about a minute.

    python3 -m pip install . && python3 bench/rtol_cost.py
"""

import statistics
import sys
from pathlib import Path

import mpmath

ROOT = Path(__file__).resolve().parent
sys.path[:0] = [str(ROOT), str(ROOT.parent / "tests")]

import tavlomer_physics  # noqa: E402
from bench_compare import arguments  # noqa: E402
from bench_physics import per_point, vbmicrolensing  # noqa: E402
from physical_reference import limb_darkened, linear_profile  # noqa: E402

RTOLS = (1e-2, 1e-3, 1e-4, 1e-6, 1e-9, 1e-12)
GRID_L = (0.0, 0.5, 1 - 1e-2, 1 - 1e-12, 1.0, 1 + 1e-12, 1 + 1e-6, 1 + 1e-2, 2.0, 1e4)
GRID_RHO = (1e-4, 1e-2, 1.0, 10.0)


def reference(u, rho, c):
    """The linear law's magnification at the exact doubles u and rho."""
    with mpmath.workdps(60):
        l, eps = mpmath.mpf(u) / mpmath.mpf(rho), 1 / mpmath.mpf(rho)
    return limb_darkened(l, eps, linear_profile(mpmath.mpf(c)), dps=20)


def main(argv=None):
    args = arguments(__doc__, argv)
    rho, c = args.rho, args.ld
    points = [3 * rho * (i + 0.5) / args.points for i in range(args.points)]
    grid = [(l * r, r) for r in GRID_RHO for l in GRID_L]
    refs = [reference(u, r, c) for u, r in grid]
    print(f"linear law, c = {c:g}: largest error over {len(grid)} points of the regime grid; "
          f"us per point over {args.points} separations in [0, {3 * rho:g}], rho = {rho:g}\n")
    print("| rtol | largest error | as a share of rtol | us per point: median | largest |")
    print("|---:|---:|---:|---:|---:|")
    for rtol in RTOLS:
        worst = max(abs(float(mpmath.mpf(tavlomer_physics.linear(u, r, c, rtol=rtol)) / ref - 1))
                    for (u, r), ref in zip(grid, refs))
        costs = per_point(lambda x, rtol=rtol: tavlomer_physics.linear(x, rho, c, rtol=rtol),
                          points)
        print(f"| {rtol:g} | {worst:.1e} | {worst / rtol:.2g} | {statistics.median(costs):.2f} "
              f"| {max(costs):.2f} |")
    for tol in (1e-3, 1e-4):
        espl, label = vbmicrolensing(c, tol)
        if espl is None:
            print(f"\nVBMicrolensing: {label}")
            break
        costs = per_point(lambda x: espl(x, rho), points)
        print(f"\n{label} ESPLMagDark at Tol = RelTol = {tol:g}: {statistics.median(costs):.2f} us "
              f"per point (median), {max(costs):.2f} largest")


if __name__ == "__main__":
    main()
