// Adaptive Gauss-Kronrod quadrature of several integrands at once, over one
// or more pieces, each mapped by the caller onto [0, 1]: the panel with the
// largest error estimate (against its integral's tolerance) is bisected until
// every estimate meets its tolerance, the panels run out or a panel becomes
// too narrow to bisect.  The caller learns which: the sums come with their
// error estimates and how far the worst of them is from what was asked.
// Plain C++: no allocation (the panels live in a fixed array), no exceptions.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "quadrature/gauss_kronrod_rules.hpp"

namespace tavlomer::quadrature::gauss_kronrod {

// A panel's error estimate from the relative Gauss-Kronrod difference g:
// factor * scale * g^power, never more than the difference itself (scale is
// the panel's integral of |f|).  QUADPACK takes 200 and 1.5 for any
// integrand; a caller that has measured its integrands passes its own.
struct ErrorModel {
    double factor;
    double power;
};

// r^power, without the library's pow for the powers the models take (it is
// called once per panel and integrand: a few percent of a coarse quadrature).
inline double power_of(double r, double power) noexcept {
    if (power == 1.0) return r;
    if (power == 1.5) return r * std::sqrt(r);
    return std::pow(r, power);
}

// Panels in flight per integral: each bisection adds one.
inline constexpr std::size_t panel_limit = 48;
// A panel narrower than this (in the mapped variable, of width 1 per piece)
// is not bisected again: its nodes would round onto each other.
inline constexpr double narrowest_panel = 1e-12;
// The error estimates are asked for this share of the tolerance: they are
// estimates.
inline constexpr double tolerance_share = 0.5;

template <std::size_t K>
struct Panel {
    std::size_t piece;
    double lo;  // in the piece's mapped variable, within [0, 1]
    double hi;
    std::array<double, K> result;
    std::array<double, K> error;
};

// An integrand that is cheaper over many nodes at once (its work in SIMD
// lanes) offers `f.nodes(pieces, ws, values)`: values[i] at ws[i] of piece
// pieces[i], for the nodes of one or two panels in one call.
template <class F, std::size_t Count, std::size_t K>
concept Batched = requires(
    const F& f, const std::array<std::size_t, Count>& pieces, const std::array<double, Count>& ws,
    std::array<std::array<double, K>, Count>& values) { f.nodes(pieces, ws, values); };

// A panel's nodes in the mapped variable: the Kronrod pairs, then the centre.
template <std::size_t Pairs>
void panel_nodes(const Rule<Pairs>& rule, double lo, double hi, double* ws) noexcept {
    const double centre = 0.5 * (lo + hi);
    const double half = 0.5 * (hi - lo);
    ws[2 * Pairs] = centre;
    for (std::size_t j = 0; j < Pairs; ++j) {
        ws[2 * j] = centre - half * rule.x[j];
        ws[2 * j + 1] = centre + half * rule.x[j];
    }
}

// The panel's sums from its integrands' values at panel_nodes.
template <std::size_t K, std::size_t Pairs>
Panel<K> panel_sums(const Rule<Pairs>& rule, const ErrorModel& model, std::size_t piece, double lo,
                    double hi, const std::array<double, K>* values) noexcept {
    const double half = 0.5 * (hi - lo);
    Panel<K> out{piece, lo, hi, {}, {}};
    for (std::size_t k = 0; k < K; ++k) {
        const double middle = values[2 * Pairs][k];
        double kronrod = rule.w[Pairs] * middle;
        double gauss = rule.gauss_w[Pairs / 2] * middle;
        double scale = rule.w[Pairs] * std::fabs(middle);
        for (std::size_t j = 0; j < Pairs; ++j) {
            const double a = values[2 * j][k];
            const double b = values[2 * j + 1][k];
            kronrod += rule.w[j] * (a + b);
            scale += rule.w[j] * (std::fabs(a) + std::fabs(b));
            if (j % 2 == 1) gauss += rule.gauss_w[j / 2] * (a + b);
        }
        // The Kronrod result is far better than the Gauss one it is checked
        // against: the difference overstates its error, by a margin the
        // model describes.
        scale *= std::fabs(half);
        const double difference = std::fabs((kronrod - gauss) * half);
        double error = difference;
        if (scale > 0.0 && difference < scale) {
            error = std::min(difference,
                             model.factor * scale * power_of(difference / scale, model.power));
        }
        out.result[k] = kronrod * half;
        out.error[k] = error;
    }
    return out;
}

// One Gauss-Kronrod panel for K integrands evaluated together; `f(piece, w,
// values)` writes the K integrands (the map's Jacobian included) at w.
template <std::size_t K, std::size_t Pairs, class F>
Panel<K> panel(const Rule<Pairs>& rule, const ErrorModel& model, const F& f, std::size_t piece,
               double lo, double hi) noexcept {
    constexpr std::size_t n = 2 * Pairs + 1;
    std::array<double, n> ws;
    panel_nodes(rule, lo, hi, ws.data());
    std::array<std::array<double, K>, n> values;
    if constexpr (Batched<F, n, K>) {
        std::array<std::size_t, n> pieces;
        pieces.fill(piece);
        f.nodes(pieces, ws, values);
    } else {
        for (std::size_t i = 0; i < n; ++i) f(piece, ws[i], values[i]);
    }
    return panel_sums<K>(rule, model, piece, lo, hi, values.data());
}

// Two panels; a batched integrand takes all their nodes in one call.
template <std::size_t K, std::size_t Pairs, class F>
std::array<Panel<K>, 2> panel_pair(const Rule<Pairs>& rule, const ErrorModel& model, const F& f,
                                   std::array<std::size_t, 2> piece, std::array<double, 2> lo,
                                   std::array<double, 2> hi) noexcept {
    constexpr std::size_t n = 2 * Pairs + 1;
    if constexpr (Batched<F, 2 * n, K>) {
        std::array<double, 2 * n> ws;
        std::array<std::size_t, 2 * n> pieces;
        std::array<std::array<double, K>, 2 * n> values;
        for (std::size_t h = 0; h < 2; ++h) {
            panel_nodes(rule, lo[h], hi[h], ws.data() + h * n);
            std::fill_n(pieces.begin() + h * n, n, piece[h]);
        }
        f.nodes(pieces, ws, values);
        return {panel_sums<K>(rule, model, piece[0], lo[0], hi[0], values.data()),
                panel_sums<K>(rule, model, piece[1], lo[1], hi[1], values.data() + n)};
    } else {
        return {panel<K>(rule, model, f, piece[0], lo[0], hi[0]),
                panel<K>(rule, model, f, piece[1], lo[1], hi[1])};
    }
}

// What the integrals [first, last) of K must meet: relative accuracy tol
// (as far as the estimates tell), or, where floors is given, an absolute
// floors[k] * tol instead if that is larger (an integral passing through
// zero is measured against a scale of its own).  offsets[k], where given, is
// a part of integral k known in closed form, not among the panels' sums but
// part of what the accuracy is relative to.  Where floor_only[k] is true,
// integral k is measured against floors[k] * tol alone: its own size says
// nothing of the accuracy it needs (a term of a difference that cancels).
template <std::size_t K>
struct Accuracy {
    double tol;
    std::size_t first = 0;
    std::size_t last = K;
    const std::array<double, K>* floors = nullptr;
    const std::array<double, K>* offsets = nullptr;
    const std::array<bool, K>* floor_only = nullptr;
};

// The sums of all K integrals, their error estimates, and the largest ratio
// of an estimate to its tolerance among the integrals asked for: at most 1
// when the accuracy was met, more (or NaN, for a NaN integrand) when the
// panels ran out or became too narrow first.
template <std::size_t K>
struct Sums {
    std::array<double, K> value{};
    std::array<double, K> error{};
    double worst = 0.0;
};

// The panels of K integrals over the pieces, refined in stages: each stage
// bisects until its integrals meet their accuracy, and the next one goes on
// from the panels it leaves (so the first integrals are refined exactly as
// they would be alone, and the later ones reuse every node).
template <std::size_t K, std::size_t Pairs, class F>
class Panels {
public:
    Panels(const Rule<Pairs>& rule, const ErrorModel& model, const F& f,
           std::size_t piece_count) noexcept
        : rule_(rule), model_(model), f_(f) {
        std::size_t p = 0;
        for (; p + 1 < piece_count; p += 2) {
            const std::array<Panel<K>, 2> two =
                panel_pair<K>(rule_, model_, f_, {p, p + 1}, {0.0, 0.0}, {1.0, 1.0});
            panels_[count_++] = two[0];
            panels_[count_++] = two[1];
        }
        if (p < piece_count) panels_[count_++] = panel<K>(rule_, model_, f_, p, 0.0, 1.0);
    }

