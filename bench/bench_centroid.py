"""The astrometric centroid shift beside VBMicrolensing's astrometry, in one run.

rho = 0.1 (--rho), uniform and linear limb darkening c = 0.6 (--ld),
--points separations spread evenly over [0, 3 rho].

* Time per point: ``tavlomer_physics.uniform`` and ``linear`` with
  ``centroid=True`` (one call over all points, and each point its own call,
  median), and VBMicrolensing's ``ESPLMag2`` (uniform, a1 = 0) and
  ``ESPLMagDark`` (a1 = c) with ``astrometry = True`` at their default
  tolerances and at Tol = RelTol = 1e-4 (each point its own call).
  VBMicrolensing's ``astrox1`` is the light centroid's distance from the lens
  along the axis in Einstein radii, so its shift is astrox1 - u.
* Accuracy: |shift - reference| / max(|reference|, 0.01 rho), largest and
  median over the stored two-dimensional mpmath references of the source
  radius (tests/centroid_reference.py; rho = 0.1 only: inside, 1e-3 from the
  limb on either side, on it, outside and 20 rho out).

    python3 -m pip install . && python3 bench/bench_centroid.py
"""

import argparse
import math
import statistics
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent
sys.path[:0] = [str(ROOT), str(ROOT.parent / "tests")]

import tavlomer_physics  # noqa: E402
from bench_physics import per_point  # noqa: E402
from centroid_reference import load  # noqa: E402


def whole(call, points, repeat=5):
    u = np.asarray(points)
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        call(u)
        best = min(best, time.perf_counter() - start)
    return best / len(points) * 1e6


def vbm_shift(c, tol):
    """A function (u, rho) -> shift with VBMicrolensing's astrometry, and its name."""
    try:
        import VBMicrolensing
    except ImportError as error:
        return None, f"VBMicrolensing not installed ({error})"
    vbm = VBMicrolensing.VBMicrolensing()
    vbm.astrometry = True
    vbm.a1 = c
    if tol is not None:
        vbm.Tol = vbm.RelTol = tol
    magnify = vbm.ESPLMagDark if c else vbm.ESPLMag2

    def shift(u, rho):
        magnify(u, rho)
        return vbm.astrox1 - u

    version = getattr(VBMicrolensing, "__version__", "")
    return shift, (f"VBMicrolensing {version} {'ESPLMagDark' if c else 'ESPLMag2'}, "
                   f"{'Tol = RelTol = %g' % tol if tol else 'default Tol, RelTol'}")


def errors(shift, references, rho):
    e = [abs(shift(u) - s) / max(abs(s), 0.01 * rho) for u, s in references]
    return max(e), statistics.median(e)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rho", type=float, default=0.1)
    parser.add_argument("--ld", type=float, default=0.6)
    parser.add_argument("--points", type=int, default=2000)
    args = parser.parse_args(argv)
    rho, c = args.rho, args.ld
    points = [3 * rho * (i + 0.5) / args.points for i in range(args.points)]
    stored = {law: [(u, s) for name, coefficients, u, r, s in load()
                    if name == law and r == rho and (law == "uniform" or coefficients == (c,))]
              for law in ("uniform", "linear")}
    print(f"rho = {rho:g}, linear limb darkening c = {c:g}, {args.points} points over "
          f"[0, {3 * rho:g}]; accuracy at {len(stored['linear'])} stored references\n")
    print("| method | us per point: one call over all | each point its own call | "
          "error: largest | median |")
    print("|---|---:|---:|---:|---:|")
    for law, coefficients in (("uniform", ()), ("linear", (c,))):
        function = getattr(tavlomer_physics, law)
        for rtol in ((None,) if law == "uniform" else (1e-9, 1e-4)):
            keywords = {"centroid": True} if rtol is None else {"centroid": True, "rtol": rtol}
            shift = (lambda u, f=function, k=keywords: f(u, rho, *coefficients, **k)[1])
            label = f"tavlomer_physics.{law}" + (f", rtol = {rtol:g}" if rtol else "")
            worst, median = errors(shift, stored[law], rho) if stored[law] else (math.nan,) * 2
            print(f"| {label} | {whole(shift, points):.3f} | {statistics.median(per_point(shift, points)):.2f} "
                  f"| {worst:.1e} | {median:.1e} |")
        for tol in (None, 1e-4):
            call, label = vbm_shift(coefficients[0] if coefficients else 0.0, tol)
            if call is None:
                print(f"| {label} | | | | |")
                continue
            shift = (lambda u, call=call: call(u, rho))
            worst, median = errors(shift, stored[law], rho) if stored[law] else (math.nan,) * 2
            print(f"| {label} | | {statistics.median(per_point(shift, points)):.2f} | {worst:.1e} | {median:.1e} |")


if __name__ == "__main__":
    main()
