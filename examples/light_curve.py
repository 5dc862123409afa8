"""Light curves of a point lens passing over a uniform and a limb-darkened star.

The lens moves in a straight line past the source: at time t (in Einstein
crossing times t_E from the closest approach) its distance from the source's
centre is u(t) = sqrt(u0^2 + t^2) Einstein radii, which is l = u / rho source
radii, rho being the source radius in Einstein radii.  The script computes

* the uniform disk, ``tavlomer.witt_mao_magnification``;
* the limb-darkened disk with the linear law I = 1 - c (1 - sqrt(1 - x^2)),
  the physical magnification from ``tavlomer_physics.linear`` (u and rho in
  Einstein radii);
* the point source, for comparison,

and plots them with their relative difference into a PNG.  With the default
u0 < rho the lens crosses the source: limb darkening makes the centre of the
crossing brighter and the limb crossings fainter than a uniform star.

    python3 examples/light_curve.py                       # writes light_curve.png
    python3 examples/light_curve.py --rho 0.05 --u0 0 --ld 0.4 -o lc.png
"""

import argparse
import math
import os

import tavlomer
import tavlomer_physics


def light_curves(rho, u0, c, times):
    """Uniform, limb-darkened and point-source magnifications at the given
    times (in t_E); rho and u0 in Einstein radii, c the limb-darkening
    coefficient."""
    re, rstar = 1.0, rho  # only rstar / re = rho matters
    u = [math.hypot(u0, t) for t in times]
    l = [ui / rho for ui in u]  # separations in source radii
    uniform = tavlomer.witt_mao_magnification(l, re, rstar)
    limb = tavlomer_physics.linear(u, rho, c).tolist()
    point = [(ui * ui + 2) / (ui * math.sqrt(ui * ui + 4)) if ui > 0 else math.inf for ui in u]
    return uniform, limb, point


def plot(times, uniform, limb, point, rho, u0, c, output):
    import matplotlib

    if not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(7.5, 6.5), sharex=True, gridspec_kw={"height_ratios": [3, 2]})
    top.plot(times, point, color="0.6", lw=1, ls=":", label="point source")
    top.plot(times, uniform, color="tab:blue", lw=1.6, label="uniform source")
    top.plot(times, limb, color="tab:red", lw=1.6, ls="--",
             label=f"limb-darkened source (linear, c = {c:g})")
    peak = max(max(uniform), max(limb))
    top.set_ylim(0.0, 1.25 * peak)
    top.set_ylabel("magnification A")
    top.set_title(f"point lens passing a finite source: rho = {rho:g}, u0 = {u0:g}")
    top.legend(loc="upper right", fontsize=9)
    diff = [100.0 * (b - a) / a for a, b in zip(uniform, limb)]
    bottom.axhline(0.0, color="0.6", lw=0.8)
    bottom.plot(times, diff, color="tab:purple", lw=1.6)
    bottom.set_ylabel("(A_limb - A_uniform) / A_uniform  [%]")
    bottom.set_xlabel("time from closest approach  [Einstein crossing times]")
    if u0 < rho:
        edge = math.sqrt(rho * rho - u0 * u0)
        for axis in (top, bottom):
            for t in (-edge, edge):
                axis.axvline(t, color="0.85", lw=0.8, zorder=0)
        bottom.annotate("limb crossings", xy=(edge, 0), xytext=(edge * 1.15, min(diff) * 0.6),
                        fontsize=8, color="0.4")
    fig.tight_layout()
    fig.savefig(output, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rho", type=float, default=0.1,
                        help="source radius in Einstein radii (default 0.1)")
    parser.add_argument("--u0", type=float, default=0.05,
                        help="closest approach in Einstein radii (default 0.05)")
    parser.add_argument("--ld", type=float, default=0.6,
                        help="linear limb-darkening coefficient (default 0.6)")
    parser.add_argument("--points", type=int, default=401, help="points on the curve")
    parser.add_argument("-o", "--output", default="light_curve.png", help="PNG to write")
    args = parser.parse_args(argv)

    span = 3.0 * max(args.rho, args.u0)
    times = [span * (2.0 * i / (args.points - 1) - 1.0) for i in range(args.points)]
    uniform, limb, point = light_curves(args.rho, args.u0, args.ld, times)

    i = min(range(len(times)), key=lambda k: abs(times[k]))
    print(f"rho = {args.rho:g}, u0 = {args.u0:g}, linear limb darkening c = {args.ld:g}")
    print(f"at closest approach: uniform A = {uniform[i]:.6f}, "
          f"limb-darkened A = {limb[i]:.6f}, point source A = {point[i]:.6f}")
    worst = max(range(len(times)), key=lambda k: abs(limb[k] / uniform[k] - 1.0))
    print(f"largest relative difference limb-darkened/uniform: "
          f"{100.0 * (limb[worst] / uniform[worst] - 1.0):+.3f} % at t = {times[worst]:+.4f} t_E")
    plot(times, uniform, limb, point, args.rho, args.u0, args.ld, args.output)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
