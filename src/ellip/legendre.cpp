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

#include <array>
#include <cmath>
#include <limits>

#include "common/constants.hpp"
#include "ellip/carlson.hpp"

namespace tavlomer::ellip::legendre {

namespace {

using carlson::elliprf;
using carlson::elliprj;

using constants::half_pi;
constexpr double log4 = 1.3862943611198906;  // log(4)
constexpr double eps = constants::epsilon;   // 2^-52

// Coefficients from the highest degree down to the constant term.
// Cephes ellpk.c, P and Q (degree 10 each).
constexpr std::array<double, 11> k_p = {
    0.00013798286460627325, 0.002280257240058756, 0.007974040132204152,
    0.00985821379021226,    0.006874896874499499, 0.006189010336376876,
    0.008790782739527438,   0.014938044891680526, 0.0308851465246712,
    0.09657359028116902,    1.3862943611198906,  // log(4)
};
constexpr std::array<double, 11> k_q = {
    2.940789550485985e-05, 0.0009141847238659173, 0.005940583037531678,
    0.01548505166497624,   0.023908960271592488,  0.030120471522760404,
    0.037377431417382326,  0.04882803475709983,   0.07031249969639575,
    0.12499999999987083,   0.5,
};
// Cephes ellpe.c, P (degree 10) and Q (degree 9).
constexpr std::array<double, 11> e_p = {
    0.0001535525773010133, 0.0025088849216360204, 0.008687868165658896,
    0.010735094905607619,  0.007773954925167871,  0.007583952894135147,
    0.011568843681057412,  0.021831799601555724,  0.05680519456178606,
    0.44314718056099084,   1.0,
};
constexpr std::array<double, 10> e_q = {
    3.2795489857648585e-05, 0.0010096279267935672, 0.006506094899769275,
    0.016886216399331133,   0.026176974245449364,  0.03348339048882249,
    0.04271809265189315,    0.0585936634471101,    0.09374999971976443,
    0.2499999999998883,
};

constexpr NumericError k_domain{"ellipk: m must be less than 1."};
constexpr NumericError e_domain{"ellipe: m must be less than 1."};
constexpr NumericError pi_m_domain{"ellippi: m must be less than 1."};
constexpr NumericError pi_n_domain{"ellippi: n must be less than 1."};

// Horner's scheme, each product and sum rounded on its own.
template <std::size_t N>
[[nodiscard]] inline double horner(const std::array<double, N>& c, double x) noexcept {
    double acc = c[0];
    for (std::size_t i = 1; i < N; ++i) acc = acc * x + c[i];
    return acc;
}

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
