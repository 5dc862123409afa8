"""Many threads at once, and the once-only values under contention.

The module holds the interpreter lock for a whole call and keeps nothing
between calls but its once-only values (the module object, the
PanicException class, CBRT_EPS, the interned attribute names).  Other
threads still run in the middle of a call whenever an argument's own Python
code gives up the lock (here: an element whose __float__ sleeps), so calls
interleave at every conversion.

- Threads calling all seven functions, on every path (values, TypeError,
  RuntimeError, PanicException), get exactly the outcome of the same calls
  made serially, bit for bit.
- Fresh interpreters whose threads race to the import, to the first
  PanicException and to the first profile-integrated call (the first use of
  CBRT_EPS) all see one module, one PanicException class and the serial
  values.
"""

import json
import os
import random
import subprocess
import sys
import threading
import time

import pytest

import tavlomer
from hostile_objects import PYPY, PanicException, same_value

# Slow (threads and fresh interpreters): left out of a plain pytest run, run by scripts/test.sh.
pytestmark = pytest.mark.slow

THREADS = 8
ROUNDS = 5 if PYPY else 20


class Yielding:
    """Converts to `value`, letting other threads run first."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def workload():
    """(function name, argument builder) pairs over every function and path."""
    nan = float("nan")
    flux = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.3])
    calls = []
    for l in ([0.3, 1.0, 2.0], [1.00001, 5.0], [nan, 1.0]):
        calls += [
            ("witt_mao_magnification", lambda l=l: ([Yielding(x) for x in l], 1.0, 0.5)),
            ("integrated_witt_mao_magnification", lambda l=l: (list(l), Yielding(1.0), 0.5)),
            ("integrated_flux_map_witt_mao_magnification",
             lambda l=l: (list(l), 1.0, 0.5) + flux),
            ("discrete_flux_map_heyrovsky_magnification",
             lambda l=l: ([Yielding(x) for x in l], 1.0, 0.5) + flux),
            ("heyrovsky_magnification", lambda l=l: (Yielding(l[0]), 0.5, 1.0, 0.5)),
        ]
    calls += [
        ("integrated_heyrovsky_magnification", lambda: ([Yielding(2.0)], 1.0, 0.5)),
        ("integrated_flux_map_heyrovsky_magnification",
         lambda: ([2.0], 1.0, Yielding(0.5)) + flux),
        ("witt_mao_magnification", lambda: ([Yielding(1.0), None], 1.0, 0.5)),  # TypeError
        ("integrated_flux_map_heyrovsky_magnification",
         lambda: ([2.0], 1.0, 0.5, [0.0, 1.0], [Yielding(1.0)])),  # PanicException
        ("heyrovsky_magnification", lambda: (1.0, 0.5, 1.0)),  # missing argument
    ]
    return calls


def outcome(name, build):
    try:
        return "value", getattr(tavlomer, name)(*build())
    except BaseException as caught:  # noqa: B036 - PanicException is one
        return "raised", (type(caught), caught.args)


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    return same_value(a[1], b[1]) if a[0] == "value" else a[1] == b[1]


@pytest.fixture
def busy_switching():
    """Switch threads as often as the interpreter allows."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_get_the_serial_outcomes(busy_switching, capfd):
    calls = workload()
    serial = [outcome(name, build) for name, build in calls]
    assert any(kind == "raised" and error[0] is PanicException for kind, error in serial)
    assert any(kind == "raised" and error[0] is RuntimeError for kind, error in serial)
    mismatches = []
    start = threading.Barrier(THREADS)

    def worker(seed):
        order = list(range(len(calls)))
        random.Random(seed).shuffle(order)
        start.wait()
        for _ in range(ROUNDS):
            for i in order:
                got = outcome(*calls[i])
                if not same_outcome(got, serial[i]):
                    mismatches.append((calls[i][0], got, serial[i]))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    capfd.readouterr()  # the fault reports of the PanicException calls
    assert mismatches == []


