"""Fitting a limb-darkened light curve with analytic derivatives.

The script simulates a point lens passing over a limb-darkened star and fits
the event back with ``scipy.optimize.least_squares``, twice from the same
starting point: once with the Jacobian built from the derivatives that
``tavlomer_physics.linear(..., gradient=True)`` returns with the
magnification, once with SciPy's finite differences.

The lens-source separation (Einstein radii) is
u(t) = sqrt(u0^2 + ((t - t0) / tE)^2) and the observed flux is
F(t) = Fs A(u(t); rho, c) + Fb, with A the magnification of a source of
radius rho (Einstein radii) with linear limb darkening
I(mu) = 1 - c (1 - mu), Fs the source's flux and Fb the blended light.  The
fitted parameters are t0, u0, tE, rho, Fs and Fb; c stays at its true value
unless --fit-ld fits it too.  The analytic Jacobian is the chain rule through
u(t):

    dF/dt0 = Fs dA/du du/dt0,   du/dt0 = -(t - t0) / (tE^2 u)
    dF/du0 = Fs dA/du du/du0,   du/du0 = u0 / u
    dF/dtE = Fs dA/du du/dtE,   du/dtE = -(t - t0)^2 / (tE^3 u)
    dF/drho = Fs dA/drho,  dF/dc = Fs dA/dc,  dF/dFs = A,  dF/dFb = 1.

For each fit it prints the recovered parameters with their 1-sigma errors
(covariance inv(J^T J) times the reduced chi-square, J the fit's own
Jacobian at the solution), how often the model was evaluated (SciPy's
counts of residual and Jacobian calls, and the script's own count of model
calls, finite-difference steps included) and the wall time.  It plots the
data, the fitted model and the residuals into a PNG.

    python3 examples/fit_light_curve.py                 # writes fit_light_curve.png
    python3 examples/fit_light_curve.py --points 300 --noise 0.02 --fit-ld -o fit.png
"""

import argparse
import os
import time

import numpy as np
from scipy.optimize import least_squares

import tavlomer_physics

NAMES = ["t0", "u0", "tE", "rho", "Fs", "Fb", "c"]
UNITS = {"t0": "d", "tE": "d"}


class Model:
    """F(t) = Fs A(u(t); rho, c) + Fb and its Jacobian, counting its calls.

    ``params`` holds t0, u0, tE, rho, Fs, Fb, and c when it is fitted
    (otherwise c is the fixed value given here)."""

    def __init__(self, times, c=None):
        self.times = np.asarray(times, dtype=float)
        self.fixed_c = c
        self.values = 0     # calls returning the flux only
        self.gradients = 0  # calls returning the flux and its derivatives
        self.value_seconds = 0.0
        self.gradient_seconds = 0.0

    def _geometry(self, params):
        t0, u0, tE, rho, fs, fb = params[:6]
        c = params[6] if self.fixed_c is None else self.fixed_c
        tau = (self.times - t0) / tE
        u = np.sqrt(u0 * u0 + tau * tau)
        return t0, u0, tE, rho, fs, fb, c, tau, u

    def flux(self, params):
        began = time.perf_counter()
        _, _, _, rho, fs, fb, c, _, u = self._geometry(params)
        flux = fs * tavlomer_physics.linear(u, rho, c) + fb
        self.values += 1
        self.value_seconds += time.perf_counter() - began
        return flux

    def jacobian(self, params):
        """dF/dparams, one column per parameter (in the order of ``params``)."""
        began = time.perf_counter()
        _, u0, tE, rho, fs, _, c, tau, u = self._geometry(params)
        a, da_du, da_drho, da_dc = tavlomer_physics.linear(u, rho, c, gradient=True)
        # At u = 0 (only if u0 = 0) dA/du vanishes: the columns through u are 0 there.
        inv_u = np.divide(1.0, u, out=np.zeros_like(u), where=u > 0)
        fs_da_du = fs * da_du
        columns = [
            fs_da_du * (-tau / tE) * inv_u,        # t0
            fs_da_du * u0 * inv_u,                 # u0
            fs_da_du * (-tau * tau / tE) * inv_u,  # tE
            fs * da_drho,                          # rho
            a,                                     # Fs
            np.ones_like(a),                       # Fb
        ]
        if self.fixed_c is None:
            columns.append(fs * da_dc)             # c
        jacobian = np.column_stack(columns)
        self.gradients += 1
        self.gradient_seconds += time.perf_counter() - began
        return jacobian


