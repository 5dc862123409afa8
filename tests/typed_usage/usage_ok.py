"""Typed calls a modeller writes; mypy must accept every line and infer the
result types revealed below (tests/test_typing.py checks both, and runs the
file: every call here works at run time too)."""

import array
from typing import TYPE_CHECKING

import numpy as np

import tavlomer
import tavlomer_physics

if TYPE_CHECKING:
    from typing_extensions import reveal_type
else:
    def reveal_type(value):
        return value

separations: list[float] = [0.0, 0.5, 1.5]
re, rstar = 1.0, 0.5

disk = tavlomer.witt_mao_magnification(separations, re, rstar)
reveal_type(disk)  # list[float]
first: float = disk[0]

ring = tavlomer.heyrovsky_magnification(0.5, 0.25, re, rstar)
reveal_type(ring)  # float

# Integers, tuples, ranges, byte strings and arrays are accepted as they are at run time.
tavlomer.integrated_witt_mao_magnification((0, 1, 2), 1, 2)
tavlomer.integrated_heyrovsky_magnification(range(3), re=1.0, rstar=2.0)
tavlomer.integrated_flux_map_witt_mao_magnification(b"\x00\x01", 1.0, 1.0, [0.0, 1.0], [1.0, 1.0])
tavlomer.integrated_flux_map_heyrovsky_magnification(
    l=array.array("d", [0.5]), re=1.0, rstar=1.0, bl=(0.0, 1.0), bf=(1.0, 0.5))
sums = tavlomer.discrete_flux_map_heyrovsky_magnification([2.0], 1.0, 1.0, [0.5], [1.0])
total: float = sum(sums)

# NumPy arrays and scalars too.
curve = tavlomer.witt_mao_magnification(np.linspace(0.0, 3.0, 7), np.float64(1.0), np.float32(0.5))
reveal_type(curve)  # list[float]

# tavlomer_physics: a float for numbers, a float64 array for anything array-like.
peak = tavlomer_physics.linear(0.05, 0.1, 0.6)
reveal_type(peak)  # float
bands = tavlomer_physics.quadratic(np.linspace(0.0, 0.3, 5), 0.1, np.array([[0.3], [0.5]]), 0.2,
                                   rtol=1e-6)
reveal_type(bands)  # numpy.ndarray[Any, numpy.dtype[numpy.float64]]
disk_curve = tavlomer_physics.uniform([0.0, 0.1], 0.1)
table = tavlomer_physics.tabulated(disk_curve, 0.1, [0.0, 1.0], [1.0, 0.5])
magnification, d_u, d_rho, d_c = tavlomer_physics.linear(0.05, 0.1, 0.6, gradient=True)
reveal_type(d_c)  # float | numpy.ndarray[tuple[Any, ...], numpy.dtype[numpy.float64]]
