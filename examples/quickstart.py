"""Smallest useful call: uniform-disk and ring magnifications at a few separations."""

import tavlomer

separations = [0.0, 0.5, 0.99, 1.0, 1.5, 3.0, 10.0]  # lens-source separation / source radius
re, rstar = 2.0, 1.0  # Einstein radius and source radius, in any one unit

disk = tavlomer.witt_mao_magnification(separations, re, rstar)
for l, a in zip(separations, disk):
    ring = tavlomer.heyrovsky_magnification(l, 1.0, re, rstar)  # the source's rim alone
    print(f"l = {l:5.2f}   uniform disk A = {a:.12f}   ring r = 1 A = {ring:.12f}")
