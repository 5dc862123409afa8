"""Fitting a real event: MOA-2008-BLG-310, a lens passing over its source.

The photometry of MOA-2008-BLG-310 (Janczak et al. 2010, ApJ 711, 731) ships
with MulensModel: seven datasets from six telescopes in three bands.  The
script fits a point lens with a finite, limb-darkened source to all of them,
then samples the posterior with NUTS, and compares the fit with MulensModel's
own finite-source limb-darkened model at the same parameters and with the
published solution.

Model.  u(t) = sqrt(u0^2 + ((t - t0) / tE)^2) and dataset k sees the flux
F_k(t) = Fs_k A(u(t); rho, c_band) + Fb_k, A being tavlomer_physics.linear
(linear limb darkening I(mu) = 1 - c (1 - mu), c fixed per band at the
published u_R = 0.633, u_I = 0.547, u_H = 0.368, or fitted per band with
--free-ld).  The fluxes enter linearly: for given (t0, u0, tE, rho) each
dataset's Fs_k and Fb_k are solved by weighted linear least squares, and the
nonlinear fit (scipy.optimize.least_squares) runs on the residuals left,
with Kaufman's Jacobian of that variable projection built from
tavlomer_physics.linear(..., gradient=True).  Magnitudes become fluxes on
MulensModel's scale, F = 10^(0.4 (22 - mag)).

Errors.  The published error bars underestimate the scatter (chi2 per point
above 1 for most datasets).  The fit is made with them as given (the chi2
table is on them), then each dataset's errors are scaled so that its chi2
per degree of freedom is 1 and the fit repeated: the parameters' errors and
the posterior are on the scaled errors.

Posterior.  NUTS (numpyro) on tavlomer_physics.jax, over (t0, u0, tE, rho[, c
per band]) with flat priors (u0, tE, rho positive), the fluxes integrated out
analytically (flat priors: the likelihood's Gaussian integral over them).

    python3 examples/fit_real_event.py                  # writes fit_real_event.png, fit_real_event_corner.png
    python3 examples/fit_real_event.py --quick          # short chains (the test suite's run)
    python3 examples/fit_real_event.py --free-ld
"""

import argparse
import os
import time
from pathlib import Path

import numpy as np
from scipy.optimize import least_squares

import tavlomer_physics

# Janczak et al. 2010, their single-lens-plus-planet solution: t0 (HJD),
# u0, tE (days), t* = rho tE (days).
PUBLISHED = {"t0": 2454656.39975, "u0": 0.00300, "tE": 11.14, "t*": 0.05487}
# Their linear limb-darkening coefficients.
LIMB = {"R": 0.633, "I": 0.547, "H": 0.368}
BANDS = list(LIMB)
# Name, file, band.  The archive's headers call MOA's broad red filter "I"
# and Bronberg "unfiltered"; both are fitted with the R coefficient, as
# published.
DATASETS = [
    ("MOA", "MOA_0300089_PLC_007.tbl", "R"),
    ("Auck", "Auck_0300089_PLC_001.tbl", "R"),
    ("Bron", "Bron_0300089_PLC_002.tbl", "R"),
    ("Canopus", "Canopus_0300089_PLC_003.tbl", "I"),
    ("CTIO_I", "CTIO_I_0300089_PLC_005.tbl", "I"),
    ("Danish", "Danish_0300089_PLC_006.tbl", "I"),
    ("CTIO_H", "CTIO_H_0300089_PLC_004.tbl", "H"),
]
# Times are fitted from this reference (HJD), for well-scaled numbers.
T_REF = 2454656.0
ZERO_POINT = 22.0  # MulensModel's magnitude of unit flux


def data_folder():
    import MulensModel

    return Path(MulensModel.DATA_PATH) / "photometry_files" / "MB08310"


