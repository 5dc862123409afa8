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
#include <type_traits>

#include "common/constants.hpp"
#include "physics/dual.hpp"

namespace tavlomer::physics::detail {

namespace {

using constants::half_pi;
using constants::pi;
using namespace disk_forms;

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

const FarRule& far_rule_for(double t) noexcept {
    for (const FarRule& r : far_rules) {
        if (t >= r.from) return r;
    }
    return far_rules.back();
}

double far_disk(double u, double rho, double t) noexcept {
    const FarRule& rule = far_rule_for(t);
    const double u2 = u * u;
    const double rho2 = rho * rho;
    const double gap = (u - rho) * (u + rho);  // r1 r2
    double sum = 0.0;
    for (std::size_t j = 0; j < rule.half; ++j) {
        const double c = rule.cos_th[j];
        const double r2 = std::sqrt(u2 - rho2 * rule.sin2_th[j]) + rho * c;
        const double r1 = gap / r2;
        const double a1 = r1 * r1;
        const double a2 = r2 * r2;
        sum += c * c * (a1 + a2 + 4.0) / (r1 * std::sqrt(a1 + 4.0) + r2 * std::sqrt(a2 + 4.0));
    }
    return sum * (4.0 / static_cast<double>(2 * rule.half));
}

// The same with its derivatives in u and rho, node by node (each term is
// positive and smooth: no cancellation).  With R = sqrt(u^2 - rho^2 sin^2),
// dr2/du = u / R, dr2/drho = cos - rho sin^2 / R, dr1 = (d gap - r1 dr2) / r2,
// d(r sqrt(r^2 + 4)) = (2 r^2 + 4) / sqrt(r^2 + 4) dr.  The value is
// far_disk's, to the bit.
Dual far_disk_slopes(double u, double rho, double t) noexcept {
    const FarRule& rule = far_rule_for(t);
    const double u2 = u * u;
    const double rho2 = rho * rho;
    const double gap = (u - rho) * (u + rho);
    double sum = 0.0;
    double sum_u = 0.0;
    double sum_rho = 0.0;
    for (std::size_t j = 0; j < rule.half; ++j) {
        const double c = rule.cos_th[j];
        const double root = std::sqrt(u2 - rho2 * rule.sin2_th[j]);
        const double r2 = root + rho * c;
        const double r1 = gap / r2;
        const double a1 = r1 * r1;
        const double a2 = r2 * r2;
        const double q1 = std::sqrt(a1 + 4.0);
        const double q2 = std::sqrt(a2 + 4.0);
        const double n = a1 + a2 + 4.0;
        const double d = r1 * q1 + r2 * q2;
        const double term = c * c * n / d;
        sum += term;
        // Three divisions for the five reciprocals (each product stays in
        // range for 1e-100 < u < 1e100).
        const double inverse_rr = 1.0 / (root * r2);
        const double inverse_qq = 1.0 / (q1 * q2);
        const double inverse_d = 1.0 / d;
        const double over_root = r2 * inverse_rr;
        const double over_r2 = root * inverse_rr;
        const double e1 = (2.0 * a1 + 4.0) * q2 * inverse_qq;
        const double e2 = (2.0 * a2 + 4.0) * q1 * inverse_qq;
        const double r2_u = u * over_root;
        const double r2_rho = c - rho * rule.sin2_th[j] * over_root;
        const double r1_u = (2.0 * u - r1 * r2_u) * over_r2;
        const double r1_rho = (-2.0 * rho - r1 * r2_rho) * over_r2;
        sum_u +=
            (2.0 * c * c * (r1 * r1_u + r2 * r2_u) - term * (e1 * r1_u + e2 * r2_u)) * inverse_d;
        sum_rho +=
            (2.0 * c * c * (r1 * r1_rho + r2 * r2_rho) - term * (e1 * r1_rho + e2 * r2_rho)) *
            inverse_d;
    }
    const double scale = 4.0 / static_cast<double>(2 * rule.half);
    return {sum * scale, sum_u * scale, sum_rho * scale};
}

// The disk with the lens on its limb: the limit of the closed form as
// delta -> 0, (2/rho + 2 (1 + rho^2) atan(rho) / rho^2) / pi.  (Written with
// atan: the equivalent asin((rho^2 - 1)/(rho^2 + 1)) + pi/2 cancels for a
// small rho.)
// On the limb itself the derivatives are infinite: A falls as the lens
// leaves the disk (d/du = -inf) and the ring mean at the edge, to which
// d/drho is proportional, diverges (d/drho = +inf).
double with_infinite_slopes(double, double a) noexcept { return a; }
Dual with_infinite_slopes(const Dual&, double a) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    return {a, -inf, inf};
}

template <class T>
T limb_disk(const T& rho) noexcept {
    const double r = value(rho);
    return with_infinite_slopes(rho, (2.0 / r + 2.0 * (1.0 + r * r) * (std::atan(r) / r) / r) / pi);
}

}  // namespace

