// A limb-darkened source as a stack of thin rings (Heyrovsky 2003): the ring
// magnification R(x) at separation l_i, weighted with a radial brightness
// profile and integrated over the ring radius x.
//
//   A_i = \int_0^1 (x 2pi) (R(x) + (x/2) R'(x)) profile(x) dx / normalisation
//
// R' is the central difference (R(x + e) - R(x - e)) / 2e with the step
// e = (1 + |x|) CBRT_EPS.  Three ring evaluations per point, 385 points per
// separation: the elliptic integrals are the whole cost.
#include <array>
#include <cstddef>
#include <limits>
#include <utility>

#include "lib/models/integrated.hpp"
#include "lib/models/ring.hpp"
#include "lib/models/ring_batch.hpp"

namespace tavlomer::models {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A failed ring evaluation becomes NaN, which the quadrature counts as 0: no
// failure leaves the integral.
double value_or_nan(const Result<double>& a) noexcept { return a ? *a : nan; }

// The integrand at one point from its ring values R(x), R(x + e), R(x - e).
double ring_integrand(const NodeSample& s, double a, double a_plus, double a_minus) noexcept {
    const double derivative = (a_plus - a_minus) / s.two_e;
    return (s.x_2pi * (a + s.x_half * derivative)) * s.profile;
}

// The integrand of one separation over a stretch of points
// (integrate_over_nodes_by_stretch), the points' three rings queued in a
// RingBatch and evaluated a batch at a time.
//
// What cannot count is not evaluated.  Where one of a point's three rings
// takes the general form with a NaN parameter m (RingSetup::certainly_nan),
// that ring's value is NaN or a failure, which becomes NaN here; NaN then
// passes through the difference, the sum and the products, so the point's
// integrand is NaN whatever the other two rings give.  The point's value is
// therefore NaN without any ring evaluated: the quadrature receives a NaN
// either way, and its guard turns every NaN into the same +0.0, so its
// running sums, signs of zero included, are unchanged.  This happens at the
// smallest abscissae, where x - e < 0: with l > 0 the product l (x - e) is
// negative, so is (l r)/d, and its square root is NaN, for every separation
// from 0.001 (nearer, the near-ring band takes no square root) up to about
// 1e150 (beyond, d overflows and the quotient is -0).  The test is on the
// computed m itself, so it holds wherever its condition does.  These are
// about 60 of the 385 points, each of which would otherwise cost a full run
// of the Carlson duplication on NaN arguments.
class RingIntegrand {
public:
    RingIntegrand(const NodeTable& nodes, RingBatch& batch, double separation) noexcept
        : nodes_(nodes), batch_(batch), separation_(separation) {}

    void operator()(std::size_t first, std::size_t last, NodeValues& values) noexcept {
        const RingLens& lens = batch_.lens();
        for (std::size_t i = first; i < last; ++i) {
            const NodeSample& s = nodes_[i];
            // The ring at x - e first: it is the one that can be NaN.
            const RingSetup minus = ring_setup(lens, separation_, s.x_minus_e);
            if (minus.certainly_nan()) {
                values[i] = nan;
                continue;
            }
            const RingSetup centre = ring_setup(lens, separation_, s.x);
            const RingSetup plus = ring_setup(lens, separation_, s.x_plus_e);
            if (centre.certainly_nan() || plus.certainly_nan()) {
                values[i] = nan;
                continue;
            }
            if (batch_.room() < rings_per_point) finish(values);
            batch_.add(centre);
            batch_.add(plus);
            batch_.add(minus);
            pending_[pending_count_++] = i;
        }
        finish(values);
    }

private:
    static constexpr std::size_t rings_per_point = 3;

    // Evaluates the queued rings and forms their points' values: the k-th
    // queued point's rings are in slots 3k, 3k + 1, 3k + 2.
    void finish(NodeValues& values) noexcept {
        batch_.evaluate();
        for (std::size_t k = 0; k < pending_count_; ++k) {
            const std::size_t slot = rings_per_point * k;
            values[pending_[k]] =
                ring_integrand(nodes_[pending_[k]], value_or_nan(batch_[slot]),
                               value_or_nan(batch_[slot + 1]), value_or_nan(batch_[slot + 2]));
        }
        batch_.clear();
        pending_count_ = 0;
    }

    const NodeTable& nodes_;
    RingBatch& batch_;
    double separation_;
    std::array<std::size_t, RingBatch::capacity / rings_per_point> pending_;
    std::size_t pending_count_ = 0;
};

}  // namespace

std::vector<double> integrated_heyrovsky_on_nodes(std::vector<double> l, const NodeTable& nodes,
                                                  double re, double rstar, double normalisation) {
    RingBatch batch(RingLens::from_radii(re, rstar));
    for (double& li : l) {
        RingIntegrand integrand(nodes, batch, li);
        li = integrate_over_nodes_by_stretch(integrand) / normalisation;
    }
    return l;
}

std::vector<double> _integrated_heyrovsky_magnification(std::vector<double> l,
                                                        BrightnessProfile profile, double re,
                                                        double rstar, double normalisation) {
    return integrated_heyrovsky_on_nodes(std::move(l), *new_node_table(profile), re, rstar,
                                         normalisation);
}

ListResult integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_heyrovsky_magnification(
        std::move(l), [](double x) { return fixed_profile(x); }, re, rstar, FIXED_NORMALISATION);
}

// The profile is the caller's table of radii bl and brightnesses bf,
// interpolated linearly and dark outside the tabulated radii.
ListResult integrated_flux_map_heyrovsky_magnification(std::vector<double> l,
                                                       std::vector<double> bl,
                                                       std::vector<double> bf, double re,
                                                       double rstar) {
    return with_flux_map(integrated_heyrovsky_on_nodes, std::move(l), bl, bf, re, rstar);
}

}  // namespace tavlomer::models