RACE = r"""
import json, sys, threading
sys.setswitchinterval(1e-6)
THREADS = 8
stage = sys.argv[1]
start = threading.Barrier(THREADS)
seen = [None] * THREADS
if stage != "import":
    import tavlomer

def worker(i):
    start.wait()
    import tavlomer
    if stage == "integrated":
        first = tavlomer.integrated_heyrovsky_magnification([2.0, 0.7], 1.0, 0.5)
    try:
        tavlomer.discrete_flux_map_heyrovsky_magnification([], 1.0, 1.0, [1.0], [])
    except BaseException as caught:
        panic = type(caught)
    if stage != "integrated":
        first = tavlomer.integrated_heyrovsky_magnification([2.0, 0.7], 1.0, 0.5)
    seen[i] = {
        "module": id(tavlomer), "panic": id(panic),
        "panic_name": panic.__module__ + "." + panic.__qualname__,
        "panic_base": [c.__name__ for c in panic.__mro__],
        "all": tavlomer.__all__,
        "ring": first.hex() if isinstance(first, float) else [v.hex() for v in first],
        "disk": [v.hex() for v in tavlomer.integrated_witt_mao_magnification([2.0], 1.0, 0.5)],
    }

threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
for t in threads: t.start()
for t in threads: t.join()
print(json.dumps(seen))
"""


@pytest.mark.parametrize("stage", ["import", "first-panic", "integrated"])
def test_once_only_values_are_made_once_under_contention(stage):
    expected_ring = [v.hex() for v in tavlomer.integrated_heyrovsky_magnification(
        [2.0, 0.7], 1.0, 0.5)]
    expected_disk = [v.hex() for v in tavlomer.integrated_witt_mao_magnification(
        [2.0], 1.0, 0.5)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for _ in range(3 if PYPY else 8):
        run = subprocess.run([sys.executable, "-c", RACE, stage], capture_output=True,
                             text=True, env=env, timeout=120)
        assert run.returncode == 0, run.stderr
        seen = json.loads(run.stdout)
        assert None not in seen
        first = seen[0]
        assert first["panic_name"] == "pyo3_runtime.PanicException"
        assert first["panic_base"][1:] == ["BaseException", "object"]
        assert first["all"] == list(tavlomer.__all__)
        assert first["ring"] == expected_ring and first["disk"] == expected_disk
        assert all(s == first for s in seen)


SMALL_STACK = r"""
import sys, threading
import tavlomer as t
CALLS = [
    lambda: t.witt_mao_magnification([0.5, 1.5] * 100, 1.0, 0.1),
    lambda: t.integrated_witt_mao_magnification([0.5, 1.5] * 3, 1.0, 0.1),
    lambda: t.integrated_flux_map_witt_mao_magnification([0.5, 1.5], 1.0, 0.1, [0.0, 1.0], [1.0, 0.5]),
    lambda: [t.heyrovsky_magnification(0.5, 0.25, 1.0, 0.1)],
    lambda: t.integrated_heyrovsky_magnification([0.5, 1.5], 1.0, 0.1),
    lambda: t.integrated_flux_map_heyrovsky_magnification([0.5], 1.0, 0.1, [0.0, 1.0], [1.0, 0.5]),
    lambda: t.discrete_flux_map_heyrovsky_magnification([0.5, 1.5] * 50, 1.0, 0.1, [0.2, 0.7], [1.0, 0.5]),
]
if len(sys.argv) > 1:
    threading.stack_size(int(sys.argv[1]))
out = []
worker = threading.Thread(target=lambda: out.extend([v.hex() for v in c()] for c in CALLS))
worker.start()
worker.join()
print(out)
"""


def test_the_smallest_thread_stack_suffices():
    """A thread started with a 32 KiB stack (the smallest Python accepts)
    runs all seven functions: the models keep their large per-call tables on
    the heap.  Under AddressSanitizer, whose redzones multiply every frame,
    the thread gets 256 KiB."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    small = "262144" if os.environ.get("TAVLOMER_SANITIZED") == "1" else "32768"
    runs = [subprocess.run([sys.executable, "-c", SMALL_STACK, *arg], capture_output=True,
                           text=True, env=env, timeout=120) for arg in ([], [small])]
    assert [r.returncode for r in runs] == [0, 0], runs[1].stderr
    assert runs[1].stdout == runs[0].stdout != "[]\n"
