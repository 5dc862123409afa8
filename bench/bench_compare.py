"""tavlomer against what a modeller would otherwise use, in one run.

For the same separations u (Einstein radii), source radius rho and linear
limb-darkening coefficient c (I = 1 - c (1 - sqrt(1 - x^2))), every method
is timed per light-curve point and compared with a high-precision reference:

* uniform source: the point-source magnification integrated over the disk
  with mpmath (tests/reference.py: one angular quadrature of the closed
  radial integral, 30 digits);
* limb-darkened source: the brightness-weighted mean of the point-source
  magnification over the disk, as a ring integral of mpmath ring means
  (tests/physical_reference.py, 20 digits).

Methods: tavlomer's functions, the ring-sum route of
examples/limb_darkening.py, MulensModel's finite-source point-lens methods
(through ``Model.get_magnification``, as a modeller calls them; its limb
darkening takes Gamma = 2c / (3 - c)) and VBMicrolensing's extended-source
point-lens functions, at their default tolerances (Tol = 0.01, RelTol = 0) and
at tighter ones.  A package that is not installed is reported as such.

    python3 -m pip install ".[bench]" && python3 bench/bench_compare.py [--rho 0.1] [--ld 0.6]

Timing: the best of three runs over --points separations evenly spread over
[0, 3 rho] (every k-th of them for methods too slow for 2 s a run), in one
call where the method takes a list, else point by point.
Accuracy: the largest and the median |A / A_ref - 1| over 12 separations from the centre
of the source to 10 source radii (u / rho = 0.001, 0.3, 0.6, 0.9, 0.99,
1.01, 1.1, 1.5, 2, 3, 5, 10); the lens exactly at the source's centre
(u = 0) is reported apart, since some methods fail there.
"""

import argparse
import math
import sys
import time
import warnings
from pathlib import Path

import mpmath

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "examples")]

import tavlomer  # noqa: E402
import tavlomer_physics  # noqa: E402
from limb_darkening import limb_darkened_magnification, linear_limb_darkening  # noqa: E402
from physical_reference import limb_darkened, linear_profile  # noqa: E402
from reference import uniform_disk  # noqa: E402

CHECK = [0.001, 0.3, 0.6, 0.9, 0.99, 1.01, 1.1, 1.5, 2.0, 3.0, 5.0, 10.0]  # u / rho


def tavlomer_methods(rho, c):
    re, rstar = 1.0, rho  # separations in source radii: l = u / rho
    law = linear_limb_darkening(c)
    return [
        ("tavlomer", "witt_mao_magnification", "uniform",
         lambda u: tavlomer.witt_mao_magnification([x / rho for x in u], re, rstar)),
        ("tavlomer", "integrated_witt_mao_magnification (c = 0.6 fixed)", "limb",
         lambda u: tavlomer.integrated_witt_mao_magnification([x / rho for x in u], re, rstar)),
        ("tavlomer", "integrated_heyrovsky_magnification (c = 0.6 fixed)", "limb",
         lambda u: tavlomer.integrated_heyrovsky_magnification([x / rho for x in u], re, rstar)),
        ("tavlomer", "ring sum, examples/limb_darkening.py", "limb",
         lambda u: limb_darkened_magnification([x / rho for x in u], re, rstar, law)),
        ("tavlomer_physics", "uniform", "uniform", lambda u: tavlomer_physics.uniform(u, rho)),
        ("tavlomer_physics", f"linear, c = {c:g}", "limb",
         lambda u: tavlomer_physics.linear(u, rho, c)),
        ("tavlomer_physics", f"linear, c = {c:g}, rtol = 1e-4", "limb",
         lambda u: tavlomer_physics.linear(u, rho, c, rtol=1e-4)),
    ]


def mulensmodel_methods(rho, c):
    try:
        import MulensModel as mm
        import numpy as np
    except ImportError as error:
        return [("MulensModel", f"not installed ({error})", None, None)]
    gamma = 2 * c / (3 - c)
    methods = []
    for name, kind in [
        ("finite_source_uniform_Gould94", "uniform"),
        ("finite_source_uniform_Gould94_direct", "uniform"),
        ("finite_source_uniform_WittMao94", "uniform"),
        ("finite_source_uniform_Lee09", "uniform"),
        ("finite_source_LD_Yoo04", "limb"),
        ("finite_source_LD_Yoo04_direct", "limb"),
        ("finite_source_LD_WittMao94", "limb"),
        ("finite_source_LD_Lee09", "limb"),
    ]:
        def run(u, name=name, kind=kind):
            # u_0 = 0 and t_E = 1: the lens-source distance at time t is |t|.
            model = mm.Model({"t_0": 0.0, "u_0": 0.0, "t_E": 1.0, "rho": rho})
            model.set_magnification_methods([-1e6, name, 1e6])
            times = np.asarray(u, dtype=float)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                if kind == "limb":
                    return model.get_magnification(times, gamma=gamma)
                return model.get_magnification(times)
        methods.append((f"MulensModel {mm.__version__}", name, kind, run))
    return methods


