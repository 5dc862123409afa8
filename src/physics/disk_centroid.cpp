// The centroid moment of a uniform disk in three forms, each used where it
// keeps its digits:
//
// - lens well inside (u < rho / 3): the disk in polar coordinates about the
//   lens, a midpoint rule over the angle;
// - near the limb (rho / 3 <= u < 3 rho): a closed form in complete elliptic
//   integrals of the same modulus and characteristic as the magnification's
//   (Witt & Mao 1994), derived below;
// - far out (u >= 3 rho): the mean of f cos(phi) in polar coordinates about
//   the lens, whose terms are all positive, less u times the magnification;
//   beyond an Einstein radius, where these two cancel, the difference taken
//   apart first (far_split).
//
// The closed form.  In polar coordinates about the lens, the circle of
// radius s crosses the disk over the angles |phi| < phi_s, and
// \int cos(phi) dphi over them is 2 sin(phi_s) = sqrt((b^2 - s^2)(s^2 - a^2)) / (s u)
// with a = |u - rho|, b = u + rho.  So the disk's integral of f cos(phi) is
//
//   N = (1/u) \int_a^b sqrt((b^2 - s^2)(s^2 - a^2)) f(s) ds
//     = (1/(2u)) \int_{a^2}^{b^2} (b^2 - t)(t - a^2)(t + 3) / sqrt(P(t)) dt,
//
// P(t) = t (t + 4)(b^2 - t)(t - a^2).  With t = a^2 / (1 - n sn^2(w | m)),
// n = 1 - a^2/b^2 and m = 4 (b^2 - a^2) / (b^2 (a^2 + 4)) (Byrd & Friedman
// 1971, 256.00), dt / sqrt(P) = 2 dw / (b sqrt(a^2 + 4)), and the integrand
// is a polynomial in 1 / (1 - n sn^2) of degree 3, whose integrals reduce to
// K, E and Pi(n) by the recurrence of d/dw [sn cn dn (1 - n sn^2)^-j]
// (Byrd & Friedman 336).  Less u pi rho^2 A in Witt & Mao's form, most
// terms cancel, and with delta = u - rho, s = u + rho, q = sqrt(delta^2 + 4):
//
//   pi rho^2 moment = (delta / (u q)) [cel(kc, 1, delta^2, s^2) - delta^2 Pi(n, m)],
//
// kc = sqrt(1 - m) as in disk.cpp (checked against a 40-digit quadrature of
// N for rho from 1e-4 to 10).  The factor delta makes the moment vanish on
// the limb: there the disk's centroid moment, which N - u pi rho^2 A
// measures from the disk's centre, changes sign as the lens crosses the
// edge.  As u -> 0 the bracket vanishes too, like u, while 1/u grows: the
// bracket's rounding, eps rho^2, would grow as rho / u, which is why the
// lens well inside takes the polar form.
#include "physics/disk_centroid.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "common/constants.hpp"
#include "physics/disk.hpp"

