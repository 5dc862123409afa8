"""The seven functions built from this tree against the same functions built
from an earlier revision, side by side in one run, with VBMicrolensing's
ESPLMag2 (an interpolation table) per point as the yardstick of the uniform
disk.

Both revisions are built here with CMake, Release, for the running
interpreter: this tree into build/bench_speedup/current, the earlier one
(exported with `git archive`, default the commit before the batch-kernel
work) into build/bench_speedup/<commit>; later runs rebuild only what
changed.  Each build is imported in a subprocess of its own, and the
subprocesses take turns, a few rounds, so that a passing load on a shared
machine falls on both alike; each figure is the best over the rounds of
the thread's CPU time.

Workloads (source radius rho = rstar / re = 0.1, separations evenly spread
over [0.05, 3] source radii):
  * witt_mao_magnification, the integrated disk models and
    heyrovsky_magnification (one call per separation, r = 0.5): 20000
    separations;
  * the integrated ring models: 200 separations;
  * discrete_flux_map_heyrovsky_magnification: 1000 separations over a
    50-ring table, timed per ring;
  * ESPLMag2(u, rho) per point, u = rho l, called from Python like the
    others (VBMicrolensing is optional: without it its row is left out).

Prints a Markdown table (the README's Performance section), the ratios and
the goals.

    python3 bench/bench_speedup.py [--base REV] [--rounds N]
"""

import argparse
import io
import json
import math
import os
import shutil
import subprocess
import sys
import tarfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench_speedup"
DEFAULT_BASE = "9209d86"  # the last commit before the batch-kernel work

RHO = 0.1
RE, RSTAR = 1.0, RHO


def separations(n):
    return [0.05 + 2.95 * i / (n - 1) for i in range(n)]


BL = [i / 49 for i in range(50)]
BF = [1.0 + (1.0 - math.sqrt(1.0 - x * x)) * -0.6 for x in BL]

# name -> (separations, units per call, unit, goal as (kind, figure) or None)
# A goal ("faster", k): now at least k times faster than before; ("vs", k):
# now per separation at most k times ESPLMag2 per point.
WORKLOADS = {
    "witt_mao_magnification": (20000, "separation", ("vs", 1.0)),
    "integrated_witt_mao_magnification": (20000, "separation", ("faster", 1.5)),
    "integrated_flux_map_witt_mao_magnification": (20000, "separation", ("faster", 1.5)),
    "heyrovsky_magnification": (20000, "call", None),
    "integrated_heyrovsky_magnification": (200, "separation", ("faster", 3.0)),
    "integrated_flux_map_heyrovsky_magnification": (200, "separation", ("faster", 3.0)),
    "discrete_flux_map_heyrovsky_magnification": (1000, "ring", ("faster", 2.0)),
}
VBM = "VBMicrolensing ESPLMag2"


def calls(tavlomer):
    """One zero-argument call per workload, and the units it covers."""
    out = {}
    for name, (n, unit, _) in WORKLOADS.items():
        l = separations(n)
        f = getattr(tavlomer, name)
        if name == "heyrovsky_magnification":
            job = lambda f=f, l=l: [f(li, 0.5, RE, RSTAR) for li in l]
        elif "flux_map" in name:
            job = lambda f=f, l=l: f(l, RE, RSTAR, BL, BF)
        else:
            job = lambda f=f, l=l: f(l, RE, RSTAR)
        out[name] = (job, n * (len(BL) if unit == "ring" else 1))
    return out


def vbm_calls():
    try:
        import VBMicrolensing
    except ImportError:
        return {}
    vbm = VBMicrolensing.VBMicrolensing()
    u = [RHO * li for li in separations(20000)]
    return {VBM: (lambda: [vbm.ESPLMag2(ui, RHO) for ui in u], len(u))}


def time_jobs(jobs, repeat):
    """Microseconds per unit, best of repeat, thread CPU time."""
    result = {}
    for name, (job, units) in jobs.items():
        job()  # warm up
        best = math.inf
        for _ in range(repeat):
            start = time.thread_time()
            job()
            best = min(best, time.thread_time() - start)
        result[name] = 1e6 * best / units
    return result


