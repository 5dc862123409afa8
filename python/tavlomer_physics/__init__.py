"""The physical magnification of a finite source by a point-mass lens, with
limb darkening: u and rho in Einstein radii, NumPy-style arguments.

The functions live in the extension ``tavlomer_physics._core``; the same
functions for JAX (jit, grad, vmap) are in ``tavlomer_physics.jax``, which
imports JAX when it is itself imported, never before.
"""

from tavlomer_physics._core import *  # noqa: F403 (the module's __all__)
from tavlomer_physics._core import AccuracyWarning, __all__, __doc__  # noqa: F401