namespace tavlomer::physics::detail {

namespace {

using constants::pi;
// The disk's own choice of form: on the limb (|delta / s| < on_limb) the
// moment is 0; beyond u = unmagnified the disk is a point to every digit,
// moment / a = 1 / u (the point's u / (u^2 + 2)), and a disk of radius
// unmagnified and more is unmagnified wherever the lens is, its moment, of
// order u / rho^2, taken as 0; the closed form below closed_below rho.
using namespace disk_forms;
using centroid_forms::closed_from;

// Midpoint rules over an angle, a pi-periodic smooth integrand: they
// converge geometrically, as exp(-2 N t) with N nodes and t the distance
// of the integrand's nearest singularity from the real axis (acosh(u /
// rho) far out, acosh(rho / u) inside); the node counts reach a few 1e-16
// (measured against 40-digit references for rho from 1e-4 to 10).
struct Rule {
    double from;                  // least ratio (u/rho far out, rho/u inside)
    std::size_t half;             // nodes in (0, pi/2)
    std::array<double, 8> cos_t;  // cos of the nodes
    std::array<double, 8> sin2_t;
};

Rule rule(double from, std::size_t nodes) {
    Rule r{from, nodes / 2, {}, {}};
    for (std::size_t j = 0; j < r.half; ++j) {
        const double t = (static_cast<double>(j) + 0.5) * pi / static_cast<double>(nodes);
        r.cos_t[j] = std::cos(t);
        r.sin2_t[j] = std::sin(t) * std::sin(t);
    }
    return r;
}

const std::array<Rule, 4> rules = {rule(100.0, 4), rule(10.0, 6), rule(5.0, 8), rule(3.0, 12)};

// The slopes' error is the derivative of the values', exp(-2 N t) times
// 2 N dt, larger by the node count: a few nodes more keep them within 1e-12
// relative too (measured against mpmath rings of the
// disk's edge, tests/test_centroid.py).  The values keep their rules.
const std::array<Rule, 4> slope_rules = {rule(100.0, 6), rule(10.0, 8), rule(5.0, 12),
                                         rule(3.0, 16)};

template <class T>
const Rule& rule_for(double ratio) noexcept {
    const std::array<Rule, 4>& set = std::is_same_v<T, double> ? rules : slope_rules;
    for (const Rule& r : set) {
        if (ratio >= r.from) return r;
    }
    return set.back();
}

// Far out, the disk in polar coordinates about the lens, substituted as in
// disk.cpp's far form (sin phi = (rho / u) sin theta): the ray at angle phi
// crosses the disk between r1 and r2, with R = u cos phi,
// r2 = R + rho cos theta, r1 r2 = u^2 - rho^2 and
// r2^2 - r1^2 = 4 R rho cos theta.  The sum of term(ray) over the rule's
// nodes in (0, pi/2), over their count: the integrands are even in theta.
// With T = Dual (u and rho seeded) every form gives its derivatives too,
// by the same operations (forward-mode differentiation of the rule, whose
// nodes do not move with u or rho).
template <class T>
struct Ray {
    double c;  // cos theta
    T root;    // R
    T r1;
    T r2;
    T q1;  // sqrt(r1^2 + 4)
    T q2;
};

template <class T, class Term>
T far_sum(const T& u, const T& rho, const Term& term) noexcept {
    using std::sqrt;
    const Rule& r = rule_for<T>(value(u) / value(rho));
    const T u2 = u * u;
    const T rho2 = rho * rho;
    const T gap = (u - rho) * (u + rho);
    T sum{};
    for (std::size_t j = 0; j < r.half; ++j) {
        const double c = r.cos_t[j];
        const T root = sqrt(u2 - rho2 * r.sin2_t[j]);
        const T r2 = root + rho * c;
        const T r1 = gap / r2;
        sum += term(Ray<T>{c, root, r1, r2, sqrt(r1 * r1 + 4.0), sqrt(r2 * r2 + 4.0)});
    }
    return sum / static_cast<double>(r.half);
}

// The mean of f cos(phi) over the disk, from H(s) = (s^2 + 1) sqrt(s^2 + 4) / 3,
// the antiderivative of s f(s), whose difference along a ray is
// (r2^2 - r1^2) [q2 + (r1^2 + 1) / (q1 + q2)] / 3, and cos phi dphi =
// (rho / u) cos theta dtheta:
//
//   mean of f cos(phi) = (4 / (3 pi u)) \int_{-pi/2}^{pi/2} R cos^2 theta
//                        [q2 + (r1^2 + 1) / (q1 + q2)] dtheta,
//
// every term positive.
template <class T>
T far_mean(const T& u, const T& rho) noexcept {
    const T sum = far_sum(u, rho, [](const Ray<T>& y) {
        return y.root * y.c * y.c * (y.q2 + (y.r1 * y.r1 + 1.0) / (y.q1 + y.q2));
    });
    return sum * (4.0 / (3.0 * u));
}

// The magnification far out, disk.cpp's far form on these rays: the mean
// of (r2 sqrt(r2^2 + 4) - r1 sqrt(r1^2 + 4)) / 2 over phi (G's difference,
// G as in inside_moment), in theta.
template <class T>
T far_magnification(const T& u, const T& rho) noexcept {
    const T sum = far_sum(u, rho, [](const Ray<T>& y) {
        return y.c * y.c * (y.r1 * y.r1 + y.r2 * y.r2 + 4.0) / (y.r1 * y.q1 + y.r2 * y.q2);
    });
    return 2.0 * sum;
}

// Far out and beyond an Einstein radius, where far_mean - u a would cancel
// like u^2 (a shift of 1/u from a centroid at u), the moment taken apart:
// with h = A - 1 and z the point's offset from the disk's centre,
//
//   f(s) cos(phi) - u A(s) = h(s) z_x + cos(phi) / q(s),
//
// (z_x averages to zero), and radially, along the ray phi between r1 and r2,
//
//   \int s cos(phi) / q ds       = cos(phi) (q2 - q1),
//   \int s h(s) (s cos(phi) - u) = cos(phi) (L2(r2) - L2(r1)) - u (L1(r2) - L1(r1)),
//
// L1(s) = 2 s / v, L2(s) = -(8/3)(3 / (2 v) - 2 / v^3), v = q + s (the
// antiderivatives of s h and s^2 h), each difference formed without
// cancellation: q2 - q1 = (r2^2 - r1^2) / (q1 + q2),
// L1(r2) - L1(r1) = 8 (r2^2 - r1^2) / (v1 v2 (r2 q1 + r1 q2)) and
// L2(r2) - L2(r1) = (8/3) (v2 - v1) / (v1 v2) [3/2 - 2 (v1^2 + v1 v2 + v2^2) / (v1 v2)^2],
// whose bracket keeps its digits for s beyond an Einstein radius.  The last
// two are of order (rho / u)^2 of the first, and what they lose to
// cancellation between them is below eps / u^2 of it.  Over phi
// (dphi = rho cos theta dtheta / R, cos phi = R / u), over pi rho^2.
constexpr double split_from = 1.0;

template <class T>
T far_split(const T& u, const T& rho) noexcept {
    const T sum = far_sum(u, rho, [&](const Ray<T>& y) {
        const T squares = 4.0 * y.root * rho * y.c;  // r2^2 - r1^2
        const T dq = squares / (y.q1 + y.q2);
        const T v1 = y.q1 + y.r1;
        const T v2 = y.q2 + y.r2;
        const T vv = v1 * v2;
        const T dl2 = (8.0 / 3.0) * ((2.0 * rho * y.c + dq) / vv) *
                      (1.5 - 2.0 * (v1 * v1 + vv + v2 * v2) / (vv * vv));
        const T dl1 = 8.0 * squares / (vv * (y.r2 * y.q1 + y.r1 * y.q2));
        return y.c * ((dl2 + dq) / u - dl1 * (u / y.root));
    });
    return sum / rho;
}

// The lens inside, u < rho / 3: about the lens the disk reaches
// r2(phi) = u cos phi + sqrt(rho^2 - u^2 sin^2 phi), and
//
//   pi rho^2 moment = \int_0^{2 pi} [cos phi (H(r2) - H(rho)) - u G(r2)] dphi,
//
// G(s) = s sqrt(s^2 + 4) / 2 the antiderivative of s A(s).  H(rho) adds
// nothing (cos phi averages to zero, on the rule's nodes too) and keeps the
// first term from cancelling: r2 - rho is formed from u directly.
template <class T>
T inside_moment(const T& u, const T& rho) noexcept {
    using std::sqrt;
    const Rule& r = rule_for<T>(value(rho) / value(u));
    const T rho2 = rho * rho;
    const T q = sqrt(rho2 + 4.0);
    T sum{};
    // The nodes phi and pi - phi of (0, pi), phi in (0, pi/2): cos of
    // opposite signs, the same sin^2.
    for (std::size_t j = 0; j < r.half; ++j) {
        const double s2 = r.sin2_t[j];
        const T chord = sqrt(rho2 - u * u * s2);
        const T bend = u * u * s2 / (chord + rho);
        for (const double c : {r.cos_t[j], -r.cos_t[j]}) {
            const T r2 = chord + u * c;
            const T a2 = r2 * r2;
            const T q2 = sqrt(a2 + 4.0);
            const T gain = (u * c - bend) * (r2 + rho);  // r2^2 - rho^2
            sum += c * (gain * (q2 + (rho2 + 1.0) / (q + q2)) / 3.0) - u * (0.5 * r2 * q2);
        }
    }
    // 2 pi / (2 half) per node, over pi rho^2.
    return sum * (1.0 / (static_cast<double>(r.half) * rho2));
}

// The closed form (rho / 3 <= u < 3 rho, off the limb), with the
// magnification from the same mean iteration: Witt & Mao's
// pi rho^2 A = cel(kc, 1, c_e - c_k, c_e kc^2 - c_k) + c_pi Pi(n, m), formed
// as disk.cpp forms it (the same operations: the same bits), and
// cel(kc, 1, delta^2, s^2) a companion of its first term (cels: each
// integral comes out as it would alone).  delta^2 Pi = c_pi Pi s q /
// (2 (1 + rho^2)).
template <class T>
struct CentroidOf {
    T a;
    T moment;
};

template <class T>
CentroidOf<T> closed_form(const T& u, const T& rho, const T& delta) noexcept {
    const ClosedArguments<T> c = closed_arguments(u, rho, delta);
    const auto [e_k_part, pi_part, ke] =
        cels<T, 2, 1>(c.kc, c.terms, {Companion<T>{delta * delta, c.s * c.s}});
    const T a = ((e_k_part + pi_part) / rho) / (pi * rho);
    const T pi_moment = pi_part * (c.s * c.q / (2.0 * (1.0 + rho * rho)));
    return {a, (delta / (u * c.q)) * ((ke - pi_moment) / (pi * rho * rho))};
}

// delta as the caller gave it, with the derivatives of u - rho.
double delta_of(double, double, double delta) noexcept { return delta; }
Dual delta_of(const Dual& u, const Dual& rho, double delta) noexcept {
    return {delta, u.du - rho.du, u.dr - rho.dr};
}

// On the limb the moment is 0 and its slopes infinite (disk.cpp's ring means
// diverge like log|delta| there): it grows from negative inside to positive
// outside as the lens moves out (+inf in u, -inf in rho, for u and rho seeded
// as disk_centroid_slopes seeds them).
double limb_moment(double) noexcept { return 0.0; }
Dual limb_moment(const Dual&) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    return {0.0, inf, -inf};
}

// The moment for a disk of magnification a.  With Dual, at u = 0 the polar
// form about the lens (whose value there is 0) gives the slope as u -> 0+.
template <class T>
T moment_of(const T& u, const T& rho, double delta, const T& a) noexcept {
    constexpr bool slopes = std::is_same_v<T, Dual>;
    if (!slopes && value(u) == 0.0) return T{};
    const double t = value(u) / value(rho);
    if (!(t < closed_below)) {
        // The point-source limit: u A(u) cancels f(u) to 1 / sqrt(u^2 + 4).
        if (value(u) >= unmagnified) return 1.0 / u;
        return value(u) >= split_from ? far_split(u, rho) : far_mean(u, rho) - u * a;
    }
    if (value(rho) >= unmagnified) return T{};
    if (std::fabs(delta / (value(u) + value(rho))) < on_limb) return limb_moment(u);
    if (t < closed_from) return inside_moment(u, rho);
    return closed_form(u, rho, delta_of(u, rho, delta)).moment;
}

// Below disk.hpp's small_scale the moment no longer depends on the scale
// (f(s) -> 3/2 and s A(s) -> 1: it is homogeneous of degree 0), while its
// forms would underflow: it is taken at 2^-333 (about 6e-101), scaled by a
// power of two, which changes no digit (the far form with the scaled
// disk's own magnification).
constexpr int scale_exponent = -333;

// Where disk() takes its closed form too: one mean iteration gives both.
bool closed(double u, double rho, double delta) noexcept {
    const double t = u / rho;
    return t >= closed_from && t < closed_below && u + rho >= small_scale && rho < unmagnified &&
           !(std::fabs(delta / (u + rho)) < on_limb);
}

}  // namespace

