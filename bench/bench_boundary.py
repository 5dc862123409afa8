"""Cost of a call through the Python boundary, against the NumPy alternative.

Reports, in one run:
  * microseconds per separation of witt_mao_magnification over 1e5
    separations (Python call, list conversion and result list included);
  * the same uniform-disk formula written as NumPy array code on SciPy's
    elliptic functions, which is what a modeller would otherwise write;
  * microseconds per call of heyrovsky_magnification, and a SciPy scalar
    transcription of the ring formula.

Run: python bench/bench_boundary.py   (needs numpy and scipy)
"""

import math
import time

import numpy as np
from scipy import special

import tavlomer

PI = math.pi


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
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
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

    print(f"witt_mao_magnification, {n} separations (us per separation)")
    print(f"  tavlomer (list in, list out)          {t_ours / n * 1e6:8.3f}")
    print(f"  NumPy + SciPy, float64 array in/out   {t_np / n * 1e6:8.3f}")
    print(f"  NumPy + SciPy, list in, list out      {t_np_list / n * 1e6:8.3f}")
    print(f"  largest relative difference            {worst:.2e}")
    print("heyrovsky_magnification, one ring per call (us per call)")
    print(f"  tavlomer                              {t_ring / calls * 1e6:8.3f}")
    print(f"  SciPy scalar transcription            {t_ring_sp / 2000 * 1e6:8.3f}")


if __name__ == "__main__":
    main()
