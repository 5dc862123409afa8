// The uniform disk in two forms, each used where it is accurate:
//
// - near the lens (u < 3 rho), the closed form of Witt & Mao (1994, ApJ 430,
//   505, eq. 9) in complete elliptic integrals, with the parameters entering
//   as their exact complements 1 - n = (delta / s)^2 and
//   1 - m = (delta / s)^2 (s^2 + 4) / (delta^2 + 4), delta = u - rho,
//   s = u + rho.  Formed this way nothing cancels as the lens approaches the
//   limb (delta -> 0), where K and Pi diverge while their coefficients vanish;
//   at delta = 0 itself the limit is used.
// - far out (u >= 3 rho), where the closed form's terms grow like (u/rho)^2
//   and cancel to A ~ 1, the disk integral in polar coordinates about the
//   lens, which stays positive term by term (below).
#include "physics/disk.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "common/constants.hpp"

namespace tavlomer::physics::detail {

namespace {

using constants::half_pi;
using constants::pi;

// cel's arithmetic-geometric mean stops once its two means agree to this
// relative distance; the error left is of the order of its square.
constexpr double cel_agreement = 1e-9;
// The mean converges quadratically: a handful of steps for any kc a double
// holds.  The bound only stops a NaN argument from iterating forever.
constexpr int cel_step_limit = 64;

// Below this |delta / s| the separation is on the limb as far as a double can
// tell (the difference is of order |delta / s| log |delta / s| relative), and
// (delta / s)^2 would underflow.
constexpr double on_limb = 1e-140;

// Beyond this separation (and u >= 3 rho) A - 1 < 2 / (u - rho)^4 underflows;
// a disk of this radius is unmagnified wherever it is.
constexpr double unmagnified = 1e100;

// The far form: the disk integral over the source in polar coordinates about
// the lens.  With G(r) = r sqrt(r^2 + 4) / 2 the antiderivative of r A(r),
//
//   A = 1/(pi rho^2) \int [G(r2) - G(r1)] dphi
//
// over the angles phi that cross the disk, between the radii
// r1,2 = u cos phi -+ sqrt(rho^2 - u^2 sin^2 phi).  Substituting
// sin phi = (rho / u) sin theta and writing G(r2) - G(r1) without cancellation
// through r2^2 - r1^2 = 4 u rho cos phi cos theta,
//
//   A = (2/pi) \int_{-pi/2}^{pi/2} cos^2 theta (r1^2 + r2^2 + 4)
//                                  / (r1 sqrt(r1^2 + 4) + r2 sqrt(r2^2 + 4)) dtheta
//
// with r2 = sqrt(u^2 - rho^2 sin^2 theta) + rho cos theta and
// r1 = (u^2 - rho^2) / r2.  The integrand is smooth and pi-periodic, so the
// midpoint rule converges geometrically, as exp(-2 N acosh(u/rho)) with N
// nodes; the node counts below reach a few 1e-16 (measured against a 30-digit
// quadrature of the same integral for rho from 1e-4 to 100).
struct FarRule {
    double from;                    // least u / rho the rule is used for
    std::size_t half;               // nodes in (0, pi/2); the rule mirrors them
    std::array<double, 6> cos_th;   // cos theta_j
    std::array<double, 6> sin2_th;  // sin^2 theta_j
};

FarRule far_rule(double from, std::size_t nodes) {
    FarRule rule{from, nodes / 2, {}, {}};
    for (std::size_t j = 0; j < rule.half; ++j) {
        const double theta = (static_cast<double>(j) + 0.5) * pi / static_cast<double>(nodes);
        rule.cos_th[j] = std::cos(theta);
        rule.sin2_th[j] = std::sin(theta) * std::sin(theta);
    }
    return rule;
}

const std::array<FarRule, 4> far_rules = {far_rule(100.0, 4), far_rule(10.0, 6), far_rule(5.0, 8),
                                          far_rule(3.0, 12)};

double far_disk(double u, double rho, double t) noexcept {
    const FarRule* rule = &far_rules.back();
    for (const FarRule& r : far_rules) {
        if (t >= r.from) {
            rule = &r;
            break;
        }
    }
    const double u2 = u * u;
    const double rho2 = rho * rho;
    const double gap = (u - rho) * (u + rho);  // r1 r2
    double sum = 0.0;
    for (std::size_t j = 0; j < rule->half; ++j) {
        const double c = rule->cos_th[j];
        const double r2 = std::sqrt(u2 - rho2 * rule->sin2_th[j]) + rho * c;
        const double r1 = gap / r2;
        const double a1 = r1 * r1;
        const double a2 = r2 * r2;
        sum += c * c * (a1 + a2 + 4.0) / (r1 * std::sqrt(a1 + 4.0) + r2 * std::sqrt(a2 + 4.0));
    }
    return sum * 4.0 / static_cast<double>(2 * rule->half);
}

// The disk with the lens on its limb: the limit of the closed form as
// delta -> 0, (2/rho + 2 (1 + rho^2) atan(rho) / rho^2) / pi.  (Written with
// atan: the equivalent asin((rho^2 - 1)/(rho^2 + 1)) + pi/2 cancels for a
// small rho.)
double limb_disk(double rho) noexcept {
    return (2.0 / rho + 2.0 * (1.0 + rho * rho) * (std::atan(rho) / rho) / rho) / pi;
}

// Sources and separations this small (in Einstein radii) see the lens's
// magnification 1/u alone: the corrections are of order (u + rho)^2, while
// the general forms would underflow.
constexpr double small_scale = 1e-100;

}  // namespace

// The algorithm of Bulirsch (1969) for p > 0 (Press et al., Numerical
// Recipes, 2nd ed., sec. 6.11, routine cel, with the tolerance set for double),
// for two integrals of one kc at once: the mean iteration (qc, e, em) and its
// end depend on kc alone, so both share it and each gives exactly what a
// call of its own would.
std::array<double, 2> cel_pair(double kc, std::array<Cel, 2> args) noexcept {
    double qc = std::fabs(kc);
    double e = qc;
    double em = 1.0;
    for (Cel& c : args) {
        c.p = std::sqrt(c.p);
        c.b /= c.p;
    }
    for (int step = 0; step < cel_step_limit; ++step) {
        for (Cel& c : args) {
            const double f = c.a;
            c.a += c.b / c.p;
            const double g = e / c.p;
            c.b += f * g;
            c.b += c.b;
            c.p += g;
        }
        const double g = em;
        em += qc;
        if (std::fabs(g - qc) <= g * cel_agreement) break;
        qc = 2.0 * std::sqrt(e);
        e = qc * em;
    }
    std::array<double, 2> out;
    for (std::size_t i = 0; i < 2; ++i) {
        out[i] = half_pi * (args[i].b + args[i].a * em) / (em * (em + args[i].p));
    }
    return out;
}

double cel(double kc, double p, double a, double b) noexcept {
    return cel_pair(kc, {Cel{p, a, b}, Cel{p, a, b}})[0];
}

namespace {

// The mean of 1/|r - c| over a disk of radius rho at distance u = t rho:
// 4 E(t) / (pi rho) for t <= 1 and 4 t (E(1/t) - (1 - 1/t^2) K(1/t)) / (pi rho)
// beyond (moduli k, not parameters; checked against a 20-digit quadrature).
double small_disk(double u, double rho) noexcept {
    const double t = u / rho;
    if (t == 1.0) return 4.0 / (pi * rho);
    const double k = t < 1.0 ? t : 1.0 / t;
    const double kc = std::sqrt((1.0 - k) * (1.0 + k));
    // E = cel(kc, 1, 1, kc^2); E - kc^2 K = cel(kc, 1, k^2, 0).
    const double mean = t < 1.0 ? cel(kc, 1.0, 1.0, kc * kc) : t * cel(kc, 1.0, k * k, 0.0);
    return 4.0 * mean / (pi * rho);
}

}  // namespace

double disk(double u, double rho) noexcept {
    if (u + rho < small_scale) return small_disk(u, rho);
    const double t = u / rho;
    if (!(t < 3.0)) {
        if (std::isnan(t)) return std::numeric_limits<double>::quiet_NaN();
        if (u >= unmagnified) return 1.0;
        return far_disk(u, rho, t);
    }
    // A disk this large is magnified by less than 2 / rho^2 everywhere
    // within 3 rho of the lens (A = sqrt(rho^2 + 4) / rho at its centre).
    if (rho >= unmagnified) return 1.0;
    const double delta = u - rho;
    const double s = u + rho;
    const double r = delta / s;
    if (std::fabs(r) < on_limb) return limb_disk(rho);
    const double q = std::sqrt(delta * delta + 4.0);
    const double kc = std::fabs(r) * std::sqrt(s * s + 4.0) / q;
    // pi rho^2 A = c_e E(m) - c_k K(m) + c_pi Pi(n, m); the first two share
    // one cel: alpha K + beta E = cel(kc, 1, alpha + beta, alpha + beta kc^2).
    const double c_e = 0.5 * s * q;
    const double c_k = delta * (4.0 + 0.5 * delta * s) / q;
    const double c_pi = 2.0 * (1.0 + rho * rho) * delta * delta / (s * q);
    const auto [e_k, pi_n] =
        cel_pair(kc, {Cel{1.0, c_e - c_k, c_e * (kc * kc) - c_k}, Cel{r * r, 1.0, 1.0}});
    return ((e_k + c_pi * pi_n) / rho) / (pi * rho);
}

}  // namespace tavlomer::physics::detail
