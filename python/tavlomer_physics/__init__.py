"""The physical magnification of a finite source by a point-mass lens, with
limb darkening: u and rho in Einstein radii, NumPy-style arguments.

The functions live in the extension ``tavlomer_physics._core``; the same
functions for JAX (jit, grad, vmap) are in ``tavlomer_physics.jax``, which
imports JAX when it is itself imported, never before.  ``power2_from_maxted``
converts the power-2 law's coefficients from Maxted's parametrisation.
"""

import inspect

import numpy as np

from tavlomer_physics._core import *  # noqa: F403 (the module's __all__)
from tavlomer_physics._core import AccuracyWarning, __doc__  # noqa: F401
from tavlomer_physics._core import __all__ as _core_all

__all__ = [*_core_all, "power2_from_maxted"]


def _traced_signature(function):
    """A law's signature as the traced wrappers (tavlomer_physics.jax and
    tavlomer_physics.pytensor) take it: without the keywords only the NumPy
    functions have (the derivatives come from the framework, the centroid is
    not traced, and the framework schedules the work)."""
    signature = inspect.signature(function)
    return signature.replace(parameters=[p for p in signature.parameters.values()
                                         if p.name not in ("gradient", "centroid", "threads")])


def power2_from_maxted(h1, h2):
    """power2_from_maxted(h1, h2)

    The power-2 law's (c, alpha), I(mu) = 1 - c (1 - mu^alpha), from Maxted's
    (2018) h1 = I(1/2) = 1 - c (1 - 2^-alpha) and h2 = I(1/2) - I(0) =
    c 2^-alpha: c = 1 - h1 + h2 and alpha = log2(c / h2).  Arguments
    broadcast; floats for single numbers, else float64 arrays.

    Where no valid (c, alpha) gives them (alpha positive and finite, c <= 1:
    h2 <= h1 < 1 with h2 > 0, or 1 < h1 with h2 < 0 and h2 <= h1), or where
    they give a pair that ``power2`` refuses (alpha below 1e-6), raises
    ValueError naming the first such element.  h1 = 1, h2 = 0 is the uniform
    disk, c = 0, whatever alpha: alpha = 1 is returned.
    """
    h1_array = np.asarray(h1, dtype=np.float64)
    h2_array = np.asarray(h2, dtype=np.float64)
    try:
        a, b = np.broadcast_arrays(h1_array, h2_array)
    except ValueError:
        raise ValueError(f"the shapes do not broadcast together: h1 {h1_array.shape}, "
                         f"h2 {h2_array.shape}") from None
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        # c / h2 = 1 + (1 - h1) / h2: log1p keeps alpha's digits near 0.
        ratio = (1.0 - a) / b
        alpha = np.log1p(ratio) / np.log(2.0)
        c = (1.0 - a) + b
    uniform = (a == 1.0) & (b == 0.0)
    alpha = np.where(uniform, 1.0, alpha)
    c = np.where(uniform, 0.0, c)
    valid = np.isfinite(alpha) & (alpha > 0.0) & np.isfinite(c) & (c <= 1.0)
    if not valid.all():
        index = np.unravel_index(int(np.argmin(valid.ravel())), valid.shape)
        where = f"[{', '.join(str(i) for i in index)}]" if index else ""
        raise ValueError(
            "h1 and h2 must come from a power-2 law with alpha positive and finite and "
            "c <= 1 (h2 <= h1 < 1 with h2 > 0, or h1 > 1 with h2 < 0) "
            f"(h1{where} = {float(a[index])!r}, h2{where} = {float(b[index])!r})")
    try:
        # The law's own rule, so that what converts is what power2 takes.
        power2(0.0, 1.0, c, alpha, rtol=1e-2)  # noqa: F405 (from the module's __all__)
    except ValueError as error:
        raise ValueError(f"h1 and h2 give a power-2 law that power2 refuses: {error}") from None
    if c.ndim == 0:
        return float(c), float(alpha)
    return c, alpha
