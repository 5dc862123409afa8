"""The physical magnification of a finite source by a point-mass lens, with
limb darkening.

``u`` (lens-source separation) and ``rho`` (source radius) are in Einstein
radii; tabulated ``radii`` in source radii.  Arguments broadcast together like
a NumPy ufunc: a float when every argument is a single number, else a float64
array of the broadcast shape.  ``rtol`` (1e-12 to 1e-2) is the relative
accuracy guaranteed.

Failures: non-numeric arguments raise ``TypeError``; a non-positive or
non-finite ``rho`` or one below the smallest normal double, an ``rtol`` out
of range, coefficients that make the intensity negative, malformed tables
(or profiles bright only within 1e-145 of the outermost radius of the
centre) and shapes that do not broadcast raise ``ValueError``.
"""

from collections.abc import Sequence
from typing import Any, Literal, Union, overload

import numpy as np
from numpy.typing import NDArray
from typing_extensions import TypeAlias

__all__ = ["uniform", "linear", "quadratic", "square_root", "tabulated"]

# A single real number: float (int and bool included, NumPy's float64 too)
# or a NumPy integer or floating scalar.  Text and complex numbers are refused.
_Real: TypeAlias = Union[float, np.integer[Any], np.floating[Any]]
_RealArray: TypeAlias = NDArray[Union[np.bool_, np.integer[Any], np.floating[Any]]]
_Element: TypeAlias = Union[_Real, _RealArray]
# Real numbers, a NumPy array of them, or sequences of either nested up to
# three deep.  (Not a recursive alias: a str is a sequence of str, and would
# pass one.)
# A result: a float for single numbers, else an array.
_Out: TypeAlias = Union[float, NDArray[np.float64]]
_RealArrayLike: TypeAlias = Union[
    _Element, Sequence[_Element], Sequence[Sequence[_Element]], Sequence[Sequence[Sequence[_Element]]]
]

# A single number gives a float; anything array-like, an array.  The first
# overload is the narrower: the overlap is the point.  gradient=True gives
# the magnification, then its derivatives in u, rho and each coefficient
# (tabulated: in each intensity entry, on a trailing axis).
@overload
def uniform(u: _Real, rho: _Real, *, gradient: Literal[False] = False) -> float: ...  # type: ignore[overload-overlap]
@overload
def uniform(
    u: _RealArrayLike, rho: _RealArrayLike, *, gradient: Literal[False] = False
) -> NDArray[np.float64]: ...
@overload
def uniform(u: _RealArrayLike, rho: _RealArrayLike, *, gradient: Literal[True]) -> tuple[_Out, _Out, _Out]: ...
@overload
def uniform(u: _RealArrayLike, rho: _RealArrayLike, *, gradient: bool) -> Any: ...
@overload
def linear(  # type: ignore[overload-overlap]
    u: _Real, rho: _Real, c: _Real, *, rtol: float = 1e-9, gradient: Literal[False] = False
) -> float: ...
@overload
def linear(u: _RealArrayLike, rho: _RealArrayLike, c: _RealArrayLike, *, rtol: float = 1e-9,
           gradient: Literal[False] = False) -> NDArray[np.float64]: ...
@overload
def linear(
    u: _RealArrayLike, rho: _RealArrayLike, c: _RealArrayLike, *, rtol: float = 1e-9, gradient: Literal[True]
) -> tuple[_Out, _Out, _Out, _Out]: ...
@overload
def linear(
    u: _RealArrayLike, rho: _RealArrayLike, c: _RealArrayLike, *, rtol: float = 1e-9, gradient: bool
) -> Any: ...
@overload
def quadratic(  # type: ignore[overload-overlap]
    u: _Real, rho: _Real, a: _Real, b: _Real, *, rtol: float = 1e-9, gradient: Literal[False] = False
) -> float: ...
@overload
def quadratic(
    u: _RealArrayLike, rho: _RealArrayLike, a: _RealArrayLike, b: _RealArrayLike, *, rtol: float = 1e-9, gradient: Literal[False] = False
) -> NDArray[np.float64]: ...
@overload
def quadratic(
    u: _RealArrayLike, rho: _RealArrayLike, a: _RealArrayLike, b: _RealArrayLike, *, rtol: float = 1e-9,
    gradient: Literal[True]
) -> tuple[_Out, _Out, _Out, _Out, _Out]: ...
@overload
def quadratic(
    u: _RealArrayLike, rho: _RealArrayLike, a: _RealArrayLike, b: _RealArrayLike, *, rtol: float = 1e-9,
    gradient: bool
) -> Any: ...
@overload
def square_root(  # type: ignore[overload-overlap]
    u: _Real, rho: _Real, c: _Real, d: _Real, *, rtol: float = 1e-9, gradient: Literal[False] = False
) -> float: ...
@overload
def square_root(
    u: _RealArrayLike, rho: _RealArrayLike, c: _RealArrayLike, d: _RealArrayLike, *, rtol: float = 1e-9, gradient: Literal[False] = False
) -> NDArray[np.float64]: ...
@overload
def square_root(
    u: _RealArrayLike, rho: _RealArrayLike, c: _RealArrayLike, d: _RealArrayLike, *, rtol: float = 1e-9,
    gradient: Literal[True]
) -> tuple[_Out, _Out, _Out, _Out, _Out]: ...
@overload
def square_root(
    u: _RealArrayLike, rho: _RealArrayLike, c: _RealArrayLike, d: _RealArrayLike, *, rtol: float = 1e-9,
    gradient: bool
) -> Any: ...
# A single u and rho give a float for one profile, an array for a stack of
# them (intensity with leading axes).
@overload
def tabulated(  # type: ignore[overload-overlap]
    u: _Real, rho: _Real, radii: _RealArrayLike, intensity: _RealArrayLike, *, rtol: float = 1e-9, gradient: Literal[False] = False
) -> float | NDArray[np.float64]: ...
@overload
def tabulated(
    u: _RealArrayLike, rho: _RealArrayLike, radii: _RealArrayLike, intensity: _RealArrayLike, *, rtol: float = 1e-9, gradient: Literal[False] = False
) -> NDArray[np.float64]: ...
@overload
def tabulated(
    u: _RealArrayLike, rho: _RealArrayLike, radii: _RealArrayLike, intensity: _RealArrayLike, *,
    rtol: float = 1e-9, gradient: Literal[True]
) -> tuple[_Out, _Out, _Out, NDArray[np.float64]]: ...
@overload
def tabulated(
    u: _RealArrayLike, rho: _RealArrayLike, radii: _RealArrayLike, intensity: _RealArrayLike, *,
    rtol: float = 1e-9, gradient: bool
) -> Any: ...

