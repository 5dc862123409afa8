"""The batch kernels of every vector target against the scalar kernels.

Each target (SSE2, AVX2, AVX-512, whichever this build and processor have)
must return, for every argument, the very bits the scalar kernel returns, or
its very failure text.  Arguments are drawn over the whole domain with weight
on where the kernels branch: the common path (0 < m, n < 1), edges (NaN,
infinities, signed zeros, subnormals, the largest doubles), m and n next to 1,
negative arguments (principal values, the imaginary-modulus transformation),
equal and zero arguments.  A few thousand per kernel in a quick run,
10^6 with TAVLOMER_FULL_PROPERTY_RUNS=1 (scripts/test.sh sets it for the
whole run).
"""

import os
import platform
import re
import shutil
import subprocess

import pytest

import tavlomer
import tavlomer_testing as kt

np = pytest.importorskip("numpy")

COUNT = 1_000_000 if os.environ.get("TAVLOMER_FULL_PROPERTY_RUNS") == "1" else 4000

EDGES = np.array([
    np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, -5e-324,
    2.2250738585072014e-308, 1e-310, 1.7976931348623157e308, -1.7976931348623157e308,
    1.0, -1.0, 0.5, 2.0, 0.9999999999999999, 1.0000000000000002, 2.220446049250313e-16,
    1e-300, 1e300, 1e-16,
])


def arguments(rng, count, arity, legendre):
    """count rows of arity doubles, mixed from the regimes named above."""
    regimes = [
        lambda k: rng.uniform(0.0, 1.0, k),                              # common path
        lambda k: 10.0 ** rng.uniform(-8.0, 8.0, k),                     # positive, wide
        lambda k: -(10.0 ** rng.uniform(-8.0, 8.0, k)),                  # negative
        lambda k: rng.choice(EDGES, k),                                  # edges
        lambda k: 1.0 - 10.0 ** rng.uniform(-17.0, -1.0, k),             # next to 1
        lambda k: 10.0 ** rng.uniform(-323.0, 308.0, k),                 # whole range
    ]
    weights = [0.6, 0.1, 0.1, 0.1, 0.1, 0.0] if legendre else [0.3, 0.2, 0.1, 0.1, 0.1, 0.2]
    columns = []
    for _ in range(arity):
        pick = rng.choice(len(regimes), count, p=weights)
        column = np.empty(count)
        for r, regime in enumerate(regimes):
            rows = pick == r
            column[rows] = regime(int(rows.sum()))
        columns.append(column)
    # Equal arguments and exact zeros, where the kernels take closed forms.
    for a in range(1, arity):
        same = rng.random(count) < 0.1
        columns[a][same] = columns[rng.integers(0, a)][same]
    for column in columns:
        column[rng.random(count) < 0.03] = 0.0
    return columns


KERNELS = [
    ("elliprf", 3, False), ("elliprc", 2, False), ("elliprd", 3, False),
    ("elliprj", 4, False), ("ellipk", 1, True), ("ellipe", 1, True), ("ellippi", 2, True),
]


@pytest.mark.parametrize("kernel, arity, legendre", KERNELS)
def test_every_target_matches_the_scalar_kernel_bit_for_bit(kernel, arity, legendre):
    seed = sum(map(ord, kernel))
    args = arguments(np.random.default_rng(seed), COUNT, arity, legendre)
    expected = np.empty(COUNT)
    expected_failures = kt.batch_kernel("scalar", kernel, expected, *args)
    for target in kt.batch_targets()[1:]:
        got = np.empty(COUNT)
        failures = kt.batch_kernel(target, kernel, got, *args)
        differ = np.flatnonzero(got.view(np.uint64) != expected.view(np.uint64))
        assert differ.size == 0, (
            f"{target} {kernel}{tuple(float(a[differ[0]]) for a in args)}: "
            f"{got[differ[0]]!r} instead of {expected[differ[0]]!r} ({differ.size} differ)")
        assert failures == expected_failures, f"{target} {kernel}: failures differ"


def test_vector_targets_are_built_and_never_fuse():
    # Every x86-64 processor has SSE2; AVX2 and AVX-512 where it says so.
    targets = kt.batch_targets()
    assert targets[0] == "scalar"
    if platform.machine() in ("x86_64", "AMD64"):
        assert "sse2" in targets
        try:
            with open("/proc/cpuinfo") as cpuinfo:
                flags = set(re.search(r"^flags\s*:(.*)$", cpuinfo.read(), re.M).group(1).split())
        except (OSError, AttributeError):
            flags = set()
        assert ("avx2" in targets) == ("avx2" in flags)
        assert ("avx512" in targets) == ("avx512f" in flags)
    # A fused multiply-add rounds once where the defined results round twice:
    # not one may appear in the compiled module.
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump not found")
    for module in (tavlomer, kt):
        listing = subprocess.run([objdump, "-d", module.__file__], capture_output=True,
                                 text=True, check=True).stdout
        fused = re.findall(r"\bv?f(?:n?m(?:add|sub)|maddsub|msubadd)\w*", listing)
        assert not fused, f"{module.__name__}: {sorted(set(fused))[:5]}"
