"""Calls that fail at run time; mypy must reject each marked line."""

import tavlomer
import tavlomer_physics

tavlomer.witt_mao_magnification("0.5", 1.0, 1.0)  # E: str is not a sequence of reals
tavlomer.witt_mao_magnification({0.5}, 1.0, 1.0)  # E: a set is not a sequence
tavlomer.witt_mao_magnification(0.5, 1.0, 1.0)  # E: a number, not a list
tavlomer.witt_mao_magnification([0.5], 1.0)  # E: rstar missing
tavlomer.heyrovsky_magnification([0.5], 0.5, 1.0, 1.0)  # E: l is one float here
tavlomer.witt_mao_magnification([0.5], 1.0, 1.0, x=2)  # E: no such keyword
tavlomer.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 1.0, ["0.5"], [1.0])  # E: strings
ring: list[float] = tavlomer.heyrovsky_magnification(0.5, 0.5, 1.0, 1.0)  # E: returns a float
disk: float = tavlomer.witt_mao_magnification([0.5], 1.0, 1.0)  # E: returns a list
tavlomer.PanicException  # E: not an attribute of the module
tavlomer_physics.linear(0.5, 0.1)  # E: c missing
tavlomer_physics.linear(0.5, 0.1, 0.6, 1e-9)  # E: rtol is keyword-only
tavlomer_physics.square_root(0.5, 0.1, 0.3, "0.2")  # E: a string is no number
curve: float = tavlomer_physics.uniform([0.5], 0.1)  # E: returns an array
