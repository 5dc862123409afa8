"""Time per separation of each of the seven functions, as a Python caller sees
it (argument conversion and the result list included).

One call per function with 1000 separations evenly spread over [0, 3) source
radii, rho = rstar / re = 0.1, an 8-entry flux map (bl, bf) and, for the
discrete ring sum, the same 8 rings; heyrovsky_magnification is called once
per separation.  Best of five runs.  Runs under CPython and PyPy.

    python3 bench/bench_functions.py
"""

import platform
import time

import tavlomer

N = 1000
L = [3.0 * (i + 0.5) / N for i in range(N)]
RE, RSTAR = 1.0, 0.1
BL = [0.0, 0.2, 0.4, 0.6, 0.8, 0.9, 0.95, 1.0]
BF = [1.0, 0.988, 0.951, 0.88, 0.76, 0.66, 0.59, 0.45]

CALLS = [
    ("`witt_mao_magnification`", lambda: tavlomer.witt_mao_magnification(L, RE, RSTAR)),
    ("`integrated_witt_mao_magnification`",
     lambda: tavlomer.integrated_witt_mao_magnification(L, RE, RSTAR)),
    ("`integrated_flux_map_witt_mao_magnification`",
     lambda: tavlomer.integrated_flux_map_witt_mao_magnification(L, RE, RSTAR, BL, BF)),
    ("`heyrovsky_magnification` (one call per ring)",
     lambda: [tavlomer.heyrovsky_magnification(l, 0.5, RE, RSTAR) for l in L]),
    ("`integrated_heyrovsky_magnification`",
     lambda: tavlomer.integrated_heyrovsky_magnification(L, RE, RSTAR)),
    ("`integrated_flux_map_heyrovsky_magnification`",
     lambda: tavlomer.integrated_flux_map_heyrovsky_magnification(L, RE, RSTAR, BL, BF)),
    ("`discrete_flux_map_heyrovsky_magnification` (8 rings)",
     lambda: tavlomer.discrete_flux_map_heyrovsky_magnification(L, RE, RSTAR, BL, BF)),
]


def main():
    interpreter = f"{platform.python_implementation()} {platform.python_version()}"
    print(f"{interpreter}, {N} separations, rho = {RSTAR / RE:g}; time per separation\n")
    print(f"| function | {interpreter} |")
    print("|---|---:|")
    for name, call in CALLS:
        call()  # warm up (PyPy's JIT, caches)
        best = float("inf")
        for _ in range(5):
            start = time.perf_counter()
            call()
            best = min(best, time.perf_counter() - start)
        print(f"| {name} | {float(f'{1e6 * best / N:.2g}'):g} µs |")


if __name__ == "__main__":
    main()