class Data:
    """The datasets within `window` days of the published t0, concatenated:
    times (from T_REF), fluxes, errors, the dataset of each point and its
    band's index."""

    def __init__(self, window):
        self.names, self.bands, parts = [], [], []
        for k, (name, file, band) in enumerate(DATASETS):
            hjd, mag, err = np.loadtxt(data_folder() / file, comments=("\\", "|"), unpack=True)
            keep = np.abs(hjd - PUBLISHED["t0"]) < window
            self.names.append(name)
            self.bands.append(band)
            parts.append((hjd[keep], mag[keep], err[keep], np.full(keep.sum(), k)))
        self.hjd, self.mag, self.mag_err, self.dataset = (np.concatenate(p) for p in zip(*parts))
        self.t = self.hjd - T_REF
        self.flux = 10.0 ** (0.4 * (ZERO_POINT - self.mag))
        self.sigma = self.flux * 0.4 * np.log(10.0) * self.mag_err
        self.band = np.array([BANDS.index(self.bands[k]) for k in self.dataset])
        self.count = len(DATASETS)


class Fit:
    """The variable-projection residuals and their Jacobian.

    ``theta`` is (t0 - T_REF, u0, tE, rho) and, with free limb darkening,
    c_R, c_I, c_H; ``scale`` multiplies each dataset's errors."""

    def __init__(self, data, free_ld, scale=None):
        self.data = data
        self.free_ld = free_ld
        self.scale = np.ones(data.count) if scale is None else np.asarray(scale)
        self.weight = 1.0 / (data.sigma * self.scale[data.dataset])

    def coefficients(self, theta):
        return np.asarray(theta[4:7] if self.free_ld else [LIMB[b] for b in BANDS])

    def magnification(self, theta, gradient=False):
        t0, u0, tE, rho = theta[:4]
        tau = (self.data.t - t0) / tE
        u = np.hypot(u0, tau)
        c = self.coefficients(theta)[self.data.band]
        if not gradient:
            return tavlomer_physics.linear(u, rho, c)
        a, da_du, da_drho, da_dc = tavlomer_physics.linear(u, rho, c, gradient=True)
        inv_u = np.divide(1.0, u, out=np.zeros_like(u), where=u > 0)
        columns = [da_du * (-tau / tE) * inv_u, da_du * u0 * inv_u,
                   da_du * (-tau * tau / tE) * inv_u, da_drho]
        if self.free_ld:
            columns += [np.where(self.data.band == b, da_dc, 0.0) for b in range(len(BANDS))]
        return a, np.column_stack(columns)

    def fluxes(self, a):
        """Each dataset's (Fs, Fb) by weighted linear least squares."""
        result = np.empty((self.data.count, 2))
        for k in range(self.data.count):
            s = self.data.dataset == k
            x = np.column_stack([a[s], np.ones(s.sum())]) * self.weight[s, None]
            result[k] = np.linalg.lstsq(x, self.data.flux[s] * self.weight[s], rcond=None)[0]
        return result

    def residuals(self, theta):
        a = self.magnification(theta)
        f = self.fluxes(a)[self.data.dataset]
        return (f[:, 0] * a + f[:, 1] - self.data.flux) * self.weight

    def jacobian(self, theta):
        """Kaufman's Jacobian of the projected residuals: each column
        Fs dA/dtheta (weighted) with its part in the span of the dataset's
        design [A, 1] removed."""
        a, da = self.magnification(theta, gradient=True)
        f = self.fluxes(a)
        jacobian = np.empty_like(da)
        for k in range(self.data.count):
            s = self.data.dataset == k
            q, _ = np.linalg.qr(np.column_stack([a[s], np.ones(s.sum())]) * self.weight[s, None])
            columns = f[k, 0] * da[s] * self.weight[s, None]
            jacobian[s] = columns - q @ (q.T @ columns)
        return jacobian

    def chi2(self, theta):
        r = self.residuals(theta)
        return np.array([np.sum(r[self.data.dataset == k] ** 2) for k in range(self.data.count)])

    def solve(self, start):
        n = len(start)
        lower = [-np.inf, -np.inf, 1e-3, 1e-6] + [-np.inf] * (n - 4)
        upper = [np.inf] * 4 + [1.0] * (n - 4)
        result = least_squares(self.residuals, start, jac=self.jacobian, bounds=(lower, upper),
                               x_scale="jac", xtol=1e-12, ftol=1e-12, gtol=1e-12)
        _, s, vt = np.linalg.svd(result.jac, full_matrices=False)
        return result, (vt.T / s**2) @ vt


