"""Smallest useful call: uniform-disk magnifications along a few separations."""

import tavlomer

separations = [0.0, 0.5, 0.99, 1.0, 1.5, 3.0, 10.0]  # lens-source separation / source radius
re, rstar = 2.0, 1.0  # Einstein radius and source radius, in any one unit

if hasattr(tavlomer, "witt_mao_magnification"):
    for l, a in zip(separations, tavlomer.witt_mao_magnification(separations, re, rstar)):
        print(f"l = {l:5.2f}   A = {a:.12f}")
else:
    print("tavlomer", tavlomer.__name__, "imported; no functions yet")
