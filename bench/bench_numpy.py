"""NumPy float64 arrays against lists as the separations, 1e6 of them.

A one-dimensional C-contiguous float64 array is read as one block of
doubles; a list is read element by element (one float object each); an
array that is not of that exact kind (here a trivial ndarray subclass, which
is what every array was before the block read) is walked element by
element, one NumPy scalar made and converted per element.  Reports, in one
run, milliseconds of process CPU time per call (best of a few, the inputs
taking turns; CPU time, so that other work on a shared machine counts
less) for

  * the boundary alone: witt_mao_magnification with every separation within
    1e-5 Einstein radii of the limb, where the model only copies its cached
    limb value, so that the call is argument and result conversion;
  * witt_mao_magnification over separations in [0, 5);
  * discrete_flux_map_heyrovsky_magnification with a three-ring table;

given the array, the same values as a prepared list, the array converted
with .tolist() on each call, and the walked array subclass.  All four give
the same result, bit for bit (checked).

Run: python bench/bench_numpy.py   (needs numpy)
"""

import math
import time

import numpy as np

import tavlomer

N = 1_000_000


class Walked(np.ndarray):
    """Takes the element walk, as every array did before the block read."""


def compare(title, call, seps, repeat):
    as_list = seps.tolist()
    walked = seps.view(Walked)
    inputs = {
        "float64 array (block read)": lambda: call(seps),
        "list of floats": lambda: call(as_list),
        "array.tolist() on each call": lambda: call(seps.tolist()),
        "array subclass (element walk)": lambda: call(walked),
    }
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
    base = times["float64 array (block read)"]
    print(f"{title}, {len(seps):.0e} separations (ms per call; extra over the array)")
    for name, t in times.items():
        print(f"  {name:32s} {t * 1e3:9.1f}   {(t - base) * 1e3:+8.1f}")


def main():
    rng = np.random.default_rng(1)
    re, rstar = 1.0, 0.3
    witt_mao = lambda l: tavlomer.witt_mao_magnification(l, re, rstar)  # noqa: E731
    # |rstar/re * (l - 1)| < 1e-5: the limb value for every separation.
    compare("boundary alone (witt_mao_magnification at the limb)", witt_mao,
            1.0 + rng.uniform(-1e-6, 1e-6, N), repeat=15)
    seps = rng.uniform(0.0, 5.0, N)
    compare("witt_mao_magnification", witt_mao, seps, repeat=4)
    bl, bf = [0.25, 0.5, 0.75], [0.5, 0.3, 0.2]
    compare("discrete_flux_map_heyrovsky_magnification, 3 rings",
            lambda l: tavlomer.discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf),
            seps, repeat=2)


if __name__ == "__main__":
    main()
