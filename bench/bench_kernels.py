"""Nanoseconds per evaluation of the elliptic-integral kernels, beside SciPy's.

Each kernel runs over the same 10^6 arguments as SciPy's ufunc
(scipy.special.elliprf, elliprc, elliprd, elliprj, ellipk, ellipe; SciPy has
no complete Pi).  Ours are timed through the test-only benchmark entries
name_many(out, ...), which loop in C++ over buffers of doubles, so neither
side pays a Python call per evaluation; both write into a preallocated
array.  Arguments:

  * Carlson integrals, general: every argument log-uniform in [1e-3, 1e3]
    (the duplication with its closing series);
  * as Pi calls them: RF(0, 1 - m, 1) (the arithmetic-geometric mean) and
    RJ(0, 1 - m, 1, 1 - n), with m, n uniform in [0, 1);
  * K, E: m uniform in [0, 1); Pi: n, m uniform in [0, 1).

Time is the calling thread's CPU time, best of --repeat runs, ours and
SciPy's taken in turn.  The last column is the largest relative difference
of the two results (0 where the same formula gives the same bits).

Run: python bench/bench_kernels.py   (CPython with numpy and SciPy; builds
tavlomer_testing as the tests do)
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.append(str(ROOT / "tests"))
from native_build import build_native  # noqa: E402

sys.path.append(str(build_native("tavlomer_testing", "TAVLOMER_BUILD_TESTING",
                                 ROOT / "build" / "testing")))
import tavlomer_testing as kt  # noqa: E402

try:
    import scipy
    import scipy.special as sc
except ImportError:  # ours alone
    scipy = sc = None


def best_seconds(runs, repeat):
    """The best CPU time of each run, the runs taken in turn so that a busy
    machine's load falls on all of them alike."""
    best = [float("inf")] * len(runs)
    for _ in range(repeat):
        for i, run in enumerate(runs):
            start = time.thread_time()
            run()
            best[i] = min(best[i], time.thread_time() - start)
    return best


def cases(n, rng):
    def log_uniform(size):
        return 10.0 ** rng.uniform(-3.0, 3.0, size)

    zero, one = np.zeros(n), np.ones(n)
    m, k = rng.uniform(0.0, 1.0, n), rng.uniform(0.0, 1.0, n)
    general = [log_uniform(n) for _ in range(4)]
    return [
        # (label, ours, SciPy's name or None, arguments)
        ("elliprf(x, y, z)", kt.elliprf_many, "elliprf", general[:3]),
        ("elliprf(0, 1-m, 1)", kt.elliprf_many, "elliprf", [zero, 1.0 - m, one]),
        ("elliprc(x, y)", kt.elliprc_many, "elliprc", general[:2]),
        ("elliprd(x, y, z)", kt.elliprd_many, "elliprd", general[:3]),
        ("elliprj(x, y, z, p)", kt.elliprj_many, "elliprj", general),
        ("elliprj(0, 1-m, 1, 1-n)", kt.elliprj_many, "elliprj", [zero, 1.0 - m, one, 1.0 - k]),
        ("ellipk(m)", kt.ellipk_many, "ellipk", [m]),
        ("ellipe(m)", kt.ellipe_many, "ellipe", [m]),
        ("ellippi(n, m)", kt.ellippi_many, None, [k, m]),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    n = args.points
    out = np.empty(n)
    print(f"{n} evaluations per kernel, best of {args.repeat}, ns per evaluation"
          + (f" (SciPy {scipy.__version__})" if scipy else " (SciPy not installed)") + "\n")
    print("| kernel | tavlomer | SciPy | ratio | largest \\|ours / SciPy − 1\\| |")
    print("|---|---:|---:|---:|---:|")
    for label, ours, theirs, arguments in cases(n, np.random.default_rng(20240601)):
        runs = [lambda: ours(out, *arguments)]
        if sc is not None and theirs is not None:
            function = getattr(sc, theirs)
            reference = np.empty(n)
            runs.append(lambda: function(*arguments, out=reference))
        ns = [seconds / n * 1e9 for seconds in best_seconds(runs, args.repeat)]
        cells = [f"{ns[0]:.1f}", "", "", ""]
        if len(ns) == 2:
            agreement = np.nanmax(np.abs(out / reference - 1.0))
            cells[1:] = [f"{ns[1]:.1f}", f"{ns[0] / ns[1]:.2f}", f"{agreement:.1e}"]
        print(f"| {label} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
