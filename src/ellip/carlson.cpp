// Carlson's symmetric elliptic integrals of real arguments (see carlson.hpp).
//
// B. C. Carlson, "Numerical computation of real or complex elliptic
// integrals", Numer. Algorithms 10 (1995) 13-26: the duplication theorem
// shrinks the spread of the arguments by a factor 4 per step until a
// fifth-order Taylor series about their mean is exact to double precision.
// Closed forms for equal and zero arguments: DLMF 19.2.17-19.2.20 (RC),
// 19.20.1 (RF), 19.20.18-19.20.19 (RD), 19.20.11 and 19.20.14 (RJ).
//
// Every product and sum below is rounded on its own, in the written order:
// the results are pinned to the last bit, so no expression may be regrouped,
// and each square root is computed once and reused only where the same
// operand gives the same bits.
#include "ellip/carlson.hpp"

#include <cmath>
#include <utility>

#include "common/constants.hpp"
#include "ellip/detail/carlson_iterations.hpp"
#include "ellip/detail/carlson_shared.hpp"

namespace tavlomer::ellip::carlson {

namespace {

using detail::agm_step_limit;
using detail::agm_tolerance;
using detail::elliprd_step_limit;
using detail::elliprf_step_limit;
using detail::half_pi;
using detail::pi;
using detail::rd_margin;
using detail::rd_scale;
using detail::rf_scale;
using detail::rj_rc_difference_ratio;
using detail::rj_scale;
using detail::rj_step_limit;
using detail::three_pi;

constexpr NumericError rf_domain{
    "elliprf: x, y, and z must be non-negative, and at most one can be zero."};
constexpr NumericError rf_convergence{"elliprf: Failed to converge."};
constexpr NumericError rc_negative_x{"elliprc: x must be non-negative."};
constexpr NumericError rc_zero_y{"elliprc: y must be non-zero."};
constexpr NumericError rd_domain{
    "elliprd: x and y must be non-negative, and at most one can be zero."};
constexpr NumericError rd_nonpositive_z{"elliprd: z must be positive"};
constexpr NumericError rd_convergence{"elliprd: Failed to converge."};
constexpr NumericError rj_domain{
    "elliprj: x, y, and z must be non-negative, and at most one can be zero."};
constexpr NumericError rj_zero_p{"elliprj: p must be non-zero"};
constexpr NumericError rj_convergence{"elliprj: Fail to converge"};

[[nodiscard]] std::unexpected<NumericError> fail(NumericError error) noexcept {
    return std::unexpected(error);
}

// One duplication step's square roots of the current x, y, z and its
// lambda = sqrt(x)sqrt(z) + sqrt(x)sqrt(y) + sqrt(y)sqrt(z), summed in this
// order by RF, RD and RJ alike (RD writes its products the other way round,
// which multiplication does not notice).
struct DuplicationRoots {
    double x, y, z;
    DuplicationRoots(double x_, double y_, double z_) noexcept
        : x(std::sqrt(x_)), y(std::sqrt(y_)), z(std::sqrt(z_)) {}
    [[nodiscard]] double lambda() const noexcept { return x * z + x * y + y * z; }
};

// The duplication theorem's new arguments: each one (a + lambda) / 4.
inline void duplicate(double lambda, double& x, double& y, double& z) noexcept {
    x = (x + lambda) / 4;
    y = (y + lambda) / 4;
    z = (z + lambda) / 4;
}

// The arithmetic-geometric mean of RF and RD when one argument is zero
// (DLMF 19.22.1, 19.22.9): (a, b) <- ((a + b)/2, sqrt(ab)) while
// |a - b| >= 2.7 eps |a|, tested before the first step; `step` sees each new
// pair (RD accumulates a sum from it).  Returns the steps taken, or
// agm_step_limit + 1 if the bound stopped it.
//
// Why the loop ends for every double input, so that the bound never decides
// a result (tests sweep the extremes and check the step count stays far below
// it; the worst found is 50, at the smallest subnormals):
// - A NaN in a or b makes the test false at once.  An infinite a or b makes
//   both infinite after one step (inf + b, sqrt(a * inf)), and then |a - b| is
//   NaN.  (a and b start as square roots of positive arguments.)
// - Finite a, b lie in [2^-537, 2^512): no sum or product overflows.  While
//   a*b is a normal number every operation has relative error <= eps/2; the
//   ratio a/b goes to about sqrt(a/b)/2 per step, so from at most 2^1049
//   it falls below 2 within 11 steps, after which the relative gap r goes to
//   at most r^2/8 + 2.5 ulps: four more steps bring |a - b| below 2.7 eps |a|
//   (random sampling of all double pairs finds at most 13 steps).
// - The product a*b never decreases by more than a rounding (the new pair's
//   product is the old one's arithmetic times geometric mean), so it is
//   subnormal only if the arguments' product is below 2^-2044: both tiny.
//   Then the product is rounded to a multiple k of 2^-1074 and b becomes
//   s_k = sqrt(k 2^-1074) with a relative error up to 1/(4k); the same
//   quadratic contraction makes k settle once |a/s_k - 1| < 1/(2k), since
//   a * s_k then rounds back to k.  From there b stays s_k and a halves its
//   distance to b each step until they are at most one ulp apart: at most 53
//   more steps.
template <class Step>
[[nodiscard]] inline int agm(double& a, double& b, Step step) noexcept {
    int steps = 0;
    while (std::fabs(a - b) >= agm_tolerance * std::fabs(a)) {
        if (steps == agm_step_limit) return agm_step_limit + 1;
        const double mean = (a + b) / 2;
        b = std::sqrt(a * b);
        a = mean;
        ++steps;
        step(a, b);
    }
    return steps;
}

// RF(0, u, v) = pi / (2 AGM(sqrt u, sqrt v)) for distinct positive u, v.
[[nodiscard]] Result<double> elliprf_agm(double u, double v) noexcept {
    double a = std::sqrt(u);
    double b = std::sqrt(v);
    if (agm(a, b, [](double, double) {}) > agm_step_limit) return fail(rf_convergence);
    return pi / (a + b);
}

struct RfReduction {
    double A0;  // mean of the incoming arguments
    double A;   // mean after the last step
    double f;   // 4^steps
    int steps;  // elliprf_step_limit + 1 when not converged
};

// RF's duplication steps.  The scale includes |A0| itself, so at least four
// steps run (4^3 = 64 < 78.9).
[[nodiscard]] inline RfReduction elliprf_reduce(double x, double y, double z) noexcept {
    const double A0 = (x + y + z) / 3;
    double Q = rf_scale *
               std::fmax(std::fmax(std::fmax(std::fabs(A0), std::fabs(A0 - x)), std::fabs(A0 - y)),
                         std::fabs(A0 - z));
    double A = A0;
    double f = 1;
    for (int k = 1; k <= elliprf_step_limit; ++k) {
        const double lambda = DuplicationRoots(x, y, z).lambda();
        A = (A + lambda) / 4;
        Q = Q / 4;
        f = f * 4;
        if (Q < std::fabs(A)) return {A0, A, f, k};
        // A NaN mean stays NaN ((NaN + lambda) / 4), so the test above can
        // never be met: the remaining steps would end in the same failure.
        if (std::isnan(A)) break;
        duplicate(lambda, x, y, z);
    }
    return {A0, A, f, elliprf_step_limit + 1};
}

struct RdReduction {
    double A0, A, f, S;
    int steps;  // elliprd_step_limit + 1 when not converged
};

// RD's duplication steps, with S the sum of the RC(z, z) terms shed on the way
// (Carlson 1995, eq. 2.29).
[[nodiscard]] inline RdReduction elliprd_reduce(double x, double y, double z) noexcept {
    const double A0 = (x + y + 3 * z) / 5;
    // Signed differences: with weights 1, 1, 3 they sum to zero, so the
    // largest is not negative.
    double Q = rd_scale * std::fmax(std::fmax(A0 - x, A0 - y), A0 - z) * rd_margin;
    double A = A0;
    double f = 1;
    double S = 0;
    for (int k = 1; k <= elliprd_step_limit; ++k) {
        const DuplicationRoots roots(x, y, z);
        const double lambda = roots.lambda();
        S = S + f / (roots.z * (z + lambda));
        A = (A + lambda) / 4;
        Q = Q / 4;
        f = f / 4;
        duplicate(lambda, x, y, z);
        if (Q < A) return {A0, A, f, S, k};
        // As in RF: a NaN mean can never pass the test.
        if (std::isnan(A)) break;
    }
    return {A0, A, f, S, elliprd_step_limit + 1};
}

}  // namespace

// RC(x, y) = 1/2 \int_0^\infty (t + x)^{-1/2} (t + y)^{-1} dt, x >= 0, y != 0;
// the Cauchy principal value for y < 0 (DLMF 19.2.20).
Result<double> elliprc(double x, double y) noexcept {
    if (x < 0) return fail(rc_negative_x);
    if (y == 0) return fail(rc_zero_y);
    double s = 1;
    if (y < 0) {
        // RC(x, y) = sqrt(x / (x - y)) RC(x - y, -y)
        const double shifted = x - y;
        s = std::sqrt(x / shifted);
        x = shifted;
        y = -y;
    }
    if (x == 0) return s * half_pi / std::sqrt(y);
    if (x == y) return s / std::sqrt(x);
    if (y > x) {
        const double d = y - x;
        return s * std::atan(std::sqrt(d / x)) / std::sqrt(d);
    }
    const double d = x - y;
    const double sd = std::sqrt(d);
    if (y / x > 0.5) {
        // Near x = y the logarithm's argument is close to 1: the log1p pair
        // keeps the digits that log((sqrt x + sqrt(x - y)) / sqrt y) loses.
        const double t = std::sqrt(d / x);
        return s * (std::log1p(t) - std::log1p(-t)) / (sd + sd);
    }
    return s * std::log((std::sqrt(x) + sd) / std::sqrt(y)) / sd;
}

// RF(x, y, z) = 1/2 \int_0^\infty [(t+x)(t+y)(t+z)]^{-1/2} dt, x, y, z >= 0 with
// at most one of them zero.
Result<double> elliprf(double x, double y, double z) noexcept {
    // fmin ignores a NaN operand, so NaN arguments pass these checks.
    if (std::fmin(std::fmin(x, y), z) < 0) return fail(rf_domain);
    if (std::fmin(std::fmin(y + z, x + y), x + z) == 0) return fail(rf_domain);

    // RF(x, x, x) = x^{-1/2}; RF(x, y, y) = RC(x, y); RF(0, y, y) = pi / (2 sqrt y).
    if (x == y) {
        if (x == z) return 1 / std::sqrt(x);
        if (z == 0) {
            const double sx = std::sqrt(x);
            return pi / (sx + sx);
        }
        return elliprc(z, x);
    }
    if (x == z) {
        if (y == 0) {
            const double sx = std::sqrt(x);
            return pi / (sx + sx);
        }
        return elliprc(y, x);
    }
    if (y == z) {
        if (x == 0) {
            const double sy = std::sqrt(y);
            return pi / (sy + sy);
        }
        return elliprc(x, y);
    }

    if (x == 0) return elliprf_agm(z, y);
    if (y == 0) return elliprf_agm(x, z);
    if (z == 0) return elliprf_agm(x, y);

    const RfReduction r = elliprf_reduce(x, y, z);
    if (r.steps > elliprf_step_limit) return fail(rf_convergence);
    // The series is taken in the scaled deviations of the incoming x and y.
    return detail::rf_series(r.A0, x, y, r.f, r.A) / std::sqrt(r.A);
}

// RD(x, y, z) = 3/2 \int_0^\infty (t+z)^{-1} [(t+x)(t+y)(t+z)]^{-1/2} dt,
// x, y >= 0 not both zero, z > 0.
Result<double> elliprd(double x, double y, double z) noexcept {
    if (std::fmin(x, y) < 0) return fail(rd_domain);
    if (x + y == 0) return fail(rd_domain);
    if (z <= 0) return fail(rd_nonpositive_z);

    // RD is symmetric in x and y: bring an x equal to z into y.
    if (x == z) std::swap(x, y);
    if (y == z) {
        if (x == y) return 1 / (x * std::sqrt(x));
        if (x == 0) return three_pi / (4 * y * std::sqrt(y));  // RD(0, y, y) = 3 pi / (4 y^{3/2})
    }

    if (x == 0) {
        // RD(0, y, z) by the arithmetic-geometric mean with a running sum
        // (DLMF 19.22.9 with 19.22.2).
        const double sy = std::sqrt(y);
        const double sz = std::sqrt(z);
        double a = sy;
        double b = sz;
        double S = 0;
        double w = 0.25;
        const int steps = agm(a, b, [&](double a_new, double b_new) {
            w = 2 * w;
            S = S + w * (a_new - b_new) * (a_new - b_new);
        });
        if (steps > agm_step_limit) return fail(rd_convergence);
        return 3 * (pi / (a + b)) * ((sy + 3 * sz) / (4 * z * (sy + sz)) - S / ((y - z) * z));
    }

    const RdReduction r = elliprd_reduce(x, y, z);
    if (r.steps > elliprd_step_limit) return fail(rd_convergence);
    return r.f * std::pow(r.A, -1.5) * detail::rd_series(r.A0, x, y, r.f, r.A) + 3 * r.S;
}

// RJ(x, y, z, p) = 3/2 \int_0^\infty (t+p)^{-1} [(t+x)(t+y)(t+z)]^{-1/2} dt,
// x, y, z >= 0 with at most one of them zero, p != 0; the Cauchy principal
// value for p < 0.
Result<double> elliprj(double x, double y, double z, double p) noexcept {
    if (std::fmin(std::fmin(x, y), z) < 0) return fail(rj_domain);
    if (std::fmin(std::fmin(y + z, x + y), x + z) == 0) return fail(rj_domain);
    if (p == 0) return fail(rj_zero_p);

    if (x == y && x == z) {
        if (p == x) return 1 / (std::sqrt(x) * x);
        // RJ(x, x, x, p) = 3 / (x - p) (RC(x, p) - x^{-1/2})
        const Result<double> rc = elliprc(x, p);
        if (!rc) return rc;
        return 3 / (x - p) * (*rc - 1 / std::sqrt(x));
    }
    if (x == y) std::swap(x, z);
    if (y == z) {
        if (y == p) return elliprd(x, y, y);
        // RJ(x, y, y, p) = 3 / (p - y) (RC(x, y) - RC(x, p)) (DLMF 19.20.14),
        // used where y and p are far enough apart for the difference of the
        // two RC not to cancel.  For p < 0 the ratio is negative.
        if (std::fmax(y, p) / std::fmin(y, p) > rj_rc_difference_ratio) {
            const Result<double> rc_y = elliprc(x, y);
            if (!rc_y) return rc_y;
            const Result<double> rc_p = elliprc(x, p);
            if (!rc_p) return rc_p;
            return 3 / (p - y) * (*rc_y - *rc_p);
        }
    }
    if (z == p) return elliprd(x, y, z);

    if (p < 0) {
        // Principal value through a positive q (Carlson 1995, eq. 2.22), with
        // the largest of x, y, z as h and u <= v <= h.
        double u = x;
        double v = y;
        double h = z;
        if (u > v) std::swap(u, v);
        if (v > h) std::swap(v, h);
        if (u > v) std::swap(u, v);
        const double ab = u * v;
        const double q = (h * (u + v - p) - ab) / (h - p);
        const Result<double> J = elliprj(u, v, h, q);
        if (!J) return J;
        const Result<double> F = elliprf(u, v, h);
        if (!F) return F;
        // q * (-p) is -(p * q) exactly, so ab + q * (-p) is also ab - p * q.
        const double minus_pq = q * -p;
        const double ab_minus_pq = ab + minus_pq;
        const Result<double> R = elliprc(ab_minus_pq, minus_pq);
        if (!R) return R;
        return ((q - h) * *J - 3 * *F + 3 * std::sqrt(ab * h / ab_minus_pq) * *R) / (h - p);
    }

    return _elliprj(x, y, z, p);
}

// RJ's duplication for p > 0 with no special case left (Carlson 1995,
// Algorithm 3): each step sheds a term (f/d) RC(1, 1 + e), where the factor
// is written in the elementary form that is accurate for its range of e.
Result<double> _elliprj(double x, double y, double z, double p) noexcept {
    const double x0 = x;
    const double y0 = y;
    const double z0 = z;
    const double A0 = (x + y + z + 2 * p) / 5;
    double delta = (p - x) * (p - y) * (p - z);
    const double Q = rj_scale * std::fmax(std::fmax(std::fmax(std::fabs(A0 - x), std::fabs(A0 - y)),
                                                    std::fabs(A0 - z)),
                                          std::fabs(A0 - p));
    double A = A0;
    double f = 1;
    double S = 0;
    for (int k = 1;; ++k) {
        if (k > rj_step_limit) return fail(rj_convergence);
        const DuplicationRoots roots(x, y, z);
        const double sx = roots.x;
        const double sy = roots.y;
        const double sz = roots.z;
        const double sp = std::sqrt(p);
        const double d = (sp + sx) * (sp + sy) * (sp + sz);
        const double e = delta / (d * d);
        const Result<double> factor = detail::rj_shed_factor(e, sp, sx, sy, sz, p, d);
        if (!factor) return factor;
        S = S + f / d * *factor;
        const double lambda = roots.lambda();
        A = (A + lambda) / 4;
        f = f / 4;
        if (f * Q < A) break;
        // A NaN mean stays NaN, so the test above can never be met, and no
        // other failure can come: A turns NaN only through a NaN argument or
        // a NaN lambda, and either leaves x, y, z or p NaN for good (lambda
        // enters them at the duplication below), so every later d and e is
        // NaN, which no RC-calling branch of the factor accepts.  The
        // remaining steps would end in the convergence failure; report it now.
        if (std::isnan(A)) return fail(rj_convergence);
        duplicate(lambda, x, y, z);
        p = (p + lambda) / 4;
        delta = delta / 64;
    }
    return f * std::pow(A, -1.5) * detail::rj_series(A0, x0, y0, z0, f, A) + 6 * S;
}

namespace detail {

Result<double> rj_shed_factor(double e, double sp, double sx, double sy, double sz, double p,
                              double d) noexcept {
    if (-1.5 < e && e < -0.5) {
        // 1 + e cancels here; b equals it in exact arithmetic without the
        // cancellation.
        const double b = 2 * sp * (p + sx * (sy + sz) + sy * sz) / d;
        return elliprc(1, b);
    } else if (e < -1) {
        const Result<double> rc = elliprc(-e, -1 - e);
        if (!rc) return rc;
        return std::sqrt(-1 / e) * *rc;
    } else if (e == 0) {
        return 1.0;
    } else if (e > 0) {
        const double se = std::sqrt(e);
        return std::atan(se) / se;
    } else if (-0.5 < e && e < 0) {
        const double t = std::sqrt(-e);
        return (std::log1p(t) - std::log1p(-t)) / (2 * t);
    } else {
        // e == -0.5 exactly; a NaN e (from underflowed d and delta) also
        // lands here and gives a NaN factor.
        const double t = std::sqrt(-e);
        return std::log((1 + t) / std::sqrt(1 + e)) / t;
    }
}

bool rj_shed_factor_into(double& factor, double e, double sp, double sx, double sy, double sz,
                         double p, double d) noexcept {
    const Result<double> r = rj_shed_factor(e, sp, sx, sy, sz, p, d);
    if (r) factor = *r;
    return r.has_value();
}

int elliprf_duplication_steps(double x, double y, double z) noexcept {
    return elliprf_reduce(x, y, z).steps;
}

int elliprd_duplication_steps(double x, double y, double z) noexcept {
    return elliprd_reduce(x, y, z).steps;
}

int agm_steps(double y, double z) noexcept {
    double a = std::sqrt(y);
    double b = std::sqrt(z);
    return agm(a, b, [](double, double) {});
}

}  // namespace detail

}  // namespace tavlomer::ellip::carlson