def vbmicrolensing_methods(rho, c):
    try:
        import VBMicrolensing
    except ImportError as error:
        return [("VBMicrolensing", f"not installed ({error})", None, None)]
    vbm = VBMicrolensing.VBMicrolensing()
    version = getattr(VBMicrolensing, "__version__", "")

    def setting(a1, tol, f):
        def run(u):
            vbm.a1 = a1
            vbm.Tol, vbm.RelTol = (0.01, 0.0) if tol is None else (tol, tol)  # None: defaults
            return [f(x, rho) for x in u]
        return run

    label = f"VBMicrolensing {version}".strip()
    return [
        (label, "ESPLMag2, a1 = 0", "uniform", setting(0.0, None, vbm.ESPLMag2)),
        (label, f"ESPLMag2, a1 = {c:g}", "limb", setting(c, None, vbm.ESPLMag2)),
        (label, f"ESPLMagDark, a1 = {c:g}", "limb", setting(c, None, vbm.ESPLMagDark)),
        (label, f"ESPLMagDark, a1 = {c:g}, Tol = RelTol = 1e-4", "limb",
         setting(c, 1e-4, vbm.ESPLMagDark)),
        (label, f"ESPLMagDark, a1 = {c:g}, Tol = RelTol = 1e-6", "limb",
         setting(c, 1e-6, vbm.ESPLMagDark)),
    ]


def references(rho, c):
    eps = 1.0 / rho
    law = linear_profile(mpmath.mpf(c))
    uniform = [uniform_disk(rho * k, rho, dps=30) for k in CHECK]
    limb = [limb_darkened(k, eps, law, dps=20) for k in CHECK]
    return {"uniform": uniform, "limb": limb}


def errors(values, reference):
    """Largest and median |A / A_ref - 1| (infinite for a non-finite A)."""
    found = sorted(abs(float(mpmath.mpf(float(v)) / r - 1)) if math.isfinite(v) else math.inf
                   for v, r in zip(values, reference))
    return found[-1], found[len(found) // 2]


def time_per_point(run, u, budget=2.0):
    """Best of three, on as many of the separations u (spread evenly) as fit
    in about ``budget`` seconds a run."""
    start = time.perf_counter()
    run(u[:: max(1, len(u) // 20)])
    estimate = (time.perf_counter() - start) / min(len(u), 20)
    u = u[:: max(1, math.ceil(len(u) * estimate / budget))]
    best = math.inf
    for _ in range(3):
        start = time.perf_counter()
        run(u)
        best = min(best, time.perf_counter() - start)
    return 1e6 * best / len(u)


def arguments(doc, argv):
    """--rho, --ld and --points, shared with bench/bench_physics.py."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--rho", type=float, default=0.1, help="source radius, Einstein radii")
    parser.add_argument("--ld", type=float, default=0.6, help="linear limb-darkening coefficient")
    parser.add_argument("--points", type=int, default=2000, help="separations timed")
    return parser.parse_args(argv)


def main(argv=None):
    args = arguments(__doc__, argv)
    rho, c = args.rho, args.ld

    refs = references(rho, c)
    timed = [3 * rho * (i + 0.5) / args.points for i in range(args.points)]
    check = [rho * k for k in CHECK]
    print(f"rho = {rho:g}, linear limb darkening c = {c:g}, {args.points} points timed\n")
    centre = {"uniform": uniform_disk(0, rho, dps=30),
              "limb": limb_darkened(0, 1.0 / rho, linear_profile(mpmath.mpf(c)), dps=20)}
    print("| package | method | source | us per point | relative error: largest | median "
          "| at u = 0 |")
    print("|---|---|---|---:|---:|---:|---|")
    for package, name, kind, run in (tavlomer_methods(rho, c) + mulensmodel_methods(rho, c)
                                     + vbmicrolensing_methods(rho, c)):
        if run is None:
            print(f"| {package} | {name} | | | |")
            continue
        if "fixed" in name and abs(c - 0.6) > 1e-12:
            continue  # those two functions have c = 0.6 built in
        try:
            worst, median = errors(run(check), refs[kind])
            cost = time_per_point(run, timed)
        except Exception as failure:  # report, and go on with the others
            message = str(failure).splitlines()[0][:80]
            print(f"| {package} | {name} | {kind} | failed: {type(failure).__name__}: {message} "
                  "| | | |")
            continue
        try:
            at_centre = run([0.0])[0]
            zero = (f"{abs(float(mpmath.mpf(float(at_centre)) / centre[kind] - 1)):.1e}"
                    if math.isfinite(at_centre) else f"returns {at_centre}")
        except Exception as failure:
            zero = f"raises {type(failure).__name__}"
        print(f"| {package} | {name} | {kind} | {cost:.2f} | {worst:.1e} | {median:.1e} | {zero} |")


if __name__ == "__main__":
    main()
