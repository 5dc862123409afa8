"""Where the time of one witt_mao_magnification call over 1e5 separations goes.

Samples the call with `perf` (the CPU clock, with DWARF call stacks) and
sorts each sample that falls inside the module's call by the innermost
module function on its stack: the kernels (tavlomer::ellip::*, with the
libm functions they call), the model's own arithmetic
(tavlomer::models::*), argument conversion, result conversion and the rest
of the boundary (binding, the call entry).  Prints the shares for list and
for array input, and the leaf functions outside the kernels.

Needs `perf` (Debian: linux-perf; the software CPU clock suffices, no
hardware counters) and a module built with symbols, found first on the
path, for example:

    cmake -S . -B build/profile -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \\
          -DPython_EXECUTABLE=$(which python3)
    cmake --build build/profile --target tavlomer -j2
    PYTHONPATH=build/profile OPENBLAS_NUM_THREADS=1 python3 bench/profile_boundary.py

which runs, per input kind,

    perf record -e cpu-clock -F 4000 --call-graph dwarf,16384 -o FILE \\
        python3 bench/profile_boundary.py --workload list 20
    perf script -i FILE -F ip,sym

The same call counted in instructions instead (deterministic, slower):

    valgrind --tool=callgrind --toggle-collect='*fastcall*' \\
        python3 bench/profile_boundary.py --workload array 1
    callgrind_annotate --inclusive=yes callgrind.out.PID
"""

import collections
import os
import subprocess
import sys
import tempfile

N = 100_000
KERNELS = "kernels (ellip::*)"


def workload(kind, repeats):
    import numpy as np

    import tavlomer

    seps = np.random.default_rng(1).uniform(0.0, 5.0, N)
    given = seps if kind == "array" else seps.tolist()
    for _ in range(repeats):
        tavlomer.witt_mao_magnification(given, 1.0, 0.3)


def category(function):
    if function.startswith("tavlomer::ellip::"):
        return KERNELS
    if function.startswith("tavlomer::models::"):
        return "model arithmetic"
    if "to_python" in function:
        return "result conversion"
    if any(part in function for part in ("extract", "push_", "reserve_for", "list_items", "read_double")):
        return "argument conversion"
    return "binding, call entry"


def shares(samples_text):
    """(samples in calls, Counter by category, Counter of non-kernel leaves)."""
    by_category, leaves, total = collections.Counter(), collections.Counter(), 0
    for sample in samples_text.split("\n\n"):
        # Frames innermost first: "ADDRESS SYMBOL" per line.
        frames = [line.strip().split(" ", 1)[-1] for line in sample.strip().splitlines()]
        if not any("fastcall<" in frame for frame in frames):
            continue  # not inside a call of the module
        total += 1
        owner = next((frame for frame in frames if frame.startswith("tavlomer::")), "")
        kind = category(owner)
        by_category[kind] += 1
        if kind != KERNELS:
            leaves[f"{kind}: {frames[0][:60]}"] += 1
    return total, by_category, leaves


def profile(kind):
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "perf.data")
        subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "4000",
                        "--call-graph", "dwarf,16384", "-o", data,
                        sys.executable, __file__, "--workload", kind, "20"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = subprocess.run(["perf", "script", "-i", data, "-F", "ip,sym"], check=True,
                              capture_output=True, text=True).stdout
    total, by_category, leaves = shares(text)
    print(f"\n{kind} input: {total} samples inside witt_mao_magnification\n")
    print("| where | share |")
    print("|---|---:|")
    for name, count in by_category.most_common():
        print(f"| {name} | {count / total * 100:.2f} % |")
    print(f"| outside the kernels | {(total - by_category[KERNELS]) / total * 100:.2f} % |")
    for name, count in leaves.most_common(8):
        print(f"| &nbsp;&nbsp;leaf: `{name}` | {count / total * 100:.2f} % |")


def main():
    if sys.argv[1:2] == ["--workload"]:
        workload(sys.argv[2], int(sys.argv[3]))
        return
    for kind in ("list", "array"):
        profile(kind)


if __name__ == "__main__":
    main()