// The algorithm of Bulirsch (1969) for p > 0 (Press et al., Numerical
// Recipes, 2nd ed., sec. 6.11, routine cel, with the tolerance set for double),
// for several integrals of one kc at once: the mean iteration (qc, e, em)
// and its end depend on kc alone, so all share it and each gives exactly
// what a call of its own would.  Each enters with sqrt(p) and b / sqrt(p),
// the algorithm's first step, so that a caller can form them without
// cancellation.  With derivatives (Dual) the iteration runs one step
// further: the derivatives converge as fast as the values but start later.
//
// Companions are integrals that enter with the first one's p: p and g then
// follow the same sequence, so they take the first one's g, and b / p as
// b * (1 / p); two divisions fewer per step each.
template <class T, std::size_t N, std::size_t M>
std::array<T, N + M> cels(T kc, std::array<CelOf<T>, N> args,
                          std::array<Companion<T>, M> companions) noexcept {
    using std::fabs;
    using std::sqrt;
    T qc = fabs(kc);
    T e = qc;
    T em{1.0};
    bool last = false;
    for (int step = 0; step < cel_step_limit; ++step) {
        if constexpr (M > 0) {
            const T inverse = 1.0 / args[0].p;
            const T g = e / args[0].p;
            for (Companion<T>& c : companions) {
                const T f = c.a;
                c.a += c.b * inverse;
                c.b += f * g;
                c.b += c.b;
            }
        }
        for (CelOf<T>& c : args) {
            const T f = c.a;
            c.a += c.b / c.p;
            const T g = e / c.p;
            c.b += f * g;
            c.b += c.b;
            c.p += g;
        }
        const T g = em;
        em += qc;
        if (last) break;
        if (std::fabs(value(g) - value(qc)) <= value(g) * cel_agreement) {
            if constexpr (std::is_same_v<T, double>) break;
            last = true;
        }
        qc = 2.0 * sqrt(e);
        e = qc * em;
    }
    std::array<T, N + M> out;
    for (std::size_t i = 0; i < N; ++i) {
        out[i] = half_pi * (args[i].b + args[i].a * em) / (em * (em + args[i].p));
    }
    for (std::size_t i = 0; i < M; ++i) {
        out[N + i] = half_pi * (companions[i].b + companions[i].a * em) / (em * (em + args[0].p));
    }
    return out;
}

template <class T, std::size_t N>
std::array<T, N> cels(T kc, std::array<CelOf<T>, N> args) noexcept {
    return cels<T, N, 0>(kc, args, {});
}

template <class T>
T cel(T kc, T p, T a, T b) noexcept {
    using std::sqrt;
    const T root = sqrt(p);
    return cels<T, 1>(kc, {CelOf<T>{root, a, b / root}})[0];
}

template double cel(double, double, double, double) noexcept;
// The centroid's closed form (disk_centroid.cpp) takes two or three of one kc.
template std::array<double, 2> cels(double, std::array<CelOf<double>, 2>) noexcept;
template std::array<double, 3> cels(double, std::array<CelOf<double>, 2>,
                                    std::array<Companion<double>, 1>) noexcept;
// And with its derivatives (disk_centroid_slopes).
template std::array<Dual, 3> cels(Dual, std::array<CelOf<Dual>, 2>,
                                  std::array<Companion<Dual>, 1>) noexcept;

