"""What a call of tavlomer_physics on plain floats costs beyond its work, in
one run: each function on one point (u a Python float), beside the cost per
point of one call over 10^4 copies of that point (the work, with the
boundary's cost spread over the points).  rho = 0.1, the coefficients as
below; microseconds of the process's CPU time (time the machine gives to
other jobs excluded), the best of interleaved rounds (2000 calls each for a
point alone, one array call).  The same call with u a 0-d array takes the
general path (NumPy conversion, shapes, workspace) and is shown beside it.
Runs under CPython and PyPy:

    python3 -m pip install . && python3 bench/bench_scalar_calls.py
"""

import time
import timeit

import numpy as np

import tavlomer_physics as tp

RHO = 0.1
POINTS = 10**4
ROUNDS = 15
CALLS = 2000

# Each written as a caller writes it: literal arguments, rtol as a keyword.
CASES = [
    ("uniform", 1.0, lambda u: tp.uniform(u, RHO)),
    ("uniform, gradient=True", 1.0, lambda u: tp.uniform(u, RHO, gradient=True)),
    ("linear, rtol = 1e-4", 1.0, lambda u: tp.linear(u, RHO, 0.6, rtol=1e-4)),
    ("linear, rtol = 1e-4", 0.15, lambda u: tp.linear(u, RHO, 0.6, rtol=1e-4)),
    ("linear, rtol = 1e-9", 1.0, lambda u: tp.linear(u, RHO, 0.6, rtol=1e-9)),
    ("linear, rtol = 1e-9", 0.15, lambda u: tp.linear(u, RHO, 0.6, rtol=1e-9)),
    ("linear, rtol = 1e-4, gradient=True", 1.0,
     lambda u: tp.linear(u, RHO, 0.6, rtol=1e-4, gradient=True)),
    ("claret4, rtol = 1e-4", 1.0, lambda u: tp.claret4(u, RHO, 0.5, 0.2, 0.1, -0.05, rtol=1e-4)),
]


def main():
    print("| call | u | us: u a float | u a 0-d array | per point of 10^4 | a float beyond it |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, u, call in CASES:
        # One Timer each, kept across rounds: PyPy's JIT compiles each once.
        timers = [timeit.Timer(lambda x=x: call(x), timer=time.process_time)
                  for x in (u, np.array(u), np.full(POINTS, u))]
        best = [float("inf")] * 3
        for _ in range(ROUNDS):
            for k, (timer, number) in enumerate(zip(timers, (CALLS, CALLS, 1))):
                best[k] = min(best[k], timer.timeit(number=number) / number)
        plain, zero_d, point = 1e6 * best[0], 1e6 * best[1], 1e6 * best[2] / POINTS
        print(f"| {name} | {u:g} | {plain:.3f} | {zero_d:.3f} | {point:.3f} | {plain - point:.3f} |")


if __name__ == "__main__":
    main()
