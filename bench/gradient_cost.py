"""What the derivatives cost beside the value: microseconds per point of
``linear`` (c = 0.6) and ``quadratic`` (0.4, 0.25) on arrays, the value alone
and with ``gradient=True``, and their ratio, with the lens inside the source
(u over [0, 0.99 rho]) and over [0, 3 rho], at rtol 1e-9 and 1e-4.

Each row is one call over --points separations at rho = 0.1 (--rho), the
best of --repeat.  With --instructions value (or gradient), one call of the
law --law at --rtol over [0, --top rho], untimed, for
``valgrind --tool=callgrind`` (PYTHONHASHSEED=0): its count less that of a
run with --points 1 is the work, repeatable where the timings on a shared
machine are not.

    python3 -m pip install . && python3 bench/gradient_cost.py
"""

import argparse
import time

import numpy as np

import tavlomer_physics as tp

LAWS = {"linear": (0.6,), "quadratic": (0.4, 0.25)}
SPANS = {"inside": 0.99, "over [0, 3 rho]": 3.0}


def best_us(call, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter_ns()
        call()
        best = min(best, time.perf_counter_ns() - start)
    return best / 1e3


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--rho", type=float, default=0.1)
    parser.add_argument("--repeat", type=int, default=20)
    parser.add_argument("--instructions", choices=("value", "gradient"))
    parser.add_argument("--law", choices=tuple(LAWS), default="linear")
    parser.add_argument("--rtol", type=float, default=1e-9)
    parser.add_argument("--top", type=float, default=0.99)
    args = parser.parse_args(argv)
    n = max(args.points, 1)
    if args.instructions:
        u = np.linspace(0.0, args.top * args.rho, n)
        getattr(tp, args.law)(u, args.rho, *LAWS[args.law], rtol=args.rtol,
                              gradient=args.instructions == "gradient")
        return
    print("| law | rtol | u | us per point: value | value and gradient | ratio |")
    print("|---|---:|---|---:|---:|---:|")
    for name, coefficients in LAWS.items():
        law = getattr(tp, name)
        for rtol in (1e-9, 1e-4):
            for span, top in SPANS.items():
                u = np.linspace(0.0, top * args.rho, args.points)

                def value(u=u, law=law, coefficients=coefficients, rtol=rtol):
                    return law(u, args.rho, *coefficients, rtol=rtol)

                def both(u=u, law=law, coefficients=coefficients, rtol=rtol):
                    return law(u, args.rho, *coefficients, rtol=rtol, gradient=True)

                v = best_us(value, args.repeat) / n
                g = best_us(both, args.repeat) / n
                print(f"| {name} | {rtol:g} | {span} | {v:.3f} | {g:.3f} | {g / v:.2f} |")


if __name__ == "__main__":
    main()
