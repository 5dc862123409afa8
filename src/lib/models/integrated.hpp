// Profile-integrated magnifications: the uniform-disk and ring models weighted
// with a radial brightness profile of the source and integrated over the
// source radius x in [0, 1] with the tanh-sinh rule.  Internal to the models;
// the public entry points are in models.hpp.
//
// Every separation is integrated over the same 385 points of [0, 1], and the
// profile is pure, so everything that depends on the point alone (the point,
// its central-difference step, its flux weight and its brightness) is formed
// once per call in a NodeTable, each quantity exactly as the integrand would
// form it; the per-separation integrand only reads it back.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "lib/models/models.hpp"
#include "quadrature/double_exponential.hpp"

namespace tavlomer::models {

// A radial brightness profile: x (source radii) to relative surface
// brightness.  A non-owning reference to a callable, borrowed for one call.
class BrightnessProfile {
public:
    template <class F>
    BrightnessProfile(const F& f) noexcept  // NOLINT: implicit by design, like a function_ref
        : object_(&f),
          call_([](const void* o, double x) { return (*static_cast<const F*>(o))(x); }) {}

    double operator()(double x) const { return call_(object_, x); }

private:
    const void* object_;
    double (*call_)(const void*, double);
};

// Linear limb darkening with coefficient 0.6: 1 - 0.6 (1 - sqrt(1 - x^2)),
// formed in this order.
[[nodiscard]] double fixed_profile(double x) noexcept;

// The flux of fixed_profile, (x 2pi) P(x) integrated over [0, 1] by the
// quadrature at target 1e-16: 2.5132741228717936, just below 0.8 pi (whose
// double is 2.5132741228718345).  The quadrature's own value rather than the
// exact flux, so that the integration error cancels in the ratio.
inline constexpr double FIXED_NORMALISATION = 2.5132741228717936;

// Target absolute error of every profile integral.
inline constexpr double TARGET_ERROR = 1e-16;

// What the integrands need at one quadrature point of [0, 1].
struct NodeSample {
    double x;          // the point
    double x_2pi;      // x * 2pi
    double x_half;     // x * 0.5
    double e;          // central-difference step (1 + |x|) * CBRT_EPS
    double x_plus_e;   // x + e
    double x_minus_e;  // x - e
    double two_e;      // e + e
    double profile;    // profile(x)
};

// Indexed in the quadrature's evaluation order over [0, 1].
using NodeTable = std::array<NodeSample, quadrature::double_exponential::MAX_EVALUATIONS>;

// The models keep their NodeTable on the heap, one allocation per call: at
// 25 KiB beside the models' own buffers it would not fit the stack of a
// thread started with a small one (Python's threading.stack_size accepts
// 32 KiB).
using NodeTablePtr = std::unique_ptr<const NodeTable>;

[[nodiscard]] NodeTablePtr new_node_table(BrightnessProfile profile);
// The same by value, for callers with stack to spare.
[[nodiscard]] NodeTable make_node_table(BrightnessProfile profile);

// The flux (x 2pi) profile(x) over [0, 1], the normalisation of a tabulated
// profile.
[[nodiscard]] double flux_normalisation(const NodeTable& nodes);

// The integral over [0, 1] of the integrand value(index) by the quadrature at
// TARGET_ERROR, where index runs over the quadrature's points of [0, 1].
template <class Value>
[[nodiscard]] double integrate_over_nodes(Value&& value) {
    return quadrature::double_exponential::integrate_indexed(
               [&value](std::size_t index, double) { return value(index); }, 0.0, 1.0, TARGET_ERROR)
        .integral;
}

// Integrand values at every node, in the quadrature's order.
using NodeValues = std::array<double, quadrature::double_exponential::MAX_EVALUATIONS>;

// W integrands' values at every node: [node][integrand].
template <std::size_t W>
using NodeLaneValues =
    std::array<std::array<double, W>, quadrature::double_exponential::MAX_EVALUATIONS>;

// The integrals over [0, 1] of W integrands tabulated at every node, at
// TARGET_ERROR, taken together: element k is, bit for bit,
// integrate_over_nodes of [&](std::size_t i) { return values[i][k]; }.
template <std::size_t W>
[[nodiscard]] std::array<double, W> integrate_tables_over_nodes(const NodeLaneValues<W>& values) {
    const auto results =
        quadrature::double_exponential::integrate_tables<W>(values, 0.0, 1.0, TARGET_ERROR);
    std::array<double, W> integrals;
    for (std::size_t k = 0; k < W; ++k) integrals[k] = results[k].integral;
    return integrals;
}

// The same with the integrand values formed a stretch at a time, so that
// they can be formed in batches: fill(first, last, values) sets values[i] for
// first <= i < last.  A stretch runs from one of the quadrature's convergence
// tests to the next (next_stopping_point), so a quadrature that stops early
// has had no value formed beyond its last level.
template <class Fill>
[[nodiscard]] double integrate_over_nodes_by_stretch(Fill&& fill) {
    NodeValues values;
    std::size_t formed = 0;
    return integrate_over_nodes([&fill, &values, &formed](std::size_t index) {
        if (index == formed) {
            formed = quadrature::double_exponential::next_stopping_point(index);
            fill(index, formed, values);
        }
        return values[index];
    });
}

// A flux map as a NodeTable: the table's profile interp(bl, bf, x) with
// brightness 0.0 outside the tabulated radii, evaluated at every node.  The
// caller has checked that bl and bf have equal lengths.
[[nodiscard]] NodeTablePtr new_flux_map_node_table(std::span<const double> bl,
                                                   std::span<const double> bf);
[[nodiscard]] NodeTable flux_map_node_table(std::span<const double> bl, std::span<const double> bf);

// The integrated models proper, on a profile already tabulated at the nodes;
// each separation's integral is divided by normalisation.
[[nodiscard]] ListResult integrated_witt_mao_on_nodes(std::vector<double> l, const NodeTable& nodes,
                                                      double re, double rstar,
                                                      double normalisation);
[[nodiscard]] std::vector<double> integrated_heyrovsky_on_nodes(std::vector<double> l,
                                                                const NodeTable& nodes, double re,
                                                                double rstar, double normalisation);

// A flux map's profile and normalisation handed to on_nodes(l, nodes, re,
// rstar, normalisation), a model above.  The tables' lengths are checked
// before anything else, even for an empty l; the normalisation is the
// profile's flux, integrated once per call, before any separation.
template <class OnNodes>
[[nodiscard]] ListResult with_flux_map(OnNodes on_nodes, std::vector<double> l,
                                       std::span<const double> bl, std::span<const double> bf,
                                       double re, double rstar) {
    if (bl.size() != bf.size()) return std::unexpected(LengthMismatch{bl.size(), bf.size()});
    const NodeTablePtr nodes = new_flux_map_node_table(bl, bf);
    const double normalisation = flux_normalisation(*nodes);
    return on_nodes(std::move(l), *nodes, re, rstar, normalisation);
}

// The same with any profile: the routines behind the fixed-profile functions.
[[nodiscard]] ListResult _integrated_witt_mao_magnification(std::vector<double> l,
                                                            BrightnessProfile profile, double re,
                                                            double rstar, double normalisation);
[[nodiscard]] std::vector<double> _integrated_heyrovsky_magnification(std::vector<double> l,
                                                                      BrightnessProfile profile,
                                                                      double re, double rstar,
                                                                      double normalisation);

}  // namespace tavlomer::models
