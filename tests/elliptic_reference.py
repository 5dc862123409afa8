"""Reference values of the elliptic integrals at 50 significant digits.

The arguments come from a seeded sampler built on exact operations only
(random mantissas scaled by powers of two, products with 1 + 2^-k), so that
every interpreter and platform draws the same doubles.  Each kernel's sample
is grouped by regime (distinct, near-equal, one zero, two equal, principal
value, ...).  The expected values are computed with mpmath at mp.dps = 50 from
the exact double arguments and stored, 25 significant digits each, in
data/elliptic_reference.json, together with a digest of the arguments and,
where the specified formula ends in a difference of terms, its condition
number; so the accuracy tests need no slow high-precision evaluation.

Regenerate (takes a few minutes) with:

    python tests/elliptic_reference.py

References: mpmath's elliprf, elliprc (principal value for y < 0),
elliprd, elliprj, ellipk, ellipe and ellippi, whose conventions (parameter
m = k^2; characteristic n with Pi(n, m) singular at n = 1) are the module's.
For p < 0 mpmath's elliprj returns a complex number whose real part is the
Cauchy principal value; it takes seconds per point, so the principal values
are computed at 50 digits from the real transformation to positive q
(Carlson 1995, eq. 2.22; DLMF 19.20.14) and that transformation is checked
against mpmath's complex elliprj on a few points when generating.
"""

import hashlib
import json
import math
import random
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data" / "elliptic_reference.json"
DPS = 50
DIGITS = 25
POINTS = 2000  # per kernel


def _mag(r, lo, hi):
    """A positive double with a random 53-bit mantissa and exponent in [lo, hi]."""
    return math.ldexp(1.0 + r.random(), r.randint(lo, hi))


def _near(r, x):
    """x times 1 + d, d = +-(1 + u) 2^-k with k in [1, 50]: near-equal arguments."""
    return x * (1.0 + math.ldexp(r.choice((-1.0, 1.0)) * (1.0 + r.random()), -r.randint(1, 50)))


def _shuffled(r, values):
    values = list(values)
    r.shuffle(values)
    return tuple(values)


def _below_one(r):
    """m in (0, 1) near 1: 1 - (1 + u) 2^-k, k in [1, 52]."""
    return 1.0 - math.ldexp(1.0 + r.random(), -r.randint(2, 53))


