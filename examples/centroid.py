"""The astrometric shift of a finite source's light centroid as a point lens
passes over it, uniform beside limb-darkened.

The lens moves in a straight line past the source: at time t (in Einstein
crossing times t_E from the closest approach) it is u(t) = sqrt(u0^2 + t^2)
Einstein radii from the source's centre.  ``centroid=True`` returns the
magnification A and the shift of the images' light centroid from the
source's centre along the lens-source axis (Einstein radii, positive away
from the lens).  A point source's shift is u / (u^2 + 2), largest (1/sqrt(8))
at u = sqrt(2); a finite source's turns towards the lens while the lens is
inside it, and a uniform one's vanishes exactly as the lens crosses its limb.

    python3 examples/centroid.py                         # writes centroid.png
    python3 examples/centroid.py --rho 0.05 --u0 0 --ld 0.4 -o shift.png
"""

import argparse
import os

import numpy as np

import tavlomer_physics


def curves(rho, u0, c, times):
    """(A, shift) of the uniform and the linear limb-darkened source and the
    point source's shift at the given times (t_E); rho, u0 in Einstein radii."""
    u = np.hypot(u0, times)
    uniform = tavlomer_physics.uniform(u, rho, centroid=True)
    limb = tavlomer_physics.linear(u, rho, c, centroid=True)
    point = u / (u * u + 2.0)
    return uniform, limb, point


def plot(times, uniform, limb, point, rho, u0, c, output):
    import matplotlib

    if not os.environ.get("MPLBACKEND"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7.5, 6.5), sharex=True)
    top.plot(times, uniform[0], color="tab:blue", lw=1.6, label="uniform source")
    top.plot(times, limb[0], color="tab:red", lw=1.6, ls="--",
             label=f"limb-darkened source (linear, c = {c:g})")
    top.set_ylabel("magnification A")
    top.set_title(f"point lens passing a finite source: rho = {rho:g}, u0 = {u0:g}")
    top.legend(loc="upper right", fontsize=9)
    bottom.axhline(0.0, color="0.6", lw=0.8)
    bottom.plot(times, point, color="0.6", lw=1, ls=":", label="point source")
    bottom.plot(times, uniform[1], color="tab:blue", lw=1.6, label="uniform source")
    bottom.plot(times, limb[1], color="tab:red", lw=1.6, ls="--", label="limb-darkened source")
    bottom.set_ylim(-0.6 * rho, max(uniform[1].max(), limb[1].max()) * 1.15)
    bottom.set_ylabel("centroid shift, away from the lens  [Einstein radii]")
    bottom.set_xlabel("time from closest approach  [Einstein crossing times]")
    bottom.legend(loc="lower left", fontsize=9)
    if u0 < rho:
        edge = np.sqrt(rho * rho - u0 * u0)
        for axis in (top, bottom):
            for t in (-edge, edge):
                axis.axvline(t, color="0.85", lw=0.8, zorder=0)
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
    parser.add_argument("--points", type=int, default=801, help="points on the curve")
    parser.add_argument("-o", "--output", default="centroid.png", help="PNG to write")
    args = parser.parse_args(argv)

    span = 4.0 * max(args.rho, args.u0, 0.5)
    times = np.linspace(-span, span, args.points)
    uniform, limb, point = curves(args.rho, args.u0, args.ld, times)

    i = int(np.argmin(np.abs(times)))
    print(f"rho = {args.rho:g}, u0 = {args.u0:g}, linear limb darkening c = {args.ld:g}")
    print(f"at closest approach: shift uniform {uniform[1][i]:+.6f}, "
          f"limb-darkened {limb[1][i]:+.6f}, point source {point[i]:+.6f} Einstein radii")
    j = int(np.argmax(limb[1]))
    print(f"largest limb-darkened shift {limb[1][j]:.6f} at t = {times[j]:+.4f} t_E")
    plot(times, uniform, limb, point, args.rho, args.u0, args.ld, args.output)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