DiskCentroid disk_centroid(double u, double rho, double delta) noexcept {
    if (closed(u, rho, delta)) {
        const CentroidOf<double> c = closed_form(u, rho, delta);
        return {c.a, c.moment};
    }
    const double a = disk(u, rho, delta);
    if (std::isnan(a)) return {a, a};
    // (u + rho > 0 always for u >= 0 and rho > 0; outside that domain, as
    // for u = -inf, ilogb would leave the int range.)
    if (u + rho < small_scale && u + rho > 0.0) {
        const int e = scale_exponent - std::ilogb(u + rho);
        const double su = std::ldexp(u, e);
        const double srho = std::ldexp(rho, e);
        return {a, moment_of(su, srho, std::ldexp(delta, e), disk(su, srho, std::ldexp(delta, e)))};
    }
    return {a, moment_of(u, rho, delta, a)};
}

DiskCentroidSlopes disk_centroid_slopes(double u, double rho, double delta) noexcept {
    DiskCentroidSlopes out{disk_centroid(u, rho, delta), {}, {}};
    if (closed(u, rho, delta)) {
        // One mean iteration with slopes gives those of both (A's as
        // disk.cpp's closed form has them, within rounding).  The values stay
        // the double iteration's: carried with slopes, the iteration runs
        // until they converge too, which moves the values' last bits.
        const Dual su{u, 1.0, 0.0};
        const Dual srho{rho, 0.0, 1.0};
        const CentroidOf<Dual> c = closed_form(su, srho, delta_of(su, srho, delta));
        out.a = {out.value.a, c.a.du, c.a.dr};
        out.moment = {out.value.moment, c.moment.du, c.moment.dr};
        return out;
    }
    if (std::isnan(out.value.moment)) {
        out.a = {out.value.a, out.value.a, out.value.a};
        out.moment = {out.value.moment, out.value.moment, out.value.moment};
        return out;
    }
    Dual a = disk(Dual{u, 1.0, 0.0}, Dual{rho, 0.0, 1.0}, delta);
    if (u / rho >= closed_below && u < unmagnified && u + rho >= small_scale) {
        // Far out the moment takes u A from the finer rule: A's slopes from
        // disk()'s own rule are a few 1e-12 off, which the difference
        // far_mean - u A and the shift's - shift dA would carry.
        a = far_magnification(Dual{u, 1.0, 0.0}, Dual{rho, 0.0, 1.0});
        a.v = out.value.a;
    }
    out.a = {out.value.a, a.du, a.dr};
    if (u + rho < small_scale && u + rho > 0.0) {
        // Homogeneous of degree 0: the slopes scale as 2^e.
        const int e = scale_exponent - std::ilogb(u + rho);
        const Dual su{std::ldexp(u, e), 1.0, 0.0};
        const Dual srho{std::ldexp(rho, e), 0.0, 1.0};
        const double sdelta = std::ldexp(delta, e);
        const Dual m = moment_of(su, srho, sdelta, disk(su, srho, sdelta));
        out.moment = {out.value.moment, std::ldexp(m.du, e), std::ldexp(m.dr, e)};
        return out;
    }
    const Dual m = moment_of(Dual{u, 1.0, 0.0}, Dual{rho, 0.0, 1.0}, delta, a);
    out.moment = {out.value.moment, m.du, m.dr};
    return out;
}

}  // namespace tavlomer::physics::detail
