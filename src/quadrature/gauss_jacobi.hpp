// Gauss rules on [0, 1] for the weights t (1 - t)^beta, beta > -1: the
// generated ones for four fixed beta (gauss_jacobi_rules.hpp), and any other
// beta computed here (Golub & Welsch 1969): the nodes are the eigenvalues of
// the Jacobi matrix of the polynomials orthogonal under the weight, the
// weights the squares of their eigenvectors' first components times the
// weight's integral.  The matrix is that of the Jacobi polynomials
// P^(beta, 1) on [-1, 1] (their three-term recurrence, Abramowitz & Stegun
// 22.7), mapped to t = (1 + y) / 2; its eigenvalues come from the implicit QL
// iteration with Wilkinson's shift, which carries only the first components
// of the eigenvectors along.  Plain C++: no allocation, no exceptions.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "quadrature/gauss_jacobi_rules.hpp"

namespace tavlomer::quadrature::gauss_jacobi {

// The n-point rule (1 <= n <= max_points) for t (1 - t)^beta, radii sqrt(t)
// and weights as in `rules`; none where the iteration did not converge or
// beta is not above -1.
[[nodiscard]] inline std::optional<Rule> compute(std::size_t n, double beta) noexcept {
    if (n < 1 || n > max_points || !(beta > -1.0) || !std::isfinite(beta)) return std::nullopt;
    // The recurrence of P^(a, b), a = beta, b = 1: diagonal and off-diagonal.
    const double a = beta;
    const double b = 1.0;
    const double s = a + b;
    std::array<double, max_points> d{}, e{}, z{};
    for (std::size_t k = 0; k < n; ++k) {
        const double m = 2.0 * static_cast<double>(k) + s;
        d[k] = (b - a) * (b + a) / (m * (m + 2.0));
        if (k + 1 < n) {
            const double j = static_cast<double>(k + 1);
            const double q = 2.0 * j + s;
            e[k] =
                std::sqrt(4.0 * j * (j + a) * (j + b) * (j + s) / (q * q * (q + 1.0) * (q - 1.0)));
        }
    }
    z[0] = 1.0;
    // Implicit QL: e[i] couples rows i and i + 1.
    constexpr double eps = std::numeric_limits<double>::epsilon();
    for (std::size_t l = 0; l < n; ++l) {
        for (int iteration = 0;; ++iteration) {
            std::size_t m = l;
            for (; m + 1 < n; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) <= eps * dd) break;
            }
            if (m == l) break;
            if (iteration == 60) return std::nullopt;
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = std::hypot(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + std::copysign(r, g));
            double sine = 1.0;
            double cosine = 1.0;
            double p = 0.0;
            bool underflow = false;
            for (std::size_t i = m; i-- > l;) {
                const double f = sine * e[i];
                const double c = cosine * e[i];
                r = std::hypot(f, g);
                e[i + 1] = r;
                if (r == 0.0) {
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    underflow = true;
                    break;
                }
                sine = f / r;
                cosine = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * sine + 2.0 * cosine * c;
                p = sine * r;
                d[i + 1] = g + p;
                g = cosine * r - c;
                const double zf = z[i + 1];
                z[i + 1] = sine * z[i] + cosine * zf;
                z[i] = cosine * z[i] - sine * zf;
            }
            if (underflow) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        }
    }
    // The weight's integral on [0, 1]: B(2, beta + 1) = 1 / ((beta + 1)(beta + 2)).
    const double total = 1.0 / ((a + 1.0) * (a + 2.0));
    std::array<std::size_t, max_points> order{};
    for (std::size_t k = 0; k < n; ++k) order[k] = k;
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n),
              [&](std::size_t i, std::size_t j) { return d[i] < d[j]; });
    Rule rule{};
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = order[k];
        const double t = 0.5 * (1.0 + d[i]);
        if (!(t > 0.0 && t < 1.0)) return std::nullopt;
        rule.x[k] = std::sqrt(t);
        rule.w[k] = total * z[i] * z[i];
    }
    return rule;
}

}  // namespace tavlomer::quadrature::gauss_jacobi