def names(free_ld):
    return ["t0", "u0", "tE", "rho"] + ([f"c_{b}" for b in BANDS] if free_ld else [])


def mulensmodel_chi2(data, theta, window):
    """MulensModel's chi2 per dataset at the same parameters, on the same
    data, its fluxes solved by itself: its finite-source limb-darkened
    magnification (Yoo et al. 2004) within `window` days of t0, with the
    linear coefficient u given as its gamma = 2u / (3 - u)."""
    import MulensModel as mm

    t0, u0, tE, rho = theta[:4]
    model = mm.Model({"t_0": t0 + T_REF, "u_0": u0, "t_E": tE, "rho": rho})
    model.set_magnification_methods([t0 + T_REF - window, "finite_source_LD_Yoo04",
                                     t0 + T_REF + window])
    coefficients = dict(zip(BANDS, theta[4:7])) if len(theta) > 4 else LIMB
    for band, u in coefficients.items():
        model.set_limb_coeff_gamma(band, 2.0 * u / (3.0 - u))
    datasets = []
    for k in range(data.count):
        s = data.dataset == k
        datasets.append(mm.MulensData([data.hjd[s], data.mag[s], data.mag_err[s]],
                                      phot_fmt="mag", bandpass=data.bands[k]))
    event = mm.Event(datasets=datasets, model=model)
    return np.array([event.get_chi2_for_dataset(k) for k in range(data.count)])


def sample(data, fit, best, warmup, draws, chains, seed, rtol, depth):
    """NUTS over theta with the fluxes integrated out, the magnification to
    rtol, trees at most depth deep; returns the draws (draws x parameters) and the seconds taken
    (compilation included)."""
    import jax

    jax.config.update("jax_enable_x64", True)
    import jax.numpy as jnp
    import numpyro
    import numpyro.distributions as dist
    from numpyro.infer import MCMC, NUTS, init_to_value

    import tavlomer_physics.jax as tj

    numpyro.set_host_device_count(1)
    t, flux = jnp.asarray(data.t), jnp.asarray(data.flux)
    weight = jnp.asarray(fit.weight) ** 2
    dataset, band, count = jnp.asarray(data.dataset), jnp.asarray(data.band), data.count
    labels = names(fit.free_ld)

    def sums(values):
        return jax.ops.segment_sum(values, dataset, num_segments=count)

    def model():
        # Flat priors in t0, u0, tE, rho (positive) and c (at most 1), sampled
        # as t0, tE, u0 tE and rho tE: the data fix the last two (the
        # durations of the peak and of the source crossing) far better than
        # u0, tE and rho, which are strongly correlated; the factor 1 / tE^2
        # keeps the priors flat in u0 and rho.
        t0 = numpyro.sample("t0", dist.Uniform(best[0] - 1.0, best[0] + 1.0))
        tE = numpyro.sample("tE", dist.Uniform(1.0, 100.0))
        t_eff = numpyro.sample("t_eff", dist.Uniform(0.0, 0.1 * tE))
        t_star = numpyro.sample("t_star", dist.Uniform(1e-4 * tE, 0.1 * tE))
        u0 = numpyro.deterministic("u0", t_eff / tE)
        rho = numpyro.deterministic("rho", t_star / tE)
        numpyro.factor("flat_in_u0_and_rho", -2.0 * jnp.log(tE))
        if fit.free_ld:
            c = jnp.stack([numpyro.sample(f"c_{b}", dist.Uniform(-1.0, 1.0)) for b in BANDS])
        else:
            c = jnp.asarray([LIMB[b] for b in BANDS])
        a = tj.linear(jnp.hypot(u0, (t - t0) / tE), rho, c[band], rtol=rtol)
        # Per dataset, chi2 minimised over (Fs, Fb) from the normal
        # equations, and the Gaussian integral's log det over them.
        saa, sa1, s11 = sums(weight * a * a), sums(weight * a), sums(weight)
        say, s1y, syy = sums(weight * a * flux), sums(weight * flux), sums(weight * flux * flux)
        det = saa * s11 - sa1 * sa1
        chi2 = syy - (s11 * say * say - 2.0 * sa1 * say * s1y + saa * s1y * s1y) / det
        numpyro.factor("likelihood", -0.5 * jnp.sum(chi2 + jnp.log(det)))

    start = dict(zip(labels, (float(v) for v in best)))
    start.update(t_eff=start["u0"] * start["tE"], t_star=start["rho"] * start["tE"])
    for name in ("u0", "rho"):
        del start[name]
    kernel = NUTS(model, init_strategy=init_to_value(values=start), target_accept_prob=0.85,
                  max_tree_depth=depth)
    mcmc = MCMC(kernel, num_warmup=warmup, num_samples=draws, num_chains=chains,
                chain_method="sequential", progress_bar=False)
    began = time.perf_counter()
    mcmc.run(jax.random.PRNGKey(seed), extra_fields=("num_steps",))
    # run() returns once the work is dispatched: wait for the draws.
    posterior = jax.block_until_ready(mcmc.get_samples())
    seconds = time.perf_counter() - began
    return np.column_stack([np.asarray(posterior[n]) for n in labels]), seconds, mcmc


