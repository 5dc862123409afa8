"""Spreading a long light curve over processes, or over a Dask cluster; and
fitting a whole survey of events on Dask, one task per event.

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

The survey: ``simulate_survey(events)`` makes finite-source, limb-darkened
light curves (``tavlomer_physics.linear``), ``fit_event`` fits one by
Levenberg-Marquardt on the derivatives ``gradient=True`` gives, and
``fit_survey_dask(client, survey)`` fits them all on a cluster: the same
fits, bit for bit, as one process fitting them one after another.

    python3 examples/scaling_out.py --events 300   # the survey's size (default 300)
"""

import argparse

import concurrent.futures
import itertools
import math
import os
import sys
import time

import numpy as np

import tavlomer
import tavlomer_physics


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


# ---- A survey of events ---------------------------------------------------------

# The fitted parameters: peak time t0 and impact u0 (Einstein radii), then the
# logarithms of the Einstein time tE (days) and of the source radius rho
# (Einstein radii), which keep both positive; then the source and blend fluxes.
PARAMETERS = ("t0", "u0", "log_tE", "log_rho", "source_flux", "blend_flux")
# A fit's accuracy needs nowhere near the default 1e-9.
RTOL = 1e-6


def simulate_survey(events, points=1000, seed=2026):
    """``events`` light curves of a point lens crossing a limb-darkened
    source, each a dict: ``times`` (days), ``flux`` and ``error``, the linear
    limb-darkening coefficient ``c`` (known from the source's colour), the
    ``truth`` and a ``start`` for the fit (its parameters perturbed, as an
    alert would give them).  Half of each curve samples a 100-day season,
    half the peak (follow-up), so that the disk's crossing is resolved."""
    survey = []
    for event in range(events):
        rng = np.random.default_rng([seed, event])
        t_e = rng.uniform(10.0, 40.0)
        rho = rng.uniform(0.005, 0.05)
        truth = np.array([rng.uniform(-10.0, 10.0), rho * rng.uniform(0.0, 1.5), np.log(t_e),
                          np.log(rho), rng.uniform(0.5, 2.0), rng.uniform(0.0, 0.5)])
        season = rng.uniform(-50.0, 50.0, points - points // 2)
        peak = truth[0] + 3.0 * rho * t_e * rng.uniform(-1.0, 1.0, points // 2)
        times = np.sort(np.concatenate([season, peak]))
        c = rng.uniform(0.4, 0.7)
        model = light_curve(truth, times, c)
        error = 0.005 * np.sqrt(model)
        start = truth * (1.0 + rng.uniform(-0.05, 0.05, truth.size))
        survey.append({"times": times, "flux": model + error * rng.standard_normal(points),
                       "error": error, "c": c, "truth": truth, "start": start})
    return survey


def light_curve(parameters, times, c, gradient=False):
    """The flux at ``times``, and with ``gradient`` its derivatives in every
    parameter (one row each)."""
    t0, u0, log_t_e, log_rho, source, blend = parameters
    t_e, rho = np.exp(log_t_e), np.exp(log_rho)
    tau = (times - t0) / t_e
    u = np.hypot(u0, tau)
    if not gradient:
        return source * tavlomer_physics.linear(u, rho, c, rtol=RTOL) + blend
    a, da_du, da_drho, _ = tavlomer_physics.linear(u, rho, c, rtol=RTOL, gradient=True)
    # u = hypot(u0, tau): du/du0 = u0 / u, du/dtau = tau / u, with
    # dtau/dt0 = -1 / tE and dtau/dlog tE = -tau.
    du_dtau = tau / u
    rows = [source * da_du * du_dtau * (-1.0 / t_e), source * da_du * (u0 / u),
            source * da_du * du_dtau * (-tau), source * da_drho * rho, a, np.ones_like(a)]
    return source * a + blend, np.array(rows)


def _chi2(event, parameters):
    # A step far off (tE or rho beyond 1e±30, from a flat direction) is
    # simply worse.
    if not (np.all(np.isfinite(parameters)) and np.all(np.abs(parameters[2:4]) < 69.0)):
        return math.inf
    residual = (event["flux"] - light_curve(parameters, event["times"], event["c"])) / event["error"]
    return float(np.sum(residual * residual))


def fit_event(event, iterations=50):
    """Levenberg-Marquardt from the event's start: the fitted parameters,
    their chi^2 and the iterations taken.  Every sum is NumPy's own reduction
    (no BLAS, whose threads could change the order of a sum), so a fit gives
    the same bits in any process."""
    parameters = np.array(event["start"], dtype=np.float64)
    chi2 = _chi2(event, parameters)
    damping = 1e-3
    for iteration in range(1, iterations + 1):
        model, jacobian = light_curve(parameters, event["times"], event["c"], gradient=True)
        weighted = jacobian / event["error"]
        residual = (event["flux"] - model) / event["error"]
        gradient = np.sum(weighted * residual, axis=1)
        normal = np.sum(weighted[:, None, :] * weighted[None, :, :], axis=2)
        improved = False
        while damping < 1e10:
            damped = normal + damping * np.diag(np.diag(normal))
            trial = parameters + np.linalg.solve(damped, gradient)
            trial_chi2 = _chi2(event, trial)
            if trial_chi2 < chi2:
                improved, damping = True, damping / 3.0
                break
            damping *= 4.0
        if not improved:
            break
        converged = chi2 - trial_chi2 < 1e-9 * chi2
        parameters, chi2 = trial, trial_chi2
        if converged:
            break
    return parameters, chi2, iteration


def fit_survey_dask(client, survey):
    """Every event fitted on a Dask cluster, one task per event, in order.
    One thread per task (threads=1, the default): the cluster's processes
    already use every core."""
    return client.gather(client.map(fit_event, survey, pure=False))


def _same_fits(a, b):
    """The same parameters and chi^2, to the last bit."""
    return len(a) == len(b) and all(
        x[0].tobytes() == y[0].tobytes() and x[1:] == y[1:] for x, y in zip(a, b))


def _same(a, b):
    """Equal to the last bit, NaNs included."""
    return len(a) == len(b) and all(
        x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=300, help="events in the survey")
    options = parser.parse_args(argv)
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

        survey = simulate_survey(options.events)
        start = time.perf_counter()
        serial_fits = [fit_event(event) for event in survey]
        print(f"\nsurvey of {len(survey)} events of {survey[0]['times'].size} points:\n"
              f"serial fits:       {time.perf_counter() - start:6.2f} s")
        start = time.perf_counter()
        fits = fit_survey_dask(client, survey)
        print(f"Dask, 2 workers:   {time.perf_counter() - start:6.2f} s, "
              f"identical to serial: {_same_fits(fits, serial_fits)}")
        rho_error = [abs(np.exp(fit[0][3]) / np.exp(event["truth"][3]) - 1)
                     for fit, event in zip(fits, survey)]
        print(f"rho recovered: median relative error {np.median(rho_error):.1e}")


if __name__ == "__main__":
    sys.exit(main())