def simulate(t0, u0, tE, rho, c, fs, fb, points, span, noise, seed):
    """Times (days, evenly spaced over t0 +- span tE) and fluxes with Gaussian
    noise of standard deviation ``noise``."""
    times = np.linspace(t0 - span * tE, t0 + span * tE, points)
    truth = Model(times, c).flux([t0, u0, tE, rho, fs, fb])
    rng = np.random.default_rng(seed)
    return times, truth + noise * rng.standard_normal(points)


def fit(times, flux, sigma, start, c=None, jac="analytic"):
    """Least-squares fit from ``start`` (t0, u0, tE, rho, Fs, Fb[, c]; c is
    fitted when not given).  ``jac`` is "analytic" or one of SciPy's
    finite-difference schemes ("2-point", "3-point").  Returns a dict: the
    parameters, their 1-sigma errors, chi-square, SciPy's result, the counts
    of model calls and the wall time."""
    model = Model(times, c)

    def residuals(p):
        return (model.flux(p) - flux) / sigma

    def jacobian(p):
        return model.jacobian(p) / sigma[:, None]

    n = len(start)
    # rho and tE stay positive, c at most 1 (the intensity must stay >= 0).
    lower = [-np.inf, -np.inf, 1e-6, 1e-6, -np.inf, -np.inf, -np.inf][:n]
    upper = [np.inf] * 6 + [1.0] * (n - 6)
    began = time.perf_counter()
    result = least_squares(residuals, start, jac=jacobian if jac == "analytic" else jac,
                           bounds=(lower, upper), x_scale="jac", method="trf",
                           xtol=1e-10, ftol=1e-10, gtol=1e-10)
    seconds = time.perf_counter() - began

    chi2 = float(result.fun @ result.fun)
    dof = len(flux) - n
    # inv(J^T J) through the SVD of J, times the residual variance.
    _, s, vt = np.linalg.svd(result.jac, full_matrices=False)
    covariance = (vt.T / s**2) @ vt * (chi2 / dof)
    return {
        "params": result.x, "errors": np.sqrt(np.diag(covariance)),
        "chi2": chi2, "dof": dof, "result": result,
        "values": model.values, "gradients": model.gradients, "seconds": seconds,
        "value_seconds": model.value_seconds, "gradient_seconds": model.gradient_seconds,
    }


def _value(value, error):
    """value +- error with two significant digits of the error."""
    decimals = max(0, 1 - int(np.floor(np.log10(error)))) if error > 0 else 6
    return f"{value:.{decimals}f} +- {error:.{decimals}f}"


def report(truth, fits, c):
    """The parameter table and the cost of each fit, as lines of text; ``c``
    is the fixed limb-darkening coefficient, None when fitted."""
    names = NAMES[:len(truth)]
    labels = list(fits)
    lines = [f"{'':8s}{'true':>8s}" + "".join(f"  {label:>28s}" for label in labels)]
    for i, name in enumerate(names):
        label = f"{name} [{UNITS[name]}]" if name in UNITS else name
        lines.append(f"{label:8s}{truth[i]:8.4g}" + "".join(
            f"  {_value(f['params'][i], f['errors'][i]):>28s}" for f in fits.values()))
    chi2 = [f"{f['chi2']:.1f} / {f['dof']}" for f in fits.values()]
    lines.append(f"{'chi2/dof':16s}" + "".join(f"  {text:>28s}" for text in chi2))
    if c is not None:
        lines.append(f"(c fixed at {c:g})")
    for label, f in fits.items():
        r = f["result"]
        calls = f"{f['values']} flux ({1e3 * f['value_seconds'] / f['values']:.1f} ms each)"
        if f["gradients"]:
            calls += (f" + {f['gradients']} flux-and-gradient"
                      f" ({1e3 * f['gradient_seconds'] / f['gradients']:.1f} ms each)")
        lines.append(f"{label}: nfev = {r.nfev}, njev = {r.njev}; model calls: {calls}; "
                     f"{1e3 * f['seconds']:.0f} ms in all")
    return lines


