#!/usr/bin/env python3
"""Generate the Gauss-Jacobi rules of the nested disks outside the source.

    python3 tools/generate_gauss_jacobi.py            # rewrites src/quadrature/gauss_jacobi_rules.hpp
    python3 tools/generate_gauss_jacobi.py --stdout   # prints the header instead

For the weights t (1 - t)^beta on [0, 1], beta = -3/4, -1/2, -1/4 and 0, the
n-point Gauss rules, n = 1 to 12: with the disk radius x = sqrt(t), the
magnified flux of the profile mu^p (mu = sqrt(1 - x^2)) is
(p / 2) \\int_0^1 t (1 - t)^(p/2 - 1) A_D(u, rho sqrt(t)) dt, so the profiles
sqrt(mu), mu, mu^(3/2) and mu^2 take these four weights.  The rules come from
the Golub-Welsch eigenproblem of the Jacobi polynomials P^(beta, 1) on [-1, 1]
(their monic three-term recurrence, Abramowitz & Stegun 22.7), mapped to
t = (1 + y) / 2, and are checked against the weight's moments
\\int_0^1 t^(m + 1) (1 - t)^beta dt = B(m + 2, beta + 1), m < 2n.  Each node is
stored as its radius x = sqrt(t); nodes and weights are evaluated with mpmath
at 60 significant digits and rounded once, to the nearest double.

Likewise the rules for the weight t (1 - t)^(-1/2) (-log(1 - t)), which with
the mu profile's rule sums mu log mu: its -db/dt is
(1/4) (1 - t)^(-1/2) (log(1 - t) + 2), which changes sign, so its flux is
(1/2) J - (1/4) L with J the mu profile's integral and L this weight's.  No
closed recurrence is known for it: the recurrence comes from its moments
\\int_0^1 t^(m + 1) (1 - t)^beta (-log(1 - t)) dt
= B(m + 2, beta + 1) (psi(m + beta + 3) - psi(beta + 1)), beta = -1/2 (the
slope in beta of B(m + 2, beta + 1)), by Chebyshev's algorithm (Gautschi,
Orthogonal Polynomials: Computation and Approximation, 2004, algorithm 2.1).
The map from the monomials' moments to the rule is ill-conditioned: at
n = 12 it loses 17 digits (against a run at 100 more), so it is carried at
DIGITS + LOG_GUARD digits, and each rule is checked against the moments at
DIGITS digits before rounding (a check that the ill-conditioning makes
weaker for the nodes than for the moments, hence the guard).
Needs only mpmath.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generated_file  # noqa: E402  (beside this script)
from generated_file import nearest_double  # noqa: E402

import mpmath

DIGITS = 60
MAX_POINTS = 12
# (beta as a fraction, the profile it belongs to)
WEIGHTS = ((-3, 4, "sqrt(mu)"), (-1, 2, "mu"), (-1, 4, "mu^(3/2)"), (0, 1, "mu^2"))
# The log weight's beta, and the digits carried beyond DIGITS for the
# moments' ill-conditioning (17 lost at n = 12, measured), with room.
LOG_BETA = (-1, 2)
LOG_GUARD = 60
OUTPUT = Path(__file__).resolve().parent.parent / "src" / "quadrature" / "gauss_jacobi_rules.hpp"


def gauss(diagonal, off, total) -> list:
    """The Golub-Welsch nodes and weights, increasing, of the Jacobi matrix
    with `diagonal` and `off` for a weight whose integral is `total`."""
    n = len(diagonal)
    matrix = mpmath.matrix(n, n)
    for k in range(n):
        matrix[k, k] = diagonal[k]
        if k + 1 < n:
            matrix[k, k + 1] = matrix[k + 1, k] = off[k]
    values, vectors = mpmath.eigsy(matrix)
    return sorted((values[j], total * vectors[0, j] ** 2) for j in range(n))


def rounded(pairs) -> tuple:
    """The radii sqrt(t_j) and weights as the nearest doubles."""
    return ([nearest_double(mpmath.sqrt(t)) for t, _ in pairs],
            [nearest_double(w) for _, w in pairs])


def check_moments(pairs, moment, label) -> None:
    """The rule is exact for t^m, m < 2n, to DIGITS digits."""
    for m in range(2 * len(pairs)):
        exact = moment(m)
        got = mpmath.fsum(w * t ** m for t, w in pairs)
        assert abs(got / exact - 1) < mpmath.mpf(10) ** (-DIGITS), (label, len(pairs), m)


def rule(n: int, beta) -> tuple:
    """The radii sqrt(t_j), increasing, and weights of the n-point rule."""
    with mpmath.workdps(DIGITS + 20):
        a, b = mpmath.mpf(beta), mpmath.mpf(1)
        s = a + b
        diagonal = [(b * b - a * a) / ((2 * k + s) * (2 * k + s + 2)) for k in range(n)]
        off = [mpmath.sqrt(4 * k * (k + a) * (k + b) * (k + s)
                           / ((2 * k + s) ** 2 * (2 * k + s + 1) * (2 * k + s - 1)))
               for k in range(1, n)]
        # The weight's integral on [-1, 1], then the map to [0, 1].
        total = 2 ** (s + 1) * mpmath.gamma(a + 1) * mpmath.gamma(b + 1) / mpmath.gamma(s + 2)
        pairs = [((1 + y) / 2, w / 2 ** (s + 1)) for y, w in gauss(diagonal, off, total)]
        check_moments(pairs, lambda m: mpmath.beta(m + 2, a + 1), beta)
        return rounded(pairs)


def log_moment(m: int, beta):
    """\\int_0^1 t^m t (1 - t)^beta (-log(1 - t)) dt."""
    return mpmath.beta(m + 2, beta + 1) * (mpmath.digamma(m + beta + 3)
                                            - mpmath.digamma(beta + 1))


def log_rule(n: int) -> tuple:
    """The radii and weights of the n-point rule for t (1 - t)^beta
    (-log(1 - t)), beta = LOG_BETA, from its moments by Chebyshev's
    algorithm: sigma[k][l] = \\int pi_k t^l w dt for the monic orthogonal
    pi_k gives alpha_k and beta_k of their recurrence."""
    with mpmath.workdps(DIGITS + LOG_GUARD):
        beta = mpmath.mpf(LOG_BETA[0]) / LOG_BETA[1]
        moments = [log_moment(m, beta) for m in range(2 * n)]
        alpha = [moments[1] / moments[0]]
        recurrence = [moments[0]]
        before, sigma = [mpmath.mpf(0)] * (2 * n), list(moments)
        for k in range(1, n):
            now = [mpmath.mpf(0)] * (2 * n)
            for l in range(k, 2 * n - k):
                now[l] = (sigma[l + 1] - alpha[k - 1] * sigma[l]
                          - recurrence[k - 1] * before[l])
            alpha.append(now[k + 1] / now[k] - sigma[k] / sigma[k - 1])
            recurrence.append(now[k] / sigma[k - 1])
            before, sigma = sigma, now
        off = [mpmath.sqrt(v) for v in recurrence[1:]]
        pairs = gauss(alpha, off, recurrence[0])
        check_moments(pairs, lambda m: log_moment(m, beta), "log")
        return rounded(pairs)


def render_rule(out: list, x: list, w: list, indent: str) -> None:
    pad = [0.0] * (MAX_POINTS - len(x))
    out.append(f"{indent}{{{{{', '.join(repr(v) for v in x + pad)}}},")
    out.append(f"{indent} {{{', '.join(repr(v) for v in w + pad)}}}}},")


def render() -> str:
    out = [
        "// Generated by tools/generate_gauss_jacobi.py; do not edit, rerun the generator.",
        "//",
        "// The n-point Gauss rules (n = 1 to 12) on [0, 1] for the weights",
        "// t (1 - t)^beta, beta = -3/4, -1/2, -1/4 and 0: the radii x_j = sqrt(t_j),",
        "// increasing, and the weights w_j, so that",
        "//   \\int_0^1 t (1 - t)^beta f(t) dt ~ sum_j w_j f(x_j^2),",
        "// exact for polynomials f of degree 2n - 1; likewise for the weight",
        "// t (1 - t)^(-1/2) (-log(1 - t)) (log_rules).  Each the double nearest to",
        f"// its exact value (mpmath, {DIGITS} digits); unused entries 0.",
        "#pragma once",
        "",
        "#include <array>",
        "#include <cstddef>",
        "",
        "namespace tavlomer::quadrature::gauss_jacobi {",
        "",
        f"inline constexpr std::size_t max_points = {MAX_POINTS};",
        "",
        "struct Rule {",
        "    std::array<double, max_points> x;",
        "    std::array<double, max_points> w;",
        "};",
        "",
        "// rules[i][n - 1]: the n-point rule of the i-th weight.",
        f"inline constexpr std::array<std::array<Rule, max_points>, {len(WEIGHTS)}> rules = {{{{",
    ]
    for numerator, denominator, profile in WEIGHTS:
        out.append(f"    // beta = {numerator}/{denominator} ({profile})")
        out.append("    {{")
        for n in range(1, MAX_POINTS + 1):
            render_rule(out, *rule(n, mpmath.mpf(numerator) / denominator), " " * 8)
        out.append("    }},")
    out.append("}};")
    out.append("")
    out.append("// log_rules[n - 1]: the n-point rule of t (1 - t)^(-1/2) (-log(1 - t)).")
    out.append("inline constexpr std::array<Rule, max_points> log_rules = {{")
    for n in range(1, MAX_POINTS + 1):
        render_rule(out, *log_rule(n), " " * 4)
    out.append("}};")
    out.append("")
    out.append("}  // namespace tavlomer::quadrature::gauss_jacobi")
    out.append("")
    return "\n".join(out)


if __name__ == "__main__":
    sys.exit(generated_file.main(sys.argv, render, OUTPUT, __doc__))
