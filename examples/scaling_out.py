"""Spreading a long light curve over processes, or over a Dask cluster.

Every tavlomer function holds the interpreter's lock for the whole call, so
threads do not run magnifications side by side; processes do.  The functions
are plain module-level callables: they pickle by name, so each worker imports
tavlomer itself and only separations and results travel.  Each separation is
computed independently and every result is defined to the last bit, so the
pieces put back together equal the serial call exactly, on any number of
workers and any machine.

    python3 examples/scaling_out.py            # processes, and Dask if installed
    python3 -m pip install "dask[distributed]"  # for the Dask part

The helpers take the function and its arguments after the separations, in
the function's own order: ``map_processes(pool, f, l, re, rstar, *rest)``.
"""

import concurrent.futures
import itertools
import math
import os
import sys
import time

import tavlomer


def split(values, parts):
    """``values`` cut into ``parts`` consecutive pieces of nearly equal length."""
    values = list(values)
    size, extra = divmod(len(values), parts)
    pieces, start = [], 0
    for i in range(parts):
        stop = start + size + (1 if i < extra else 0)
        pieces.append(values[start:stop])
        start = stop
    return [piece for piece in pieces if piece]


def map_processes(executor, function, l, *args, parts=None):
    """``function(l, *args)`` computed in pieces on a concurrent.futures
    executor; the same list as the serial call."""
    parts = parts or 4 * getattr(executor, "_max_workers", os.cpu_count() or 1)
    pieces = split(l, parts)
    repeated = [itertools.repeat(a, len(pieces)) for a in args]
    results = executor.map(function, pieces, *repeated)
    return list(itertools.chain.from_iterable(results))


def map_dask(client, function, l, *args, parts=None):
    """The same on a Dask cluster, through a ``distributed.Client``."""
    parts = parts or 4 * max(1, len(client.scheduler_info()["workers"]))
    pieces = split(l, parts)
    futures = client.map(function, pieces, *[[a] * len(pieces) for a in args], pure=False)
    return list(itertools.chain.from_iterable(client.gather(futures)))


def _same(a, b):
    """Equal to the last bit, NaNs included."""
    return len(a) == len(b) and all(
        x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


def main():
    rho, u0 = 0.1, 0.05
    times = [-0.3 + 0.6 * i / 2999 for i in range(3000)]
    l = [math.hypot(u0, t) / rho for t in times]
    function = tavlomer.integrated_heyrovsky_magnification  # the costliest model
    args = (1.0, rho)  # re, rstar

    start = time.perf_counter()
    serial = function(l, *args)
    print(f"serial:            {time.perf_counter() - start:6.2f} s for {len(l)} separations")

    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        pool.submit(int).result()  # start the workers before timing
        start = time.perf_counter()
        spread = map_processes(pool, function, l, *args)
        print(f"2 processes:       {time.perf_counter() - start:6.2f} s, "
              f"identical to serial: {_same(spread, serial)}")

    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("Dask: not installed (pip install 'dask[distributed]')")
        return
    with LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        start = time.perf_counter()
        spread = map_dask(client, function, l, *args)
        print(f"Dask, 2 workers:   {time.perf_counter() - start:6.2f} s, "
              f"identical to serial: {_same(spread, serial)}")


if __name__ == "__main__":
    sys.exit(main())