namespace {

// The mean of 1/|r - c| over a disk of radius rho at distance u = t rho:
// 4 E(t) / (pi rho) for t <= 1 and 4 t (E(1/t) - (1 - 1/t^2) K(1/t)) / (pi rho)
// beyond (moduli k, not parameters; checked against a 20-digit quadrature).
template <class T>
T small_disk(const T& u, const T& rho) noexcept {
    using std::sqrt;
    const T t = u / rho;
    if (value(t) == 1.0) return with_infinite_slopes(rho, 4.0 / (pi * value(rho)));
    const T k = value(t) < 1.0 ? t : 1.0 / t;
    const T kc = sqrt((1.0 - k) * (1.0 + k));
    // E = cel(kc, 1, 1, kc^2); E - kc^2 K = cel(kc, 1, k^2, 0), and t times
    // it cel(kc, 1, k, 0) (cel is linear in a and b, and t k = 1): k^2 would
    // underflow for a source 1e-154 of its separation and less.
    const T one{1.0};
    const T mean = value(t) < 1.0 ? cel<T>(kc, one, one, kc * kc) : cel<T>(kc, one, k, T{});
    return 4.0 * mean / (pi * rho);
}

// The closed form (u < 3 rho, off the limb).  With slopes, also what the
// derivatives are made of: the mean point-source magnification around the
// disk's edge, M = 2 (delta^2 Pi(n, m) + 2 K(m)) / (pi s q) (Heyrovsky 2003,
// ApJ 594, 464, for a ring of radius rho; same n and m), and its mean
// weighted by cos phi, phi the angle at the disk's centre from the far side,
//
//   C = 4 cel(kc, 1, 1, -1) / (pi s q).
//
// (C: the ring's integral in the half-angle psi = phi / 2 with
// cos phi = cos^2 psi - sin^2 psi; equivalently, from differentiating the
// closed form along u and rho together, where the Pi terms drop out;
// checked against a 40-digit quadrature of the ring.)  Both come from the
// same mean iteration as A: two more integrals of the same kc.
struct ClosedForm {
    double a;
    double ring_mean;
    double ring_cos;
};

template <bool Slopes>
ClosedForm closed_form(double u, double rho, double delta) noexcept {
    const ClosedArguments<double> c = closed_arguments(u, rho, delta);
    if constexpr (!Slopes) {
        const auto [e_k_part, pi_part] = cels<double, 2>(c.kc, c.terms);
        return {((e_k_part + pi_part) / rho) / (pi * rho), 0.0, 0.0};
    } else {
        // Each integral of cels is what it would be alone: A to the bit as
        // without slopes.
        // K and cel(kc, 1, 1, -1) enter with e_k's p = 1.
        const auto [e_k_part, pi_part, k, cos_part] = cels<double, 2, 2>(
            c.kc, c.terms, {Companion<double>{1.0, 1.0}, Companion<double>{1.0, -1.0}});
        const double a = ((e_k_part + pi_part) / rho) / (pi * rho);
        // 2 delta^2 Pi / (s q) = pi_part / (1 + rho^2).
        const double sq = c.s * c.q;
        return {a, (pi_part / (1.0 + rho * rho) + 4.0 * k / sq) / pi, 4.0 * cos_part / (pi * sq)};
    }
}

// Which form a disk takes.
enum class Form { nan, small, far, unmagnified, limb, closed };

Form form_of(double u, double rho, double delta) noexcept {
    if (u + rho < small_scale) return Form::small;
    const double t = u / rho;
    if (!(t < closed_below)) {
        if (std::isnan(t)) return Form::nan;
        if (u >= unmagnified) return Form::unmagnified;
        return Form::far;
    }
    // A disk this large is magnified by less than 2 / rho^2 everywhere
    // within 3 rho of the lens (A = sqrt(rho^2 + 4) / rho at its centre).
    if (rho >= unmagnified) return Form::unmagnified;
    if (std::fabs(delta / (u + rho)) < on_limb) return Form::limb;
    return Form::closed;
}

template <class T>
T disk_of(const T& u, const T& rho, double delta) noexcept {
    switch (form_of(value(u), value(rho), delta)) {
        case Form::nan:
            return T{} + std::numeric_limits<double>::quiet_NaN() * u;
        case Form::small:
            return small_disk(u, rho);
        case Form::far:
            if constexpr (std::is_same_v<T, double>) {
                return far_disk(u, rho, u / rho);
            } else {
                const Dual a = far_disk_slopes(u.v, rho.v, u.v / rho.v);
                return {a.v, a.du * u.du + a.dr * rho.du, a.du * u.dr + a.dr * rho.dr};
            }
        case Form::unmagnified:
            return T{1.0};
        case Form::limb:
            return limb_disk(rho);
        case Form::closed:
            break;
    }
    return T{closed_form<false>(value(u), value(rho), delta).a};
}

}  // namespace

double disk(double u, double rho) noexcept { return disk_of(u, rho, u - rho); }
double disk(double u, double rho, double delta) noexcept { return disk_of(u, rho, delta); }

// In the closed form the derivatives follow from the edge's ring means (the
// divergence theorem on the disk integral): the flux of the disk grows by
// its edge's ring, 2 pi rho M, per unit of radius, and moving the disk moves
// its edge, d(pi rho^2 A)/du = 2 pi rho C.  So dA/drho = (2/rho) (M - A) and
// dA/du = (2/rho) C: no derivative of an elliptic integral is formed, and
// their logarithmic divergence at the limb comes from K's, summed by the mean
// iteration itself.
Dual disk(const Dual& u, const Dual& rho, double delta) noexcept {
    switch (form_of(u.v, rho.v, delta)) {
        case Form::closed:
            break;
        case Form::small: {
            // Its mean iteration runs a step further with derivatives.
            Dual a = disk_of(u, rho, delta);
            a.v = disk(u.v, rho.v, delta);
            return a;
        }
        default:  // the same operations on the values as without derivatives
            return disk_of(u, rho, delta);
    }
    const ClosedForm form = closed_form<true>(u.v, rho.v, delta);
    const double a_rho = (2.0 / rho.v) * (form.ring_mean - form.a);
    const double a_u = (2.0 / rho.v) * form.ring_cos;
    return chain({form.a, a_u, a_rho}, u, rho);
}

Dual chain(const ClosedSlopes& s, const Dual& u, const Dual& rho) noexcept {
    return {s.a, s.a_u * u.du + s.a_rho * rho.du, s.a_u * u.dr + s.a_rho * rho.dr};
}

Dual disk(const Dual& u, const Dual& rho) noexcept { return disk(u, rho, u.v - rho.v); }

}  // namespace tavlomer::physics::detail
