"""What a call through the Python boundary costs, in one run.

Two tables in the README's form (Markdown), both under the interpreter that
runs the script:

1. Input kinds: witt_mao_magnification and
   discrete_flux_map_heyrovsky_magnification over 1e6 separations given as a
   one-dimensional C-contiguous float64 array (read as one block of doubles),
   a prepared list of floats (read element by element), the array converted
   with .tolist() on each call, and an ndarray subclass (walked element by
   element, one NumPy scalar made and converted per element).  The first row,
   every separation within 1e-5 Einstein radii of the limb, where the model
   only copies its cached limb value, is the boundary alone: argument and
   result conversion.  Milliseconds of process CPU time per call (best of a
   few, the inputs taking turns, so that other work on a shared machine
   counts less), and the extra over the array.  All four inputs give the same
   result, bit for bit (checked).

2. Against array code: witt_mao_magnification over 1e5 separations beside
   the same uniform-disk formula written as NumPy array code on SciPy's
   elliptic functions (what a modeller would otherwise write), and
   heyrovsky_magnification, one ring per call, beside a SciPy scalar
   transcription of the ring formula; microseconds per separation or call.

Where the time inside one call goes (a sampled profile): bench/profile_boundary.py.

    python3 bench/bench_boundary.py   (needs numpy and scipy)
"""

import math
import time

import numpy as np
from scipy import special

import tavlomer

PI = math.pi
N = 1_000_000


def witt_mao_numpy(l, re, rstar):
    """The uniform-disk magnification (Witt & Mao 1994) as array code."""
    rho = rstar / re
    u = rho * np.asarray(l, dtype=float)
    delta = u - rho
    s = rho + u
    n = 4.0 * rho * u / (s * s)
    q = np.sqrt(delta * delta + 4.0)
    m = (np.sqrt(4.0 * n) / q) ** 2
    e = special.ellipe(m)
    k = special.ellipk(m)
    p = special.elliprf(0.0, 1.0 - m, 1.0) + n / 3.0 * special.elliprj(0.0, 1.0 - m, 1.0, 1.0 - n)
    rho2 = rho * rho
    c_e = s * q / (2.0 * rho2)
    c_k = delta * (4.0 + (u * u - rho2) * 0.5) / (rho2 * q)
    c_p = (rho2 + 1.0) * 2.0 * delta * delta / (rho2 * s * q)
    a = (c_e * e - c_k * k + c_p * p) / PI
    limb = (2.0 / rho + (rho2 + 1.0) / rho2 * (math.asin((rho2 - 1.0) / (rho2 + 1.0)) + PI / 2)) / PI
    return np.where(np.abs(delta) < 1e-5, limb, a)


def ring_scipy(l, r, re, rstar):
    eps = re / rstar
    g = eps * eps
    f = l - r
    s = l + r
    d = f * f + 4.0 * g
    m = (4.0 * eps / s) ** 2 * (l * r / d)
    n = 4.0 * l * r / (s * s)
    k = special.ellipk(m)
    p = special.elliprf(0.0, 1.0 - m, 1.0) + n / 3.0 * special.elliprj(0.0, 1.0 - m, 1.0, 1.0 - n)
    return 4.0 / (s * math.sqrt(d)) * (f * f * p + 2.0 * g * k) / (2.0 * PI)


def best_of(fn, repeat=7):
    best = math.inf
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
    return best


class Walked(np.ndarray):
    """Takes the element walk, as every array did before the block read."""


INPUT_KINDS = ["float64 array (block read)", "list of floats", "array.tolist() on each call",
               "array subclass (element walk)"]


def compare(call, seps, repeat):
    """Best process CPU time of `call` on each input kind (INPUT_KINDS)."""
    as_list = seps.tolist()
    walked = seps.view(Walked)
    inputs = dict(zip(INPUT_KINDS, [lambda: call(seps), lambda: call(as_list),
                                    lambda: call(seps.tolist()), lambda: call(walked)]))
    reference = np.array(call(as_list)).view(np.uint64)
    for fn in inputs.values():
        assert np.array_equal(np.array(fn()).view(np.uint64), reference)
    # Turn about, so that a slow spell of a shared machine hits every input.
    times = dict.fromkeys(inputs, math.inf)
    for _ in range(repeat):
        for name, fn in inputs.items():
            t0 = time.process_time()
            fn()
            times[name] = min(times[name], time.process_time() - t0)
    return times


