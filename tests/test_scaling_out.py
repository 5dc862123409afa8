"""The functions mapped across processes (concurrent.futures) and across a
Dask cluster give exactly the serial results: each separation is computed
independently and to the last bit, and the functions pickle by name."""

import concurrent.futures
import math
import multiprocessing
import pickle
import platform
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

import tavlomer

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from scaling_out import (fit_event, fit_survey_dask, map_dask, map_processes,  # noqa: E402
                         simulate_survey, split)

SEPARATIONS = [0.0, 0.3, 0.9995, 1.0, 1.0005, 1.7, 5.0, 40.0] * 3
TABLE = ([0.0, 0.4, 0.8, 1.0], [1.0, 0.9, 0.7, 0.4])
RE, RSTAR = 1.0, 0.4

# (function, arguments after the separations); chosen so that a call takes
# milliseconds, not seconds.
LIST_CALLS = [
    (tavlomer.witt_mao_magnification, (RE, RSTAR)),
    (tavlomer.integrated_witt_mao_magnification, (RE, RSTAR)),
    (tavlomer.integrated_flux_map_witt_mao_magnification, (RE, RSTAR) + TABLE),
    (tavlomer.integrated_heyrovsky_magnification, (RE, RSTAR)),
    (tavlomer.integrated_flux_map_heyrovsky_magnification, (RE, RSTAR) + TABLE),
    (tavlomer.discrete_flux_map_heyrovsky_magnification, (RE, RSTAR) + TABLE),
]


def bits(values):
    return [struct.pack("<d", v) for v in values]


def test_split_keeps_order_and_every_element():
    for n in (0, 1, 7, 24):
        for parts in (1, 2, 5, 30):
            pieces = split(range(n), parts)
            assert [x for piece in pieces for x in piece] == list(range(n))
            assert all(pieces) and len(pieces) <= parts
            assert max(map(len, pieces), default=0) - min(map(len, pieces), default=0) <= 1


def test_functions_pickle_by_name():
    for name in tavlomer.__all__:
        function = getattr(tavlomer, name)
        assert pickle.loads(pickle.dumps(function)) is function


@pytest.fixture(scope="module")
def pool():
    # spawn: every worker imports the installed module afresh, as on a cluster.
    # PyPy 3.9's ProcessPoolExecutor cannot start spawned workers (it calls a
    # method that its own module renamed), so PyPy forks them.
    spawn_works = platform.python_implementation() != "PyPy" or sys.version_info >= (3, 10)
    context = multiprocessing.get_context("spawn" if spawn_works else "fork")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as executor:
        yield executor


@pytest.mark.parametrize("function, args", LIST_CALLS, ids=lambda c: getattr(c, "__name__", ""))
def test_process_pool_equals_serial(pool, function, args):
    serial = function(SEPARATIONS, *args)
    assert bits(map_processes(pool, function, SEPARATIONS, *args, parts=5)) == bits(serial)


def test_process_pool_ring_values_equal_serial(pool):
    radii = [0.0, 0.25, 0.9995, 1.0, 1.0004, 3.0]
    serial = [tavlomer.heyrovsky_magnification(l, r, RE, RSTAR)
              for l in SEPARATIONS for r in radii]
    spread = list(pool.map(tavlomer.heyrovsky_magnification,
                           [l for l in SEPARATIONS for _ in radii], radii * len(SEPARATIONS),
                           [RE] * len(serial), [RSTAR] * len(serial)))
    assert bits(spread) == bits(serial)
    assert 0.0 in serial and math.inf in serial  # the band and the ring through the lens


def test_failures_cross_the_process_boundary(pool):
    # A kernel failure arrives as the same RuntimeError, message unchanged.
    with pytest.raises(RuntimeError) as serial:
        tavlomer.witt_mao_magnification([math.nan], RE, RSTAR)
    future = pool.submit(tavlomer.witt_mao_magnification, [math.nan], RE, RSTAR)
    with pytest.raises(RuntimeError) as spread:
        future.result()
    assert str(spread.value) == str(serial.value)


def test_dask_cluster_equals_serial():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        for function, args in LIST_CALLS:
            serial = function(SEPARATIONS, *args)
            assert bits(map_dask(client, function, SEPARATIONS, *args, parts=5)) == bits(serial), \
                function.__name__


# A short survey: the example's own, at 8 events instead of hundreds.
SURVEY_EVENTS = 8


@pytest.fixture(scope="module")
def survey():
    events = simulate_survey(SURVEY_EVENTS)
    return events, [fit_event(event) for event in events]


def _fit_bits(fits):
    return [(parameters.tobytes(), chi2, iterations) for parameters, chi2, iterations in fits]


def test_survey_fits_find_the_truth_and_equal_serial_on_processes(pool, survey):
    events, serial = survey
    for event, (parameters, chi2, _) in zip(events, serial):
        # chi^2 about the count of points; t0, tE and rho within a percent.
        assert chi2 < 1.3 * event["times"].size
        np.testing.assert_allclose(parameters[[0, 2, 3]], event["truth"][[0, 2, 3]],
                                   rtol=0.01, atol=0.01)
    assert _fit_bits(pool.map(fit_event, events)) == _fit_bits(serial)


@pytest.mark.slow  # a cluster takes seconds to start
def test_survey_fits_on_dask_equal_serial(survey):
    distributed = pytest.importorskip("distributed", reason="Dask runs under CPython only")
    events, serial = survey
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert _fit_bits(fit_survey_dask(client, events)) == _fit_bits(serial)
