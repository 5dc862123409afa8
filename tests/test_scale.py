"""Scale: ten million separations in bounded memory; lengths that lie.

The big call runs in a subprocess, so that its memory never adds to the
suite's, and reports its own resident memory: the peak during the call
against the resident memory just after it, when only the caller's input
list and the result list remain.  The difference is what the call itself
held on top of those, the doubles it converted: it must stay within a
quarter over the floor of 8 bytes per separation (one vector of doubles,
reused for the results), plus 16 MiB.  CPython runs it with 1e7
separations (about 8 s); PyPy, whose C-API layer makes an object of its own
for every element handed across (two gigabytes and over 20 s for 1e7),
with 1e6 and without the memory bound.  TAVLOMER_SCALE_N sets the size.

A sequence may report any length: the length only sizes a reservation, so
a sequence that reports far more than it yields works, and one whose
doubles could not be addressed (len * 8 > sys.maxsize) is refused with
PanicException "capacity overflow" before its first element is touched.
"""

import json
import os
import subprocess
import sys

import pytest

import tavlomer
from hostile_objects import FUNCTIONS, PYPY, SANITIZED, PanicException, Seq, same_value

# Slow (1e7 separations in a subprocess): left out of a plain pytest run, run by scripts/test.sh.
pytestmark = pytest.mark.slow

SEPARATIONS = int(os.environ.get("TAVLOMER_SCALE_N", 10**6 if PYPY else 10**7))
# AddressSanitizer ends the process on any reservation past its largest
# allocation (1 TiB), where the plain allocator's refusal is caught.
PAST_SANITIZER = pytest.mark.skipif(SANITIZED, reason="AddressSanitizer aborts on the reservation")

BIG_CALL = r"""
import json, os, sys, time
import tavlomer

def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

n = int(sys.argv[1])
separations = [2.0] * n
start = time.perf_counter()
result = tavlomer.witt_mao_magnification(separations, 1.0, 0.5)
seconds = time.perf_counter() - start
after = rss()
# The peak of this process's own memory (VmHWM): ru_maxrss would also count
# what the parent held when it forked this one, as Linux carries it over
# an exec.
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
print(json.dumps({"length": len(result), "first": result[0], "last": result[-1],
                  "distinct": len(set(result)), "seconds": seconds, "peak": peak,
                  "after": after}))
"""


def test_ten_million_separations_in_bounded_memory():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", BIG_CALL, str(SEPARATIONS)],
                         capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    expected = tavlomer.witt_mao_magnification([2.0], 1.0, 0.5)[0]
    assert report["length"] == SEPARATIONS
    assert report["first"] == report["last"] == expected and report["distinct"] == 1
    held = report["peak"] - report["after"]
    floor = 8 * SEPARATIONS
    print(f"\n{SEPARATIONS} separations in {report['seconds']:.1f} s: peak RSS "
          f"{report['peak'] / 2**20:.0f} MiB, held by the call {held / 2**20:.0f} MiB "
          f"against a floor of {floor / 2**20:.0f} MiB")
    if not PYPY and not SANITIZED:
        assert held <= 1.25 * floor + 16 * 2**20


def list_parameters():
    for function, (params, kinds) in FUNCTIONS.items():
        for index, kind in enumerate(kinds):
            if kind == "v":
                yield function, index


def call_with(function, index, value):
    params, kinds = FUNCTIONS[function]
    args = [[0.5, 2.0] if kind == "v" else 1.0 for kind in kinds]
    args[index] = value
    return getattr(tavlomer, function)(*args)


@pytest.mark.parametrize("length", [2**28, pytest.param(2**40, marks=PAST_SANITIZER),
                                    pytest.param(2**60 - 1, marks=PAST_SANITIZER)], ids=hex)
@pytest.mark.parametrize("function, index", list(list_parameters()))
def test_a_huge_reported_length_with_few_elements_works(function, index, length):
    def lying():
        return Seq([0.0, 1.0, 2.0], length=length)

    try:
        expected = call_with(function, index, [0.0, 1.0, 2.0])
    except PanicException as unequal:  # a table now longer than its partner
        with pytest.raises(PanicException) as caught:
            call_with(function, index, lying())
        assert str(caught.value) == str(unequal)
        return
    assert same_value(call_with(function, index, lying()), expected)


class Untouchable(Seq):
    """Reports a length and fails if anything beyond the length is asked."""

    def __iter__(self):
        raise AssertionError("iterated")

    def __getitem__(self, index):
        raise AssertionError("indexed")


@pytest.mark.parametrize("length", [2**60, 2**62, sys.maxsize], ids=hex)
@pytest.mark.parametrize("function, index", list(list_parameters()))
def test_a_length_past_the_address_space_is_a_capacity_overflow(function, index, length,
                                                                 capfd):
    with pytest.raises(PanicException) as caught:
        call_with(function, index, Untouchable([], length=length))
    assert str(caught.value) == "capacity overflow"
    assert "capacity overflow" in capfd.readouterr().err
    # Nothing of the failed call remains.
    plain = [0.0, 1.0]
    assert same_value(call_with(function, index, plain), call_with(function, index, plain))
