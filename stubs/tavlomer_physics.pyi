"""The physical magnification of a finite source by a point-mass lens, with
limb darkening.

``u`` (lens-source separation) and ``rho`` (source radius) are in Einstein
radii; tabulated ``radii`` in source radii.  Arguments broadcast together like
a NumPy ufunc: a float when every argument is a single number, else a float64
array of the broadcast shape.  ``rtol`` (1e-12 to 1e-2) is the relative
accuracy guaranteed.

Failures: non-numeric arguments raise ``TypeError``; a non-positive or
non-finite ``rho``, an ``rtol`` out of range, coefficients that make the
intensity negative and malformed tables raise ``ValueError``.
"""

from typing import overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["uniform", "linear", "quadratic", "square_root", "tabulated"]

# A single number gives a float; anything array-like, an array.
@overload
def uniform(u: float, rho: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def uniform(u: ArrayLike, rho: ArrayLike) -> NDArray[np.float64]: ...
@overload
def linear(  # type: ignore[overload-overlap]
    u: float, rho: float, c: float, *, rtol: float = 1e-9
) -> float: ...
@overload
def linear(u: ArrayLike, rho: ArrayLike, c: ArrayLike, *, rtol: float = 1e-9) -> NDArray[np.float64]: ...
@overload
def quadratic(  # type: ignore[overload-overlap]
    u: float, rho: float, a: float, b: float, *, rtol: float = 1e-9
) -> float: ...
@overload
def quadratic(
    u: ArrayLike, rho: ArrayLike, a: ArrayLike, b: ArrayLike, *, rtol: float = 1e-9
) -> NDArray[np.float64]: ...
@overload
def square_root(  # type: ignore[overload-overlap]
    u: float, rho: float, c: float, d: float, *, rtol: float = 1e-9
) -> float: ...
@overload
def square_root(
    u: ArrayLike, rho: ArrayLike, c: ArrayLike, d: ArrayLike, *, rtol: float = 1e-9
) -> NDArray[np.float64]: ...
# A single u and rho give a float for one profile, an array for a stack of
# them (intensity with leading axes).
@overload
def tabulated(
    u: float, rho: float, radii: ArrayLike, intensity: ArrayLike, *, rtol: float = 1e-9
) -> float | NDArray[np.float64]: ...
@overload
def tabulated(
    u: ArrayLike, rho: ArrayLike, radii: ArrayLike, intensity: ArrayLike, *, rtol: float = 1e-9
) -> NDArray[np.float64]: ...
