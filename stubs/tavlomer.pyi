"""Finite-source magnification by a single point-mass lens.

Separations ``l``, ring radii ``r`` and tabulated radii ``bl`` are in source
radii; ``re`` (Einstein radius) and ``rstar`` (source radius) share one length
unit and only ``re / rstar`` enters.  ``bf`` holds surface brightnesses (ring
weights for the discrete sum) on any scale.

Failures: argument errors raise ``TypeError``; a failing elliptic integral
raises ``RuntimeError`` with the kernel's message; ``bl`` and ``bf`` of
unequal lengths raise ``pyo3_runtime.PanicException``, which derives from
``BaseException``, not ``Exception``.
"""

from collections.abc import Iterator
from typing import Protocol, SupportsFloat, SupportsIndex

from typing_extensions import TypeAlias

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

# What the module turns into a double: float, int, and anything with
# __float__ or __index__ (NumPy scalars included).
_Real: TypeAlias = SupportsFloat | SupportsIndex

class _RealSequence(Protocol):
    """What the module accepts for a list argument: an object that passes the
    sequence protocol and iterates over reals (list, tuple, range, bytes,
    array.array, a one-dimensional NumPy array).  ``str``, sets, dicts,
    iterators and generators are refused with ``TypeError``."""

    def __getitem__(self, index: int, /) -> object: ...
    def __iter__(self) -> Iterator[_Real]: ...

def witt_mao_magnification(l: _RealSequence, re: _Real, rstar: _Real) -> list[float]:
    """Magnification of a uniformly bright disk (Witt & Mao 1994) at each
    separation of ``l``."""

def integrated_witt_mao_magnification(l: _RealSequence, re: _Real, rstar: _Real) -> list[float]:
    """The uniform-disk value weighted by linear limb darkening (coefficient
    0.6): the disk value at every radius, so the result is the uniform-disk
    value times (1 + 6.6e-12)."""

def integrated_flux_map_witt_mao_magnification(
    l: _RealSequence, re: _Real, rstar: _Real, bl: _RealSequence, bf: _RealSequence
) -> list[float]:
    """As ``integrated_witt_mao_magnification``, for the brightness profile
    interpolated linearly in the table (``bl``, ``bf``), zero outside it."""

def heyrovsky_magnification(l: _Real, r: _Real, re: _Real, rstar: _Real) -> float:
    """Magnification of a thin uniform ring of radius ``r`` centred at
    separation ``l`` (Heyrovský 2003): the mean point-source magnification
    around the ring; exactly 0.0 when ``r - 0.001 < l < r``."""

def integrated_heyrovsky_magnification(l: _RealSequence, re: _Real, rstar: _Real) -> list[float]:
    """Ring values integrated over the source radius against linear limb
    darkening (coefficient 0.6), each ring value plus half the radius times
    its radial derivative."""

def integrated_flux_map_heyrovsky_magnification(
    l: _RealSequence, re: _Real, rstar: _Real, bl: _RealSequence, bf: _RealSequence
) -> list[float]:
    """As ``integrated_heyrovsky_magnification``, for the brightness profile
    interpolated linearly in the table (``bl``, ``bf``), zero outside it."""

def discrete_flux_map_heyrovsky_magnification(
    l: _RealSequence, re: _Real, rstar: _Real, bl: _RealSequence, bf: _RealSequence
) -> list[float]:
    """Sum over the rings of radii ``bl`` of ``bf[j]`` times the ring
    magnification, for each separation of ``l``; no normalisation."""
