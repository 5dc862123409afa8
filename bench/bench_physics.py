"""tavlomer_physics side by side with what it replaces, in one run.

rho = 0.1 (--rho), linear limb darkening c = 0.6 (--ld), --points separations
spread evenly over [0, 3 rho]: the same points for every method.

* ``linear`` at the default rtol (1e-9) and at rtol = 1e-4: microseconds per
  point, median and largest over the points (each point its own call, best
  of three), beside VBMicrolensing's ``ESPLMagDark`` at Tol = RelTol = 1e-4
  timed the same way, and the share of points where ``linear`` is faster;
* ``uniform`` against ``tavlomer.witt_mao_magnification``: one call over
  all points, per point;
* 5 bands at once (``linear(u, rho, c[:, None])``, and of ``claret4``) against one band;
* ``power2`` (c = 0.7, alpha = 0.6) beside ``quadratic``, one band each, and
  5 bands of ``power2`` sharing alpha, then each with its own alpha, against one;
* the value with its derivatives (``gradient=True``) against the value alone,
  for every law (the table: the linear law sampled at 11 radii);
* ``linear`` over 10^5 points in one call on 1, 2 and every CPU's threads
  (``threads=``), with the load average the machine had meanwhile.
* the value with the centroid shift (``centroid=True``) against the value
  alone, for every law, and with the derivatives of both (``gradient=True``
  too);
* a light curve (rho / 10, impact parameter 0.3 of it, 6000 points over
  three Einstein times either side): per point, one call over all points
  (value, gradient, centroid; the table too) and a call a point beside
  ``ESPLMagDark``.

Every point of ``linear`` at rtol = 1e-4 and of ``ESPLMagDark`` is also
compared with ``linear`` at rtol = 1e-12.

Accuracy: the largest and median |A / A_ref - 1| at the 12 separations of
bench/bench_compare.py (u / rho from 0.001 to 10), against the mpmath
references of tests/reference.py and tests/physical_reference.py.  A package
that is not installed is reported as such.

    python3 -m pip install . && python3 bench/bench_physics.py
"""

import math
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent
sys.path[:0] = [str(ROOT), str(ROOT.parent / "tests"), str(ROOT.parent / "examples")]

import tavlomer  # noqa: E402
import tavlomer_physics  # noqa: E402
from bench_compare import CHECK, arguments, errors, references, time_per_point  # noqa: E402


def per_point(call, points, repeat=3):
    """Microseconds of call(x) for each point: the best of `repeat`."""
    costs = []
    for x in points:
        best = math.inf
        for _ in range(repeat):
            start = time.perf_counter_ns()
            call(x)
            best = min(best, time.perf_counter_ns() - start)
        costs.append(best / 1e3)
    return costs


def vbmicrolensing(c, tol):
    try:
        import VBMicrolensing
    except ImportError as error:
        return None, f"not installed ({error})"
    vbm = VBMicrolensing.VBMicrolensing()
    vbm.a1 = c
    vbm.Tol = vbm.RelTol = tol
    return vbm.ESPLMagDark, f"VBMicrolensing {getattr(VBMicrolensing, '__version__', '')}".strip()


