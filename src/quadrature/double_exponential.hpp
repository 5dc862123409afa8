// Tanh-sinh (double-exponential) quadrature over a finite interval.
//
//   \int_a^b f(x) dx = h \int_{-\infty}^{\infty} f(mid + h tanh((pi/2) sinh t))
//                        (pi/2) cosh t / cosh^2((pi/2) sinh t) dt,
//   mid = (a + b)/2, h = (b - a)/2
//
// (Takahasi & Mori 1974), the t-integral taken by the trapezoidal rule on
// the stored nodes of double_exponential_nodes.hpp, halving the step level by
// level until the observed convergence meets the requested absolute error or
// the seven levels run out.  The integrand is never evaluated at a or b (the
// largest abscissa, at t = 3, is 1 - 4.3e-14), so end-point singularities are
// harmless.  No state, no failure: a non-finite integrand value counts as 0.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/constants.hpp"
#include "quadrature/double_exponential_nodes.hpp"

namespace tavlomer::quadrature::double_exponential {

struct QuadratureResult {
    double error_estimate;      // estimated absolute error, scaled to [a, b]
    double integral;            // the integral over [a, b]
    std::uint32_t evaluations;  // integrand evaluations made
};

// One centre value plus two per stored node.
inline constexpr std::size_t MAX_EVALUATIONS = 385;

namespace detail {

inline constexpr std::size_t node_count() {
    std::size_t n = 0;
    for (const auto& level : NODE_LEVELS) n += level.size();
    return n;
}
static_assert(1 + 2 * node_count() == MAX_EVALUATIONS);

// A value that is infinite or NaN enters every sum as 0.
[[nodiscard]] inline double guard(double v) noexcept { return std::isfinite(v) ? v : 0.0; }

// The centre point, t = 0 (abscissa 0), written as every other point is,
// mid + h * x, rather than as mid: the two differ where h is infinite or NaN
// (h * 0.0 is NaN) and where mid is -0.0 (-0.0 + 0.0 is +0.0).
[[nodiscard]] inline double centre(double mid, double h) noexcept { return mid + h * 0.0; }

}  // namespace detail

// The points at which integrate evaluates its integrand over [a, b], in
// evaluation order: the centre, then level by level, node by node, mid + h*x
// before mid - h*x.  An integrand handed to integrate_indexed receives the
// index into this order, so a caller that integrates many integrands over one
// interval can tabulate whatever depends on the point alone once.
[[nodiscard]] inline std::array<double, MAX_EVALUATIONS> evaluation_points(double a,
                                                                          double b) noexcept {
    const double mid = (a + b) * 0.5;
    const double h = (b - a) * 0.5;
    std::array<double, MAX_EVALUATIONS> points;
    std::size_t i = 0;
    points[i++] = detail::centre(mid, h);
    for (const auto& level : NODE_LEVELS) {
        for (const Node& node : level) {
            points[i++] = mid + h * node.abscissa;
            points[i++] = mid - h * node.abscissa;
        }
    }
    return points;
}

// integrate_indexed(f, a, b, target): f(index, x) is called with x the
// index-th entry of evaluation_points(a, b), in increasing index.
//
// Stopping rule: with d the difference between the halved previous sum and
// the new level's contribution, the estimate is |d|^2 when the logarithms of
// successive |d| have a ratio strictly between 1.9 and 2.1 (the quadratic
// convergence of the trapezoidal rule on an analytic integrand), else |d|;
// the loop stops once the estimate is below target/4 in the t-variable.  An
// exact zero difference stops it at once.  The first test follows level 2:
// the sums of levels 0 and 1 are too coarse to judge convergence.
template <class F>
[[nodiscard]] QuadratureResult integrate_indexed(F&& f, double a, double b, double target) {
    constexpr double largest = constants::largest;  // no difference measured yet
    constexpr std::uint32_t first_tested = 14;      // after levels 0 and 1
    const double mid = (a + b) * 0.5;
    const double h = (b - a) * 0.5;
    const double tau = (target * 0.25) / h;

    std::size_t index = 0;
    // The centre node's weight is pi/2 at level 0 (step 1).  The sum starts
    // at twice that term, pi f(mid), because every level begins by halving
    // the previous sum (the step halves); level 0 thus halves it to its own
    // centre term, (pi/2) f(mid), exactly (halving a double is exact short
    // of the subnormal range).
    double integral = constants::pi * detail::guard(f(index++, detail::centre(mid, h)));
    std::uint32_t evaluations = 1;
    double previous = largest;
    double estimate = largest;
    for (const auto& level : NODE_LEVELS) {
        double sum = 0.0;
        for (const Node& node : level) {
            const double plus = detail::guard(f(index++, mid + h * node.abscissa));
            const double minus = detail::guard(f(index++, mid - h * node.abscissa));
            sum += node.weight * (plus + minus);
        }
        evaluations += 2 * static_cast<std::uint32_t>(level.size());

        const double half = integral * 0.5;
        const double difference = half - sum;
        const double delta = std::fabs(difference);
        integral = half + sum;
        if (evaluations < first_tested) {
            previous = delta;
            continue;
        }
        if (difference == 0.0) {
            estimate = 0.0;
            break;
        }
        // A NaN ratio fails both comparisons and keeps the linear estimate.
        const double ratio = std::log(delta) / std::log(previous);
        estimate = (1.9 < ratio && ratio < 2.1) ? delta * delta : delta;
        if (estimate < tau) break;
        previous = delta;
    }
    return {h * estimate, h * integral, evaluations};
}

// integrate(f, a, b, target): the integral of f over [a, b] to the absolute
// error target, f a callable from double to double.
template <class F>
[[nodiscard]] QuadratureResult integrate(F&& f, double a, double b, double target) {
    return integrate_indexed([&f](std::size_t, double x) { return f(x); }, a, b, target);
}

}  // namespace tavlomer::quadrature::double_exponential
