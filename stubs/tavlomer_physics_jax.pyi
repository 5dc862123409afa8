"""The functions of tavlomer_physics for JAX (jit, grad, jacfwd, jacrev,
vmap), on the CPU: the same arguments (``rtol`` and the table's ``radii``
static), the same magnification to the bit, as a float64 ``jax.Array``.
float64 only: ``RuntimeError`` while ``jax_enable_x64`` is off.  Values that
only a traced run knows (``rho``, coefficients, intensity) give NaN where
they are invalid.
"""

from typing import Any, Union

import numpy as np
from jax import Array
from jax.typing import ArrayLike
from numpy.typing import NDArray
from typing_extensions import TypeAlias

__all__ = ["uniform", "linear", "quadratic", "square_root", "tabulated"]

# The table's radii are static: numbers, not traced arrays.
_Radii: TypeAlias = Union[NDArray[np.floating[Any]], list[float], tuple[float, ...]]

def uniform(u: ArrayLike, rho: ArrayLike) -> Array: ...
def linear(u: ArrayLike, rho: ArrayLike, c: ArrayLike, *, rtol: float = 1e-9) -> Array: ...
def quadratic(u: ArrayLike, rho: ArrayLike, a: ArrayLike, b: ArrayLike, *, rtol: float = 1e-9) -> Array: ...
def square_root(u: ArrayLike, rho: ArrayLike, c: ArrayLike, d: ArrayLike, *, rtol: float = 1e-9) -> Array: ...
def tabulated(
    u: ArrayLike, rho: ArrayLike, radii: _Radii, intensity: ArrayLike, *, rtol: float = 1e-9
) -> Array: ...
