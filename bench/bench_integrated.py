"""Cost of the four profile-integrated models against the work they cannot avoid.

Every separation is a 385-point tanh-sinh quadrature over the source radius.
In the ring models each point is three ring magnifications (1155 per
separation), and those are the whole unavoidable cost; in the uniform-disk
models it is one disk magnification plus the quadrature's own arithmetic.
Reports, in one run, microseconds per separation over 10^3 separations (a
50-entry flux map for the flux-map variants):

  * each integrated function through the public module (Python call and list
    conversion included, about 0.1 us per separation);
  * the unavoidable work, timed in isolation in C++ by the benchmark-only
    module tavlomer_bench: the 1155 ring evaluations at the quadrature's
    points; the disk kernel plus a 385-point quadrature of stored values;
  * the tabulation of a profile at the 385 points, paid once per call.

Times are the calling thread's CPU time (time.thread_time and its C
equivalent), so that a shared machine's other work inflates them less.

Run: python bench/bench_integrated.py   (builds the benchmark-only module tavlomer_bench)
"""

import math
import sys
import time
from pathlib import Path

import tavlomer

ROOT = Path(__file__).resolve().parent.parent
sys.path.append(str(ROOT / "tests"))
from native_build import build_native  # noqa: E402

sys.path.append(str(build_native("tavlomer_bench", "TAVLOMER_BUILD_BENCH", ROOT / "build" / "bench")))
import tavlomer_bench as kb  # noqa: E402

SEPARATIONS = [0.01 + 2.99 * i / 999 for i in range(1000)]
RE, RSTAR = 1.0, 1.0
BL = [i / 49 for i in range(50)]
BF = [1.0 + (1.0 - math.sqrt(1.0 - x * x)) * -0.6 for x in BL]
REPEAT = 15
RING_REPEAT = 3  # about 0.4 s a call


def thread_seconds(fn):
    start = time.thread_time()
    fn()
    return time.thread_time() - start


def interleaved(jobs, repeat):
    """Best time of each job, the jobs taking turns so that a passing load
    on a shared machine falls on all of them alike."""
    best = {name: math.inf for name in jobs}
    for _ in range(repeat):
        for name, job in jobs.items():
            best[name] = min(best[name], job())
    return best


def main():
    n = len(SEPARATIONS)
    us = 1e6 / n
    l = SEPARATIONS
    disk = interleaved({
        "kernel": lambda: thread_seconds(lambda: tavlomer.witt_mao_magnification(l, RE, RSTAR)),
        "quadrature": lambda: kb.quadrature_seconds(n),
        "integrated_witt_mao_magnification": lambda: thread_seconds(
            lambda: tavlomer.integrated_witt_mao_magnification(l, RE, RSTAR)),
        "integrated_flux_map_witt_mao_magnification": lambda: thread_seconds(
            lambda: tavlomer.integrated_flux_map_witt_mao_magnification(l, RE, RSTAR, BL, BF)),
        "fixed table": lambda: kb.profile_seconds([], [], n),
        "flux table": lambda: kb.profile_seconds(BL, BF, n),
    }, REPEAT)
    ring = interleaved({
        "ring evaluations": lambda: kb.ring_evaluation_seconds(l, RE, RSTAR),
        "integrated_heyrovsky_magnification": lambda: thread_seconds(
            lambda: tavlomer.integrated_heyrovsky_magnification(l, RE, RSTAR)),
        "integrated_flux_map_heyrovsky_magnification": lambda: thread_seconds(
            lambda: tavlomer.integrated_flux_map_heyrovsky_magnification(l, RE, RSTAR, BL, BF)),
    }, RING_REPEAT)
    disk_floor = (disk["kernel"] + disk["quadrature"]) * us
    ring_floor = ring["ring evaluations"] * us

    print(f"{n} separations in (0.01, 3), re = rstar = 1, flux map of {len(BL)} entries; "
          f"thread CPU time, best of {REPEAT} (ring models {RING_REPEAT}), interleaved\n")
    print("| function | µs per separation | unavoidable work | ratio |")
    print("|---|---:|---:|---:|")
    rows = [(name, disk[name] * us, disk_floor) for name in
            ("integrated_witt_mao_magnification", "integrated_flux_map_witt_mao_magnification")]
    rows += [(name, ring[name] * us, ring_floor) for name in
             ("integrated_heyrovsky_magnification", "integrated_flux_map_heyrovsky_magnification")]
    for name, t, floor in rows:
        print(f"| `{name}` | {t:.3f} | {floor:.3f} | {t / floor:.3f} |")
    print()
    print(f"Unavoidable work per separation: 1155 ring evaluations {ring_floor:.3f} µs; "
          f"disk kernel {disk['kernel'] * us:.3f} µs + 385-point quadrature "
          f"{disk['quadrature'] * us:.3f} µs.  Flux map over fixed profile: uniform disk "
          f"{rows[1][1] / rows[0][1]:.3f}, ring {rows[3][1] / rows[2][1]:.3f}.  Profile at the "
          f"385 points, once per call: fixed {disk['fixed table'] * us:.2f} µs, "
          f"{len(BL)}-entry flux map {disk['flux table'] * us:.2f} µs.")

if __name__ == "__main__":
    main()