    // The sums once [first, last) meet the accuracy, or as far as they got.
    Sums<K> refine(Accuracy<K> accuracy) noexcept {
        const double asked = accuracy.tol * tolerance_share;
        for (;;) {
            Sums<K> sums;
            for (std::size_t i = 0; i < count_; ++i) {
                for (std::size_t k = 0; k < K; ++k) {
                    sums.value[k] += panels_[i].result[k];
                    sums.error[k] += panels_[i].error[k];
                }
            }
            bool met = true;
            std::array<double, K> allowed{};
            for (std::size_t k = accuracy.first; k < accuracy.last; ++k) {
                const double whole =
                    accuracy.offsets ? sums.value[k] + (*accuracy.offsets)[k] : sums.value[k];
                allowed[k] = accuracy.floor_only && (*accuracy.floor_only)[k]
                                 ? 0.0
                                 : asked * std::fabs(whole);
                if (accuracy.floors)
                    allowed[k] = std::max(allowed[k], asked * (*accuracy.floors)[k]);
                if (!(sums.error[k] <= allowed[k])) met = false;
            }
            if (met) return sums;
            // The panel whose error estimate weighs most against its
            // integral's tolerance.
            std::size_t worst = 0;
            double worst_share = -1.0;
            for (std::size_t i = 0; i < count_; ++i) {
                double share = 0.0;
                for (std::size_t k = accuracy.first; k < accuracy.last; ++k) {
                    const double s = allowed[k] > 0.0 ? panels_[i].error[k] / allowed[k]
                                                      : (panels_[i].error[k] > 0.0 ? 1e300 : 0.0);
                    share = std::max(share, s);
                }
                if (share > worst_share) {
                    worst_share = share;
                    worst = i;
                }
            }
            const Panel<K> old = panels_[worst];
            const double mid = 0.5 * (old.lo + old.hi);
            if (count_ == panel_limit || !(old.hi - old.lo > narrowest_panel)) {  // also for NaN
                sums.worst = shortfall(sums, allowed, accuracy);
                return sums;
            }
            auto [left, right] = panel_pair<K>(rule_, model_, f_, {old.piece, old.piece},
                                               {old.lo, mid}, {mid, old.hi});
            // The halves' sum differs from the whole by about the whole's
            // error, far more than the halves' own: a bound for each half too.
            for (std::size_t k = 0; k < K; ++k) {
                const double change =
                    0.5 * std::fabs(old.result[k] - left.result[k] - right.result[k]);
                left.error[k] = std::min(left.error[k], change);
                right.error[k] = std::min(right.error[k], change);
            }
            panels_[worst] = left;
            panels_[count_++] = right;
        }
    }

private:
    // How far the worst integral is from its tolerance (the full tolerance,
    // not the share the estimates were asked for).
    static double shortfall(const Sums<K>& sums, const std::array<double, K>& allowed,
                            const Accuracy<K>& accuracy) noexcept {
        double worst = 0.0;
        for (std::size_t k = accuracy.first; k < accuracy.last; ++k) {
            const double ratio = sums.error[k] * tolerance_share / allowed[k];
            worst = std::isnan(ratio) || ratio > worst ? ratio : worst;
            if (std::isnan(worst)) break;
        }
        return worst;
    }

    const Rule<Pairs>& rule_;
    const ErrorModel& model_;
    const F& f_;
    std::array<Panel<K>, panel_limit> panels_;
    std::size_t count_ = 0;
};

}  // namespace tavlomer::quadrature::gauss_kronrod
