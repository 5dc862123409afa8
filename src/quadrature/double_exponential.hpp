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

// The first convergence test follows the level that brings the evaluation
// count to at least this (level 2): the sums of levels 0 and 1 are too coarse
// to judge convergence.
inline constexpr std::size_t FIRST_TESTED = 14;

}  // namespace detail

// The evaluation count at which integrate_indexed, having made `made`
// evaluations, next tests for convergence and so may stop: the end of a
// level from the first tested one on (25, 49, 97, 193, 385).  A caller that
// forms its integrand values a stretch at a time asks for no more than the
// quadrature uses.
[[nodiscard]] constexpr std::size_t next_stopping_point(std::size_t made) noexcept {
    std::size_t end = 1;
    for (const auto& level : NODE_LEVELS) {
        end += 2 * level.size();
        if (end >= detail::FIRST_TESTED && end > made) return end;
    }
    return MAX_EVALUATIONS;
}
static_assert(next_stopping_point(0) == 25 && next_stopping_point(25) == 49 &&
              next_stopping_point(193) == MAX_EVALUATIONS);

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

namespace detail {

using constants::largest;  // no difference measured yet

// One integral's running state from level to level, and the stopping rule.
//
// Stopping rule: with d the difference between the halved previous sum and
// the new level's contribution, the estimate is |d|^2 when the logarithms of
// successive |d| have a ratio strictly between 1.9 and 2.1 (the quadratic
// convergence of the trapezoidal rule on an analytic integrand), else |d|;
// the loop stops once the estimate is below target/4 in the t-variable.  An
// exact zero difference stops it at once.  The first test follows level 2:
// the sums of levels 0 and 1 are too coarse to judge convergence.
struct Progress {
    double integral;  // in the t-variable; starts as pi times the centre value
    double previous = largest;
    // log(previous), kept from the test that formed it: the same call on the
    // same operand, made once (the first test has to form it).
    double log_previous = 0.0;
    bool have_log_previous = false;
    double estimate = largest;

    // Takes in one level's weighted sum, `evaluations` being the count with
    // that level; true once the integral has converged (the loop stops).
    [[nodiscard]] bool add_level(double sum, std::uint32_t evaluations, double tau) noexcept {
        const double half = integral * 0.5;
        const double difference = half - sum;
        const double delta = std::fabs(difference);
        integral = half + sum;
        if (evaluations < FIRST_TESTED) {
            previous = delta;
            return false;
        }
        if (difference == 0.0) {
            estimate = 0.0;
            return true;
        }
        // A NaN ratio fails both comparisons and keeps the linear estimate.
        const double log_delta = std::log(delta);
        if (!have_log_previous) log_previous = std::log(previous);
        const double ratio = log_delta / log_previous;
        estimate = (1.9 < ratio && ratio < 2.1) ? delta * delta : delta;
        if (estimate < tau) return true;
        previous = delta;
        log_previous = log_delta;
        have_log_previous = true;
        return false;
    }

    [[nodiscard]] QuadratureResult result(double h, std::uint32_t evaluations) const noexcept {
        return {h * estimate, h * integral, evaluations};
    }
};

}  // namespace detail

// integrate_indexed(f, a, b, target): f(index, x) is called with x the
// index-th entry of evaluation_points(a, b), in increasing index; the
// stopping rule is detail::Progress's.
template <class F>
[[nodiscard]] QuadratureResult integrate_indexed(F&& f, double a, double b, double target) {
    const double mid = (a + b) * 0.5;
    const double h = (b - a) * 0.5;
    const double tau = (target * 0.25) / h;

    std::size_t index = 0;
    // The centre node's weight is pi/2 at level 0 (step 1).  The sum starts
    // at twice that term, pi f(mid), because every level begins by halving
    // the previous sum (the step halves); level 0 thus halves it to its own
    // centre term, (pi/2) f(mid), exactly (halving a double is exact short
    // of the subnormal range).
    detail::Progress progress{constants::pi * detail::guard(f(index++, detail::centre(mid, h)))};
    std::uint32_t evaluations = 1;
    for (const auto& level : NODE_LEVELS) {
        double sum = 0.0;
        for (const Node& node : level) {
            const double plus = detail::guard(f(index++, mid + h * node.abscissa));
            const double minus = detail::guard(f(index++, mid - h * node.abscissa));
            sum += node.weight * (plus + minus);
        }
        evaluations += 2 * static_cast<std::uint32_t>(level.size());
        if (progress.add_level(sum, evaluations, tau)) break;
    }
    return progress.result(h, evaluations);
}

// integrate_tables(values, a, b, target): W integrals at once, integrand k
// given by its values at the evaluation points, values[index][k].  Result k
// is, bit for bit, integrate_indexed of [&](std::size_t i, double) { return
// values[i][k]; }: each lane makes the same operations in the same order and
// stops at the same level, its result fixed there while the other lanes go
// on.  The lanes' sums are independent chains of additions, side by side in
// memory, so that they fill vector lanes and hide the latency of each
// addition, which bounds a single integral.
template <std::size_t W>
[[nodiscard]] std::array<QuadratureResult, W> integrate_tables(
    const std::array<std::array<double, W>, MAX_EVALUATIONS>& values, double a, double b,
    double target) {
    const double h = (b - a) * 0.5;
    const double tau = (target * 0.25) / h;

    std::array<detail::Progress, W> progress;
    for (std::size_t k = 0; k < W; ++k) progress[k] = {constants::pi * detail::guard(values[0][k])};
    std::array<QuadratureResult, W> results;
    std::array<bool, W> done{};
    std::size_t running = W;
    std::size_t index = 1;
    std::uint32_t evaluations = 1;
    for (const auto& level : NODE_LEVELS) {
        std::array<double, W> sum{};
        for (const Node& node : level) {
            for (std::size_t k = 0; k < W; ++k) {
                const double plus = detail::guard(values[index][k]);
                const double minus = detail::guard(values[index + 1][k]);
                sum[k] += node.weight * (plus + minus);
            }
            index += 2;
        }
        evaluations += 2 * static_cast<std::uint32_t>(level.size());
        for (std::size_t k = 0; k < W; ++k) {
            if (done[k] || !progress[k].add_level(sum[k], evaluations, tau)) continue;
            results[k] = progress[k].result(h, evaluations);
            done[k] = true;
            --running;
        }
        if (running == 0) return results;
    }
    for (std::size_t k = 0; k < W; ++k) {
        if (!done[k]) results[k] = progress[k].result(h, evaluations);
    }
    return results;
}

// integrate(f, a, b, target): the integral of f over [a, b] to the absolute
// error target, f a callable from double to double.
template <class F>
[[nodiscard]] QuadratureResult integrate(F&& f, double a, double b, double target) {
    return integrate_indexed([&f](std::size_t, double x) { return f(x); }, a, b, target);
}

}  // namespace tavlomer::quadrature::double_exponential