# Regimes per kernel: (name, share of the points, draw(r) -> arguments).  The
# exponent ranges keep every intermediate of the specified formulas inside
# the double range; beyond them overflow and underflow are, by design, not
# trapped, and accuracy is not claimed.
REGIMES = {
    "elliprf": [
        ("distinct", 0.4, lambda r: (_mag(r, -160, 160), _mag(r, -160, 160), _mag(r, -160, 160))),
        ("near-equal", 0.2, lambda r: (lambda x: _shuffled(r, (x, _near(r, x), _near(r, x))))(_mag(r, -300, 300))),
        ("one zero", 0.2, lambda r: _shuffled(r, (0.0, _mag(r, -500, 500), _mag(r, -500, 500)))),
        ("two equal", 0.2, lambda r: (lambda x: _shuffled(r, (x, x, _mag(r, -500, 500))))(_mag(r, -500, 500))),
    ],
    "elliprc": [
        ("general", 0.4, lambda r: (_mag(r, -500, 500), _mag(r, -500, 500))),
        ("near-equal", 0.2, lambda r: (lambda x: (x, _near(r, x)))(_mag(r, -500, 500))),
        ("x zero", 0.1, lambda r: (0.0, _mag(r, -500, 500))),
        ("principal value", 0.3, lambda r: (_mag(r, -400, 400), -_mag(r, -400, 400))),
    ],
    "elliprd": [
        ("distinct", 0.4, lambda r: (_mag(r, -160, 160), _mag(r, -160, 160), _mag(r, -160, 160))),
        ("near-equal", 0.2, lambda r: (lambda x: (x, _near(r, x), _near(r, x)))(_mag(r, -300, 300))),
        ("x zero", 0.2, lambda r: (lambda y: (0.0, y, y * _mag(r, -60, 60)))(_mag(r, -300, 300))),
        ("two equal", 0.2, lambda r: (lambda x, z: (x, z, z) if r.random() < 0.5 else (z, x, z))(_mag(r, -160, 160), _mag(r, -160, 160))),
    ],
    "elliprj": [
        ("distinct", 0.3, lambda r: tuple(_mag(r, -60, 60) for _ in range(4))),
        ("near-equal", 0.15, lambda r: (lambda x: (x, _near(r, x), _near(r, x), _near(r, x)))(_mag(r, -300, 300))),
        ("principal value", 0.25, lambda r: (_mag(r, -30, 30), _mag(r, -30, 30), _mag(r, -30, 30), -_mag(r, -30, 30))),
        ("y = z", 0.15, lambda r: (lambda y: (_mag(r, -60, 60), y, y, _mag(r, -60, 60)))(_mag(r, -60, 60))),
        ("one zero", 0.1, lambda r: _shuffled(r, (0.0, _mag(r, -60, 60), _mag(r, -60, 60))) + (_mag(r, -60, 60),)),
        ("x = y = z", 0.05, lambda r: (lambda x: (x, x, x, _mag(r, -60, 60)))(_mag(r, -60, 60))),
    ],
    "ellipk": [
        ("0 < m < 1", 0.4, lambda r: (r.random(),)),
        ("m near 1", 0.25, lambda r: (_below_one(r),)),
        ("m near 0", 0.1, lambda r: (_mag(r, -1000, -2),)),
        ("m < 0", 0.25, lambda r: (-_mag(r, -60, 1000),)),
    ],
    "ellipe": [
        ("0 < m < 1", 0.4, lambda r: (r.random(),)),
        ("m near 1", 0.25, lambda r: (_below_one(r),)),
        ("m near 0", 0.1, lambda r: (_mag(r, -1000, -2),)),
        ("m < 0", 0.25, lambda r: (-_mag(r, -60, 1000),)),
    ],
    "ellippi": [
        ("0 < n < 1", 0.35, lambda r: (r.random(), r.random())),
        ("n near 1", 0.1, lambda r: (_below_one(r), r.random())),
        ("m near 1", 0.1, lambda r: (r.random(), _below_one(r))),
        ("n < 0", 0.35, lambda r: (-_mag(r, -30, 30), r.random())),
        ("m < 0", 0.1, lambda r: (r.random() * 2 - 1, -_mag(r, -30, 30))),
    ],
}

SEEDS = {name: 1000 + i for i, name in enumerate(REGIMES)}


def samples(kernel):
    """[(regime, args)] for one kernel: POINTS draws, regimes in a fixed order."""
    r = random.Random(SEEDS[kernel])
    out = []
    for regime, share, draw in REGIMES[kernel]:
        out.extend((regime, draw(r)) for _ in range(round(share * POINTS)))
    return out


def digest(rows):
    """SHA-256 of the arguments' hexadecimal forms: pins the sampler to the data."""
    text = "\n".join(" ".join(float(a).hex() for a in args) for _, args in rows)
    return hashlib.sha256(text.encode()).hexdigest()


def reference(kernel, args):
    """The kernel's exact value at the double arguments, as an mpmath number
    at DPS digits (principal values for y < 0 in RC and p < 0 in RJ)."""
    import mpmath
    with mpmath.workdps(DPS):
        a = [mpmath.mpf(v) for v in args]
        if kernel == "elliprj" and a[3] < 0:
            return _rj_principal_value(*a)
        return getattr(mpmath, kernel)(*a)


def _rj_principal_value(x, y, z, p):
    # Carlson 1995, eq. 2.22: with u <= v <= h the sorted x, y, z and
    # q = (h (u + v - p) - u v) / (h - p) > 0,
    # (h - p) RJ(x, y, z, p) = (q - h) RJ(u, v, h, q) - 3 RF(u, v, h)
    #                          + 3 sqrt(u v h / (u v - p q)) RC(u v - p q, -p q).
    import mpmath
    u, v, h = sorted((x, y, z))
    q = (h * (u + v - p) - u * v) / (h - p)
    return ((q - h) * mpmath.elliprj(u, v, h, q) - 3 * mpmath.elliprf(u, v, h)
            + 3 * mpmath.sqrt(u * v * h / (u * v - p * q)) * mpmath.elliprc(u * v - p * q, -p * q)) / (h - p)