def child(build):
    """Runs in a subprocess: time one build (or VBMicrolensing) and print JSON."""
    if build == "vbm":
        print(json.dumps(time_jobs(vbm_calls(), 5)))
        return
    sys.path.insert(0, build)
    import tavlomer

    if not tavlomer.__file__.startswith(build):
        raise SystemExit(f"imported {tavlomer.__file__}, not the build in {build}")
    print(json.dumps(time_jobs(calls(tavlomer), 3)))


def git(*args):
    return subprocess.run(["git", *args], cwd=ROOT, check=True, capture_output=True,
                          text=True).stdout.strip()


def build(source, folder):
    """Configure (once) and build the module of the tree at source in folder."""
    if not (folder / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", str(source), "-B", str(folder), *generator,
                        "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(folder), "-j", "2"], check=True,
                   stdout=subprocess.DEVNULL)
    return folder


def build_revision(rev):
    commit = git("rev-parse", "--verify", f"{rev}^{{commit}}")
    source = CACHE / f"src-{commit[:12]}"
    if not source.exists():
        archive = subprocess.run(["git", "archive", commit], cwd=ROOT, check=True,
                                 capture_output=True).stdout
        source.mkdir(parents=True)
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            if hasattr(tarfile, "data_filter"):
                tar.extractall(source, filter="data")
            else:
                tar.extractall(source)
    return commit, build(source, CACHE / f"build-{commit[:12]}")


def run_child(build_folder):
    out = subprocess.run([sys.executable, __file__, "--child", str(build_folder)],
                         check=True, capture_output=True, text=True,
                         env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}).stdout
    return json.loads(out)


def vector_extensions():
    """The processor's vector extensions that the batch kernels can use."""
    try:
        flags = next(line for line in Path("/proc/cpuinfo").read_text().splitlines()
                     if line.startswith(("flags", "Features"))).split()
    except (OSError, StopIteration):
        return "unknown"
    found = [f for f in ("sse2", "avx2", "fma", "avx512f", "asimd") if f in flags]
    return " ".join(found) or "none of sse2, avx2, avx512f, asimd"


def best_of(runs):
    return {k: min(r[k] for r in runs) for k in runs[0]}


def fmt(us):
    return f"{us:.3g}" if us < 100 else f"{us:.0f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--base", default=DEFAULT_BASE, help="the earlier revision")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return

    base_commit, base_build = build_revision(args.base)
    current_build = build(ROOT, CACHE / "current")
    runs = {"before": [], "now": [], "vbm": []}
    try:
        import VBMicrolensing  # noqa: F401
        have_vbm = True
    except ImportError:
        have_vbm = False
    for _ in range(args.rounds):
        runs["before"].append(run_child(base_build))
        runs["now"].append(run_child(current_build))
        if have_vbm:
            runs["vbm"].append(run_child("vbm"))
    before, now = best_of(runs["before"]), best_of(runs["now"])
    vbm = best_of(runs["vbm"])[VBM] if have_vbm else None

    head = git("rev-parse", "--short", "HEAD")
    dirty = " (with uncommitted changes)" if git("status", "--porcelain", "--untracked-files=no") else ""
    print(f"before: {args.base} ({base_commit[:9]}); now: this tree at {head}{dirty}")
    print(f"{sys.implementation.name} {sys.version.split()[0]}, rho = {RHO}, separations in "
          f"[0.05, 3] source radii, a {len(BL)}-ring table; thread CPU time, best of "
          f"{args.rounds} interleaved rounds; processor: {vector_extensions()}")
    print()
    print("| function | unit | before µs | now µs | speed-up | goal |")
    print("|---|---|---:|---:|---:|---|")
    for name, (_, unit, goal) in WORKLOADS.items():
        b, c = before[name], now[name]
        if goal is None:
            verdict = ""
        elif goal[0] == "faster":
            verdict = f"≥ {goal[1]:g}×: {'met' if b / c >= goal[1] else 'not met'}"
        elif vbm is None:
            verdict = "≤ ESPLMag2: VBMicrolensing not installed"
        else:
            verdict = (f"≤ ESPLMag2 ({c / vbm:.2f}×): "
                       f"{'met' if c <= goal[1] * vbm else 'not met'}")
        print(f"| `{name}` | {unit} | {fmt(b)} | {fmt(c)} | {b / c:.2f}× | {verdict} |")
    if vbm is not None:
        print(f"| VBMicrolensing `ESPLMag2` | point | | {fmt(vbm)} | | |")


if __name__ == "__main__":
    main()