def input_kinds():
    rng = np.random.default_rng(1)
    re, rstar = 1.0, 0.3
    witt_mao = lambda l: tavlomer.witt_mao_magnification(l, re, rstar)  # noqa: E731
    bl, bf = [0.25, 0.5, 0.75], [0.5, 0.3, 0.2]
    flux_map = lambda l: tavlomer.discrete_flux_map_heyrovsky_magnification(  # noqa: E731
        l, re, rstar, bl, bf)
    seps = rng.uniform(0.0, 5.0, N)
    # |rstar/re * (l - 1)| < 1e-5: the limb value for every separation.
    at_limb = 1.0 + rng.uniform(-1e-6, 1e-6, N)
    rows = [("boundary alone (witt_mao_magnification at the limb)", witt_mao, at_limb, 15),
            ("witt_mao_magnification", witt_mao, seps, 4),
            ("discrete_flux_map_heyrovsky_magnification, 3 rings", flux_map, seps, 2)]
    print(f"Input kinds, {N:.0e} separations: ms per call (extra over the float64 array)\n")
    print("| call | " + " | ".join(INPUT_KINDS) + " |")
    print("|---|" + "---:|" * len(INPUT_KINDS))
    for title, call, values, repeat in rows:
        times = compare(call, values, repeat)
        base = times[INPUT_KINDS[0]]
        cells = [f"{base * 1e3:.1f}"] + [f"{t * 1e3:.1f} ({(t - base) * 1e3:+.1f})"
                                         for t in list(times.values())[1:]]
        print(f"| {title} | " + " | ".join(cells) + " |")


def against_array_code():
    rng = np.random.default_rng(1)
    n = 100_000
    seps = rng.uniform(0.0, 5.0, n)
    as_list = seps.tolist()
    re, rstar = 1.0, 0.3

    ours = np.array(tavlomer.witt_mao_magnification(as_list, re, rstar))
    theirs = witt_mao_numpy(seps, re, rstar)
    worst = float(np.max(np.abs(ours - theirs) / np.abs(ours)))

    t_ours = best_of(lambda: tavlomer.witt_mao_magnification(as_list, re, rstar))
    t_np = best_of(lambda: witt_mao_numpy(seps, re, rstar))
    t_np_list = best_of(lambda: witt_mao_numpy(as_list, re, rstar).tolist())

    calls = 20_000
    pairs = list(zip(rng.uniform(0.0, 3.0, calls).tolist(), rng.uniform(0.0, 1.0, calls).tolist()))
    ring = tavlomer.heyrovsky_magnification
    t_ring = best_of(lambda: [ring(l, r, 1.0, 1.0) for l, r in pairs], repeat=5)
    t_ring_sp = best_of(lambda: [ring_scipy(l, r, 1.0, 1.0) for l, r in pairs[:2000]], repeat=3)

    print(f"\nAgainst array code: us per separation ({n:.0e} separations) or per ring call\n")
    print("| computation | tavlomer | NumPy + SciPy |")
    print("|---|---:|---:|")
    print(f"| uniform disk, list in, list out | {t_ours / n * 1e6:.3f} "
          f"| {t_np_list / n * 1e6:.3f} |")
    print(f"| uniform disk, float64 array in and out | | {t_np / n * 1e6:.3f} |")
    print(f"| one ring per call (heyrovsky_magnification) | {t_ring / calls * 1e6:.3f} "
          f"| {t_ring_sp / 2000 * 1e6:.3f} |")
    print(f"\nLargest relative difference of the uniform-disk results: {worst:.2e}")


def main():
    input_kinds()
    against_array_code()


if __name__ == "__main__":
    main()