def condition(kernel, args):
    """The condition number of the specified evaluation where it ends in a
    difference of terms: (sum of |terms|) / |sum of terms|, from exact terms
    at DPS digits; 1 where no such difference is formed.  The accuracy tests
    allow an error proportional to it: the specified arithmetic fixes these
    formulas, cancellation included."""
    import mpmath
    with mpmath.workdps(DPS):
        terms = _cancelling_terms(kernel, *[mpmath.mpf(v) for v in args])
        if not terms:
            return 1.0
        return float(sum(abs(t) for t in terms) / abs(sum(terms)))


def _cancelling_terms(kernel, *a):
    import mpmath
    if kernel == "elliprd":
        x, y, z = a
        if x == z:
            x, y = y, x
        if x == 0 and y != z:
            # 3 (pi / (2 M)) (T1 - T2), M = AGM(sqrt y, sqrt z)
            t1 = (mpmath.sqrt(y) + 3 * mpmath.sqrt(z)) / (4 * z * (mpmath.sqrt(y) + mpmath.sqrt(z)))
            difference = mpmath.elliprd(0, y, z) * 2 * mpmath.agm(mpmath.sqrt(y), mpmath.sqrt(z)) / (3 * mpmath.pi)
            return [t1, difference - t1]
    if kernel == "elliprj":
        x, y, z, p = a
        if x == y == z:
            return [mpmath.elliprc(x, p), -1 / mpmath.sqrt(x)] if p != x else None
        if x == y:
            x, z = z, x
        if y == z and y != p and max(float(y), float(p)) / min(float(y), float(p)) > 1.2:
            return [mpmath.elliprc(x, y), -mpmath.elliprc(x, p)]
        if z != p and p < 0:
            u, v, h = sorted((x, y, z))
            q = (h * (u + v - p) - u * v) / (h - p)
            return [(q - h) * mpmath.elliprj(u, v, h, q), -3 * mpmath.elliprf(u, v, h),
                    3 * mpmath.sqrt(u * v * h / (u * v - p * q)) * mpmath.elliprc(u * v - p * q, -p * q)]
    if kernel == "ellippi":
        n, m = a
        if n < 0 and m != n:
            # (K m - (1 - m) n Pi(N, m) / (1 - n)) / (m - n), N = (m - n)/(1 - n)
            big_n = (m - n) / (1 - n)
            return [mpmath.ellipk(m) * m, -(1 - m) * n * mpmath.ellippi(big_n, m) / (1 - n)]
    return None


def formatted(value):
    import mpmath
    return mpmath.nstr(value, DIGITS, min_fixed=1, max_fixed=0)


def generate():
    import mpmath
    # The real transformation of the principal value against mpmath's own
    # (complex) RJ, at a few points of the sample.
    with mpmath.workdps(DPS):
        for _, args in [row for row in samples("elliprj") if row[0] == "principal value"][:6]:
            exact = mpmath.elliprj(*[mpmath.mpf(v) for v in args]).real
            assert abs(reference("elliprj", args) / exact - 1) < mpmath.mpf(10) ** -40, args
    data = {"dps": DPS, "kernels": {}}
    for kernel in REGIMES:
        rows = samples(kernel)
        data["kernels"][kernel] = {
            "digest": digest(rows),
            "expected": [formatted(reference(kernel, args)) for _, args in rows],
            "condition": [float(f"{condition(kernel, args):.3g}") for _, args in rows],
        }
    DATA.parent.mkdir(exist_ok=True)
    DATA.write_text(json.dumps(data, indent=0) + "\n")


def load():
    return json.loads(DATA.read_text())


if __name__ == "__main__":
    generate()
