// Complete elliptic integrals K(m), E(m) and Pi(n, m) (see legendre.hpp).
//
// K and E: the minimax approximations of the Cephes library (S. L. Moshier,
// ellpk.c and ellpe.c), polynomials P and Q in the complementary parameter
// x = 1 - m with K = P(x) - log(x) Q(x) and E = P(x) - log(x) x Q(x), which
// carry the logarithmic singularity at m = 1 exactly.
// Pi: Pi(n, m) = RF(0, 1 - m, 1) + (n/3) RJ(0, 1 - m, 1, 1 - n) (DLMF 19.25.2),
// with negative n first mapped to the positive characteristic
// N = (m - n)/(1 - n) (DLMF 19.7.5).
#include "ellip/legendre.hpp"

#include <cmath>
#include <limits>

#include "common/constants.hpp"
#include "ellip/carlson.hpp"
#include "ellip/detail/legendre_shared.hpp"

namespace tavlomer::ellip::legendre {

namespace {

using carlson::elliprf;
using carlson::elliprj;

using detail::e_p;
using detail::e_q;
using detail::eps;
using detail::half_pi;
using detail::horner;
using detail::k_p;
using detail::k_q;
using detail::log4;

constexpr NumericError k_domain{"ellipk: m must be less than 1."};
constexpr NumericError e_domain{"ellipe: m must be less than 1."};
constexpr NumericError pi_m_domain{"ellippi: m must be less than 1."};
constexpr NumericError pi_n_domain{"ellippi: n must be less than 1."};

// K as a function of the complementary parameter x = 1 - m, 0 < x <= 1
// (x < 1 only through the reduction of negative m below).
[[nodiscard]] inline double ellipk_complementary(double x) noexcept {
    // Below eps only the leading terms of the expansion at m = 1 survive:
    // K = log(4) - log(x)/2 + O(x log x).
    if (x < eps) return log4 + std::log(x) * -0.5;
    return horner(k_p, x) - std::log(x) * horner(k_q, x);
}

// E as a function of the complementary parameter x = 1 - m, 0 < x <= 1.
[[nodiscard]] inline double ellipe_complementary(double x) noexcept {
    return horner(e_p, x) - std::log(x) * (x * horner(e_q, x));
}

}  // namespace

// K(m) = \int_0^{pi/2} (1 - m sin^2 t)^{-1/2} dt, m <= 1 (K(1) = +inf).
Result<double> ellipk(double m) noexcept {
    if (m > 1) return std::unexpected(k_domain);
    if (m == 1) return std::numeric_limits<double>::infinity();
    if (m == 0) return half_pi;
    if (m < 0) {
        // The polynomials approximate K only for 0 < x <= 1; for m < 0 use the
        // imaginary-modulus transformation K(m) = K(m/(m - 1)) / sqrt(1 - m)
        // (DLMF 19.7.5).  Its complementary parameter 1 - m/(m - 1) is
        // 1/(1 - m), taken directly: forming m/(m - 1) first would round it to
        // 1 for m below -2^53 and lose the whole of x.
        const double one_minus_m = 1 - m;
        // K(-inf) = 0; the formula would give inf/inf.
        if (one_minus_m == std::numeric_limits<double>::infinity()) return 0.0;
        return ellipk_complementary(1 / one_minus_m) / std::sqrt(one_minus_m);
    }
    return ellipk_complementary(1 - m);
}

// E(m) = \int_0^{pi/2} (1 - m sin^2 t)^{1/2} dt, m <= 1.
Result<double> ellipe(double m) noexcept {
    if (m > 1) return std::unexpected(e_domain);
    if (m == 1) return 1.0;
    if (m == 0) return half_pi;
    if (m < 0) {
        // Imaginary-modulus transformation E(m) = sqrt(1 - m) E(m/(m - 1))
        // (DLMF 19.7.5): one pass brings any finite negative m into (0, 1].
        const double g = std::sqrt(1 - m);
        m = m / (m - 1);
        // Below m = -2^53 the new m rounds to 1 (and m = -inf gives NaN),
        // where the formula would yield log(0) * 0 = NaN: E(1) = 1 is the
        // limit it stands for, so E(m) = sqrt(1 - m) to double precision.
        if (!(m < 1)) return g;
        return g * ellipe_complementary(1 - m);
    }
    // For m >= 0 the factor is 1, and multiplying by it changes no bit.
    return ellipe_complementary(1 - m);
}

// Pi(n, m) = \int_0^{pi/2} (1 - n sin^2 t)^{-1} (1 - m sin^2 t)^{-1/2} dt,
// m < 1, n < 1.
Result<double> ellippi(double n, double m) noexcept {
    if (m >= 1) return std::unexpected(pi_m_domain);
    if (n >= 1) return std::unexpected(pi_n_domain);
    if (n == 0) {
        if (m == 0) return half_pi;
        return ellipk(m);
    }
    const double one_minus_m = 1 - m;
    if (n < 0) {
        // At n = m the transformation below divides by m - n = 0; there
        // Pi(m, m) = E(m) / (1 - m) (DLMF 19.6.1).
        if (m == n) {
            const Result<double> e = ellipe(m);
            if (!e) return e;
            return *e / one_minus_m;
        }
        // Pi(n, m) from Pi(N, m) with N = (m - n)/(1 - n) in (m, 1)
        // (DLMF 19.7.5); N RJ(0, 1 - m, 1, 1 - N) / 3 + RF(0, 1 - m, 1) is
        // Pi(N, m), and 1 - N = (1 - m)/(1 - n).
        const double one_minus_n = 1 - n;
        const Result<double> F = elliprf(0, one_minus_m, 1);
        if (!F) return F;
        const Result<double> J = elliprj(0, one_minus_m, 1, one_minus_m / one_minus_n);
        if (!J) return J;
        const Result<double> K = ellipk(m);
        if (!K) return K;
        const double N = (m - n) / one_minus_n;
        double t = N * *J / 3 + *F;
        t = one_minus_m * (t * n / one_minus_n);
        return *K * m / (m - n) - t / (m - n);
    }
    const Result<double> F = elliprf(0, one_minus_m, 1);
    if (!F) return F;
    const Result<double> J = elliprj(0, one_minus_m, 1, 1 - n);
    if (!J) return J;
    return *F + *J * n / 3;
}

}  // namespace tavlomer::ellip::legendre
