"""The one error metric of the kernel tests: distance in units in the last place.

ulps(expected, actual) is |actual - expected| / ulp(expected), computed
exactly with fractions, where expected is an exact number (a decimal string
of more digits than a double holds, a Fraction or a float) and ulp() is the
spacing of doubles at expected rounded to a double.  Rules for special values
(after CPython's math tests): equal values, NaN against NaN and equal
infinities are 0 ulps apart; a NaN or infinity against anything else is
infinitely far.
"""

import math
from fractions import Fraction


def ulps(expected, actual):
    if isinstance(expected, str):
        expected = Fraction(expected)
    e = float(expected)
    if math.isnan(e) or math.isnan(actual):
        return 0.0 if math.isnan(e) and math.isnan(actual) else math.inf
    if math.isinf(e) or math.isinf(actual):
        return 0.0 if e == actual else math.inf
    return float(abs(Fraction(actual) - Fraction(expected)) / Fraction(math.ulp(e)))


def describe(expected, actual):
    """One line for a failure message: expected, actual and their distance."""
    return f"expected {expected}, actual {actual!r}, {ulps(expected, actual):.3g} ulps"