def plot(times, flux, sigma, fits, c_true, output):
    import matplotlib

    if not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    best = fits["analytic Jacobian"]
    p = best["params"]
    c = None if len(p) == 7 else c_true
    fine = np.linspace(times[0], times[-1], 4001)
    model_fine = Model(fine, c).flux(p)
    residual = flux - Model(times, c).flux(p)

    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(7.5, 6.5), sharex=True, gridspec_kw={"height_ratios": [3, 1.4]})
    top.errorbar(times, flux, yerr=sigma, fmt=".", ms=2.5, color="0.35", elinewidth=0.5,
                 label="simulated data")
    top.plot(fine, model_fine, color="tab:red", lw=1.2, label="fit (analytic Jacobian)")
    fd = next(v for k, v in fits.items() if k != "analytic Jacobian")
    top.plot(fine, Model(fine, c).flux(fd["params"]), color="tab:blue", lw=1.0, ls="--",
             label="fit (finite differences)")
    top.set_ylabel("flux  [source flux units]")
    top.set_title(f"fitted: u0 = {p[1]:.4f}, tE = {p[2]:.2f} d, rho = {p[3]:.4f}, "
                  f"Fs = {p[4]:.3f}, Fb = {p[5]:.3f}" + (f", c = {p[6]:.3f}" if c is None else ""),
                  fontsize=10)
    top.legend(loc="upper left", fontsize=9)

    # The source crossing, magnified.
    t0, u0, tE, rho = p[:4]
    half = tE * np.sqrt(max(rho * rho - u0 * u0, 0.0) + (1.5 * rho) ** 2)
    inset = top.inset_axes([0.62, 0.38, 0.36, 0.58])
    near = np.abs(times - t0) < half
    inset.errorbar(times[near], flux[near], yerr=sigma[near], fmt=".", ms=2.5, color="0.35",
                   elinewidth=0.5)
    close = np.abs(fine - t0) < half
    inset.plot(fine[close], model_fine[close], color="tab:red", lw=1.2)
    inset.set_xlim(t0 - half, t0 + half)
    inset.tick_params(labelsize=7)
    inset.text(0.03, 0.95, "source crossing", transform=inset.transAxes, fontsize=8,
               va="top")

    bottom.fill_between(times, -sigma, sigma, color="tab:red", alpha=0.15, lw=0,
                        label="+- 1 sigma noise")
    bottom.axhline(0.0, color="tab:red", lw=0.8)
    bottom.plot(times, residual, ".", ms=2.5, color="0.35")
    bottom.set_ylabel("data - fit (analytic)")
    bottom.legend(loc="upper right", fontsize=8)
    bottom.set_xlabel("time  [days]")
    fig.tight_layout()
    fig.savefig(output, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--t0", type=float, default=0.0, help="closest approach, days (default 0)")
    parser.add_argument("--u0", type=float, default=0.05,
                        help="impact parameter, Einstein radii (default 0.05)")
    parser.add_argument("--tE", type=float, default=20.0,
                        help="Einstein crossing time, days (default 20)")
    parser.add_argument("--rho", type=float, default=0.1,
                        help="source radius, Einstein radii (default 0.1)")
    parser.add_argument("--ld", type=float, default=0.6,
                        help="linear limb-darkening coefficient c (default 0.6)")
    parser.add_argument("--fs", type=float, default=1.0, help="source flux (default 1)")
    parser.add_argument("--fb", type=float, default=0.2, help="blended flux (default 0.2)")
    parser.add_argument("--fit-ld", action="store_true", help="fit c too")
    parser.add_argument("--points", type=int, default=1000, help="data points (default 1000)")
    parser.add_argument("--span", type=float, default=2.0,
                        help="data over t0 +- span tE (default 2)")
    parser.add_argument("--noise", type=float, default=0.01,
                        help="noise standard deviation, flux units (default 0.01)")
    parser.add_argument("--seed", type=int, default=1, help="noise seed (default 1)")
    parser.add_argument("--fd", choices=["2-point", "3-point"], default="2-point",
                        help="finite-difference scheme of the second fit (default 2-point)")
    parser.add_argument("-o", "--output", default="fit_light_curve.png", help="PNG to write")
    args = parser.parse_args(argv)

    truth = [args.t0, args.u0, args.tE, args.rho, args.fs, args.fb]
    times, flux = simulate(*truth[:4], args.ld, *truth[4:], args.points, args.span,
                           args.noise, args.seed)
    sigma = np.full_like(flux, args.noise)
    # The same start for both fits, a few per cent to tens of per cent off.
    start = [args.t0 + 0.02 * args.tE, 1.3 * args.u0, 0.85 * args.tE, 1.2 * args.rho,
             0.8 * args.fs, args.fb + 0.1 * args.fs]
    c = args.ld
    if args.fit_ld:
        truth.append(args.ld)
        start.append(0.5 * args.ld)
        c = None
    fits = {
        "analytic Jacobian": fit(times, flux, sigma, start, c, "analytic"),
        f"finite differences ({args.fd})": fit(times, flux, sigma, start, c, args.fd),
    }

    print(f"simulated event: {args.points} points over t0 +- {args.span:g} tE, "
          f"noise {args.noise:g} (seed {args.seed}), linear limb darkening c = {args.ld:g}")
    print("\n".join(report(truth, fits, c)))
    plot(times, flux, sigma, fits, args.ld, args.output)
    print(f"wrote {args.output}")
    return truth, fits


if __name__ == "__main__":
    main()
