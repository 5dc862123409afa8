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

import math
import os
import platform
import random
import re
import shutil
import subprocess
from array import array

import pytest

import tavlomer
import tavlomer_testing as kt

COUNT = 1_000_000 if os.environ.get("TAVLOMER_FULL_PROPERTY_RUNS") == "1" else 4000

EDGES = [
    math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324,
    2.2250738585072014e-308, 1e-310, 1.7976931348623157e308, -1.7976931348623157e308,
    1.0, -1.0, 0.5, 2.0, 0.9999999999999999, 1.0000000000000002, 2.220446049250313e-16,
    1e-300, 1e300, 1e-16,
]


def arguments(rng, count, arity, legendre):
    """arity buffers of count doubles, mixed from the regimes named above."""
    regimes = [
        rng.random,                                        # common path
        lambda: 10.0 ** rng.uniform(-8.0, 8.0),            # positive, wide
        lambda: -(10.0 ** rng.uniform(-8.0, 8.0)),         # negative
        lambda: rng.choice(EDGES),                         # edges
        lambda: 1.0 - 10.0 ** rng.uniform(-17.0, -1.0),    # next to 1
        lambda: 10.0 ** rng.uniform(-323.0, 308.0),        # whole range
    ]
    weights = [6, 1, 1, 1, 1, 0] if legendre else [3, 2, 1, 1, 1, 2]
    columns = [[regime() for regime in rng.choices(regimes, weights, k=count)]
               for _ in range(arity)]
    # Equal arguments and exact zeros, where the kernels take closed forms.
    for i in range(count):
        for a in range(1, arity):
            if rng.random() < 0.1:
                columns[a][i] = columns[rng.randrange(a)][i]
        for column in columns:
            if rng.random() < 0.03:
                column[i] = 0.0
    return [array("d", column) for column in columns]


KERNELS = [
    ("elliprf", 3, False), ("elliprc", 2, False), ("elliprd", 3, False),
    ("elliprj", 4, False), ("ellipk", 1, True), ("ellipe", 1, True), ("ellippi", 2, True),
]


@pytest.mark.parametrize("kernel, arity, legendre", KERNELS)
def test_every_target_matches_the_scalar_kernel_bit_for_bit(kernel, arity, legendre):
    args = arguments(random.Random(kernel), COUNT, arity, legendre)
    expected = array("d", bytes(8 * COUNT))
    expected_failures = kt.batch_kernel("scalar", kernel, expected, *args)
    for target in kt.batch_targets()[1:]:
        got = array("d", bytes(8 * COUNT))
        failures = kt.batch_kernel(target, kernel, got, *args)
        if got.tobytes() != expected.tobytes():
            bits, want = memoryview(got).cast("B").cast("Q"), memoryview(expected).cast("B").cast("Q")
            i = next(i for i in range(COUNT) if bits[i] != want[i])
            pytest.fail(f"{target} {kernel}{tuple(a[i] for a in args)}: "
                        f"{got[i]!r} instead of {expected[i]!r}")
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