def main(argv=None):
    args = arguments(__doc__, argv)
    rho, c = args.rho, args.ld
    points = [3 * rho * (i + 0.5) / args.points for i in range(args.points)]
    u = np.array(points)
    check = [rho * k for k in CHECK]
    refs = references(rho, c)
    print(f"rho = {rho:g}, linear limb darkening c = {c:g}, {args.points} points over "
          f"[0, {3 * rho:g}]\n")

    # --- Point by point: linear against ESPLMagDark ---------------------------
    print("| method | us per point: median | largest | relative error: largest | median |")
    print("|---|---:|---:|---:|---:|")
    timings = {}
    rows = [(f"tavlomer_physics.linear, rtol = {rtol:g}",
             lambda x, rtol=rtol: tavlomer_physics.linear(x, rho, c, rtol=rtol), f"linear {rtol:g}")
            for rtol in (1e-9, 1e-4)]
    espl, label = vbmicrolensing(c, 1e-4)
    if espl is None:
        print(f"| VBMicrolensing | {label} | | | |")
    else:
        rows.append((f"{label} ESPLMagDark, a1 = {c:g}, Tol = RelTol = 1e-4",
                     lambda x: espl(x, rho), "espl"))
    for name, call, key in rows:
        costs = per_point(call, points)
        timings[key] = costs
        worst, median = errors([call(x) for x in check], refs["limb"])
        print(f"| {name} | {statistics.median(costs):.2f} | {max(costs):.2f} | {worst:.1e} "
              f"| {median:.1e} |")
    if "espl" in timings:
        faster = sum(a < b for a, b in zip(timings["linear 0.0001"], timings["espl"]))
        print(f"\nlinear at rtol = 1e-4 is faster than ESPLMagDark at {faster} of "
              f"{len(points)} points.")
    # Every point, against the module at its finest rtol (checked against the
    # mpmath references at the 12 separations above and in the tests).
    finest = tavlomer_physics.linear(u, rho, c, rtol=1e-12)
    for name, call, key in rows:
        values = np.array([call(x) for x in points])
        print(f"{name}: largest |A / A(rtol = 1e-12) - 1| over all {len(points)} points "
              f"{np.max(np.abs(values / finest - 1)):.1e}")

    # --- Whole arrays ---------------------------------------------------------
    print("\n| method | us per point (one call over all points) | relative error: largest "
          "| median |")
    print("|---|---:|---:|---:|")
    arrays = [
        ("tavlomer_physics.uniform", lambda x: tavlomer_physics.uniform(np.asarray(x), rho),
         "uniform"),
        ("tavlomer.witt_mao_magnification",
         lambda x: tavlomer.witt_mao_magnification([v / rho for v in x], 1.0, rho), "uniform"),
        ("tavlomer_physics.linear, one band", lambda x: tavlomer_physics.linear(np.asarray(x),
                                                                               rho, c), "limb"),
    ]
    for name, call, kind in arrays:
        worst, median = errors(list(call(check)), refs[kind])
        print(f"| {name} | {time_per_point(call, points):.3f} | {worst:.1e} | {median:.1e} |")

    bands = np.linspace(0.2, 0.8, 5)[:, None]
    one = time_per_point(lambda x: tavlomer_physics.linear(np.asarray(x), rho, c), points)
    five = time_per_point(lambda x: tavlomer_physics.linear(np.asarray(x), rho, bands), points)
    print(f"\n5 bands at once: {five:.3f} us per separation, one band {one:.3f}: "
          f"ratio {five / one:.2f}")
    # Claret's law: five bands share its five basis integrals.
    k = np.array([0.5, 0.1, 0.1, -0.1])[:, None] * np.linspace(0.8, 1.2, 5)
    one = time_per_point(lambda x: tavlomer_physics.claret4(np.asarray(x), rho, 0.5, 0.1, 0.1,
                                                            -0.1), points)
    five = time_per_point(lambda x: tavlomer_physics.claret4(np.asarray(x), rho, *k[:, :, None]),
                          points)
    print(f"claret4, 5 bands at once: {five:.3f} us per separation, one band {one:.3f}: "
          f"ratio {five / one:.2f}")
    # power2: the profile mu^alpha is the geometry's work for each alpha.
    quadratic = time_per_point(lambda x: tavlomer_physics.quadratic(np.asarray(x), rho, 0.4, 0.25),
                               points)
    one = time_per_point(lambda x: tavlomer_physics.power2(np.asarray(x), rho, 0.7, 0.6), points)
    print(f"power2 (alpha = 0.6): {one:.3f} us per point, quadratic {quadratic:.3f}: "
          f"ratio {one / quadratic:.2f}")
    cs = np.linspace(0.5, 0.9, 5)[:, None]
    shared = time_per_point(lambda x: tavlomer_physics.power2(np.asarray(x), rho, cs, 0.6), points)
    alphas = np.linspace(0.4, 0.8, 5)[:, None]
    own = time_per_point(lambda x: tavlomer_physics.power2(np.asarray(x), rho, cs, alphas),
                         points)
    print(f"power2, 5 bands sharing alpha: {shared:.3f} us per separation, one band {one:.3f}: "
          f"ratio {shared / one:.2f}; each its own alpha: {own:.3f}, ratio {own / one:.2f}")

    # --- Value and gradient against the value alone ------------------------------
    # (the table samples the linear law at c)
    table_radii = np.linspace(0.0, 1.0, 11)
    table_intensity = 1 - c * (1 - np.sqrt(1 - table_radii ** 2))
    print("\n| function | us per point: value | value and gradient | ratio |")
    print("|---|---:|---:|---:|")
    calls = [("uniform", lambda x, **k: tavlomer_physics.uniform(np.asarray(x), rho, **k)),
             ("linear", lambda x, **k: tavlomer_physics.linear(np.asarray(x), rho, c, **k)),
             ("linear, rtol = 1e-4",
              lambda x, **k: tavlomer_physics.linear(np.asarray(x), rho, c, rtol=1e-4, **k)),
             ("quadratic", lambda x, **k: tavlomer_physics.quadratic(np.asarray(x), rho, 0.4, 0.25,
                                                                     **k)),
             ("square_root", lambda x, **k: tavlomer_physics.square_root(np.asarray(x), rho, 0.3,
                                                                         0.4, **k)),
             ("logarithmic", lambda x, **k: tavlomer_physics.logarithmic(np.asarray(x), rho, 0.6,
                                                                         0.2, **k)),
             ("claret4", lambda x, **k: tavlomer_physics.claret4(np.asarray(x), rho, 0.5, 0.1,
                                                                 0.1, -0.1, **k)),
             ("power2", lambda x, **k: tavlomer_physics.power2(np.asarray(x), rho, 0.7, 0.6, **k)),
             ("tabulated, 11 entries", lambda x, **k: tavlomer_physics.tabulated(
                 np.asarray(x), rho, table_radii, table_intensity, **k))]
    for name, call in calls:
        alone = time_per_point(call, points)
        both = time_per_point(lambda x, call=call: call(x, gradient=True), points)
        print(f"| {name} | {alone:.3f} | {both:.3f} | {both / alone:.2f} |")

    # --- Value and centroid shift against the value alone ------------------------
    # And with gradient=True too: the slopes of both.
    print("\n| function | us per point: value | value and centroid shift | ratio "
          "| with the gradient of both | ratio |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, call in calls[:2] + calls[3:]:
        alone = time_per_point(call, points)
        both = time_per_point(lambda x, call=call: call(x, centroid=True), points)
        slopes = time_per_point(lambda x, call=call: call(x, centroid=True, gradient=True), points)
        print(f"| {name} | {alone:.3f} | {both:.3f} | {both / alone:.2f} | {slopes:.3f} "
              f"| {slopes / alone:.2f} |")

    # --- A light curve ------------------------------------------------------------
    # Most of a fit's points lie far outside the source, where the point
    # lens's series takes them: there the fixed cost of a point counts.
    small = rho / 10
    curve = np.hypot(0.3 * small, np.linspace(-3.0, 3.0, 6000))
    print(f"\nA light curve: rho = {small:g}, u0 = 0.3 rho, {curve.size} points over "
          f"|t - t0| <= 3 tE ({np.mean(curve < small):.1%} inside the source)\n")
    print("| method | us per point: rtol = 1e-4 | rtol = 1e-3 |")
    print("|---|---:|---:|")
    single_curve = list(curve[::10])
    rows = [("uniform, one call", lambda r: tavlomer_physics.uniform(curve, small), curve),
            ("linear, one call", lambda r: tavlomer_physics.linear(curve, small, c, rtol=r), curve),
            ("linear with gradient, one call", lambda r: tavlomer_physics.linear(
                curve, small, c, rtol=r, gradient=True), curve),
            ("linear with centroid shift, one call", lambda r: tavlomer_physics.linear(
                curve, small, c, rtol=r, centroid=True), curve),
            ("linear, a call a point", lambda r: [tavlomer_physics.linear(x, small, c, rtol=r)
                                                  for x in single_curve], single_curve),
            ("tabulated, 11 entries, one call", lambda r: tavlomer_physics.tabulated(
                curve, small, table_radii, table_intensity, rtol=r), curve)]
    for tol in (1e-4, 1e-3):
        espl, label = vbmicrolensing(c, tol)
        if espl is not None:
            rows.append((f"{label} ESPLMagDark, Tol = RelTol = {tol:g}, a call a point",
                         lambda r, espl=espl, tol=tol: [espl(x, small) for x in single_curve]
                         if r == tol else None, single_curve))
    for name, call, where in rows:
        cells = []
        for tol in (1e-4, 1e-3):
            if call(tol) is None:
                cells.append("")
                continue
            best = math.inf
            for _ in range(5):
                start = time.perf_counter()
                call(tol)
                best = min(best, time.perf_counter() - start)
            cells.append(f"{best / len(where) * 1e6:.3f}")
        print(f"| {name} | {' | '.join(cells)} |")

    # --- Threads inside one call --------------------------------------------------
    many = np.linspace(0.0, 3 * rho, 100_000)
    load = os.getloadavg()[0]
    print(f"\n| threads | s per call of linear over {many.size} points | speed-up |")
    print("|---:|---:|---:|")
    single = None
    for threads in (1, 2, 0):
        best = math.inf
        for _ in range(3):
            start = time.perf_counter()
            tavlomer_physics.linear(many, rho, c, threads=threads)
            best = min(best, time.perf_counter() - start)
        single = single or best
        label = f"0 ({os.cpu_count()} CPUs)" if threads == 0 else str(threads)
        print(f"| {label} | {best:.3f} | {single / best:.2f} |")
    print(f"load average (1 min) before: {load:.2f}, after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