def _value(value, error):
    decimals = max(0, 1 - int(np.floor(np.log10(error)))) if error > 0 else 6
    return f"{value:.{decimals}f} +- {error:.{decimals}f}"


def plot(data, fit, theta, output):
    import matplotlib

    if not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    a = fit.magnification(theta)
    f = fit.fluxes(a)[data.dataset]
    # Every dataset on the magnification's scale: (F - Fb) / Fs.
    magnified = (data.flux - f[:, 1]) / f[:, 0]
    error = data.sigma * fit.scale[data.dataset] / f[:, 0]
    t0, u0, tE, rho = theta[:4]
    fig, axes = plt.subplots(3, 1, figsize=(8, 9), gridspec_kw={"height_ratios": [2, 3, 1.4]})
    wide, peak, residual = axes
    zoom = 4 * rho * tE
    colours = plt.get_cmap("tab10")
    for k, name in enumerate(data.names):
        s = data.dataset == k
        for axis, near in ((wide, np.ones(s.sum(), bool)), (peak, np.abs(data.t[s] - t0) < zoom)):
            axis.errorbar(data.t[s][near], magnified[s][near], yerr=error[s][near], fmt=".",
                          ms=3, elinewidth=0.5, color=colours(k),
                          label=f"{name} ({data.bands[k]})" if axis is peak else None)
        near = np.abs(data.t[s] - t0) < zoom
        residual.errorbar(data.t[s][near], (magnified[s] - a[s])[near], yerr=error[s][near],
                          fmt=".", ms=3, elinewidth=0.5, color=colours(k))
    c = fit.coefficients(theta)
    for axis, span in ((wide, 5 * tE), (peak, zoom)):
        fine = np.linspace(t0 - span, t0 + span, 2001)
        u = np.hypot(u0, (fine - t0) / tE)
        for b, (band, colour) in enumerate(zip(BANDS, ["black", "tab:gray", "tab:brown"])):
            axis.plot(fine, tavlomer_physics.linear(u, rho, c[b]), lw=1.0, color=colour,
                      label=f"model, {band}: c = {c[b]:.3f}" if axis is peak else None)
    wide.set_yscale("log")
    wide.set_ylim(0.5, 1.3 * np.max(a))
    wide.set_xlim(t0 - 5 * tE, t0 + 5 * tE)
    wide.set_ylabel("magnification")
    wide.set_title(f"MOA-2008-BLG-310: t0 = {t0 + T_REF:.5f}, u0 = {u0:.5f}, tE = {tE:.2f} d, "
                   f"rho = {rho:.5f}", fontsize=10)
    peak.set_xlim(t0 - zoom, t0 + zoom)
    peak.set_ylabel("magnification (the source crossing)")
    peak.legend(fontsize=7, ncol=2, loc="upper left")
    residual.axhline(0.0, color="0.3", lw=0.8)
    residual.set_xlim(t0 - zoom, t0 + zoom)
    residual.set_ylabel("data - model")
    residual.set_xlabel(f"HJD - {T_REF:.1f}")
    fig.tight_layout()
    fig.savefig(output, dpi=100)
    plt.close(fig)


def plot_corner(samples, labels, best, output):
    import matplotlib

    if not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import corner
    import matplotlib.pyplot as plt

    shown = samples.copy()
    shown[:, 0] += T_REF - PUBLISHED["t0"]  # t0 against the published one
    truths = np.array(best, dtype=float)
    truths[0] += T_REF - PUBLISHED["t0"]
    fig = corner.corner(shown, labels=["t0 - published [d]"] + labels[1:], truths=truths,
                        quantiles=[0.16, 0.5, 0.84], show_titles=True, title_fmt=".4g")
    fig.savefig(output, dpi=80)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--window", type=float, default=60.0,
                        help="use the data within this many days of t0 (default 60)")
    parser.add_argument("--free-ld", action="store_true",
                        help="fit the linear limb-darkening coefficient of each band too")
    parser.add_argument("--mulensmodel-window", type=float, default=30.0,
                        help="days either side of t0 where MulensModel computes its finite "
                             "source, a point source beyond (default 30, about 540 source "
                             "radii: with 2 days, its point source leaves 0.03 in Danish's chi2)")
    parser.add_argument("--warmup", type=int, default=300, help="NUTS warm-up steps per chain")
    parser.add_argument("--draws", type=int, default=500, help="NUTS draws per chain")
    parser.add_argument("--chains", type=int, default=2, help="NUTS chains (run one after another)")
    parser.add_argument("--quick", action="store_true",
                        help="one short chain (100 warm-up, 100 draws, trees at most 6 deep, "
                             "rtol = 1e-4): the test suite's check that sampling works")
    parser.add_argument("--no-sample", action="store_true", help="skip the NUTS sampling")
    parser.add_argument("--seed", type=int, default=0, help="the sampler's seed")
    parser.add_argument("-o", "--output", default="fit_real_event.png", help="the light curve's PNG")
    parser.add_argument("--corner", default="fit_real_event_corner.png", help="the corner plot's PNG")
    args = parser.parse_args(argv)
    if args.quick:
        args.warmup, args.draws, args.chains = 100, 100, 1

    data = Data(args.window)
    labels = names(args.free_ld)
    print(f"MOA-2008-BLG-310: {len(data.t)} points within {args.window:g} d of t0 in "
          f"{data.count} datasets: " + ", ".join(
              f"{n} {np.sum(data.dataset == k)}" for k, n in enumerate(data.names)))

    # Start from a rough guess; the published values are for comparison only.
    start = [0.4, 0.01, 10.0, 0.004] + ([LIMB[b] for b in BANDS] if args.free_ld else [])
    began = time.perf_counter()
    fit = Fit(data, args.free_ld)
    result, _ = fit.solve(start)
    chi2 = fit.chi2(result.x)
    counts = np.array([np.sum(data.dataset == k) for k in range(data.count)])
    # Each dataset's errors scaled to chi2 per degree of freedom 1 (two fluxes each).
    scale = np.sqrt(chi2 / (counts - 2))
    scaled = Fit(data, args.free_ld, scale)
    rescaled, covariance = scaled.solve(result.x)
    errors = np.sqrt(np.diag(covariance))
    seconds = time.perf_counter() - began
    best = rescaled.x
    print(f"least squares (analytic Jacobian), both fits: {seconds:.2f} s, "
          f"{result.nfev + rescaled.nfev} residual and {result.njev + rescaled.njev} Jacobian "
          f"evaluations")

    theta = result.x
    mulens = mulensmodel_chi2(data, theta, args.mulensmodel_window)
    print("\nchi2 per dataset at the fit with the published errors:")
    print(f"{'dataset':9s} {'band':>4s} {'points':>6s} {'chi2':>10s} {'MulensModel':>12s} "
          f"{'difference':>10s} {'error scale':>11s}")
    for k, name in enumerate(data.names):
        print(f"{name:9s} {data.bands[k]:>4s} {counts[k]:6d} {chi2[k]:10.3f} {mulens[k]:12.3f} "
              f"{mulens[k] - chi2[k]:10.3f} {scale[k]:11.2f}")
    print(f"{'all':9s} {'':>4s} {counts.sum():6d} {chi2.sum():10.3f} {mulens.sum():12.3f} "
          f"{mulens.sum() - chi2.sum():10.3f}")

    fs_fb = scaled.fluxes(scaled.magnification(best))
    # t* = rho tE, whose error is smaller than rho's and tE's: they are
    # anticorrelated (the crossing's duration is what the data fix).
    t_star = best[2] * best[3]
    gradient = np.array([best[3], best[2]])
    t_star_error = np.sqrt(gradient @ covariance[2:4, 2:4] @ gradient)
    posterior = None
    if not args.no_sample:
        samples, sample_seconds, mcmc = sample(data, scaled, best, args.warmup, args.draws,
                                               args.chains, args.seed,
                                               *((1e-4, 6) if args.quick else (1e-9, 10)))
        posterior = samples
        steps = int(np.sum(np.asarray(mcmc.get_extra_fields()["num_steps"])))
        print(f"\nNUTS (numpyro on tavlomer_physics.jax): {args.chains} chain(s) of "
              f"{args.warmup} warm-up and {args.draws} draws in {sample_seconds:.1f} s "
              f"(compilation included; {steps} leapfrog steps over the draws)")

    print("\nparameters (errors on the scaled error bars):")
    header = f"{'':10s} {'this fit':>24s} {'published':>14s}"
    if posterior is not None:
        header += f" {'posterior mean +- sd':>26s}"
    print(header)
    published = [PUBLISHED["t0"] - T_REF, PUBLISHED["u0"], PUBLISHED["tE"],
                 PUBLISHED["t*"] / PUBLISHED["tE"]] + [LIMB[b] for b in BANDS]
    for i, name in enumerate(labels):
        offset = T_REF if name == "t0" else 0.0
        line = f"{name:10s} {_value(best[i] + offset, errors[i]):>24s} " \
               f"{published[i] + offset:{'14.5f' if offset else '14.5g'}}"
        if posterior is not None:
            line += f" {_value(posterior[:, i].mean() + offset, posterior[:, i].std()):>26s}"
        print(line)
    print(f"{'t* [d]':10s} {_value(t_star, t_star_error):>24s} {PUBLISHED['t*']:14.5g}")
    print("source and blend fluxes (MulensModel's scale, 22 mag = 1): " + ", ".join(
        f"{n} {fs:.3g}/{fb:.3g}" for n, (fs, fb) in zip(data.names, fs_fb)))

    plot(data, scaled, best, args.output)
    print(f"wrote {args.output}")
    if posterior is not None:
        plot_corner(posterior, labels, best, args.corner)
        print(f"wrote {args.corner}")
    return {"data": data, "best": best, "errors": errors, "chi2": chi2, "mulensmodel": mulens,
            "scale": scale, "posterior": posterior, "labels": labels}


if __name__ == "__main__":
    main()
