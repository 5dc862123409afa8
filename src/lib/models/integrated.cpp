// The per-call tables shared by the profile-integrated models: the fixed
// limb-darkening profile, the quadrature points with their central-difference
// steps and brightnesses, and the flux normalisation of a tabulated profile.
#include "lib/models/integrated.hpp"

#include <cmath>
#include <memory>

#include "interp/interp.hpp"
#include "lib/models/ring.hpp"
#include "numdiff/constants.hpp"

namespace tavlomer::models {

double fixed_profile(double x) noexcept {
    constexpr double coefficient = -0.6;  // linear limb darkening, u = 0.6
    return 1.0 + (1.0 - std::sqrt(1.0 - x * x)) * coefficient;
}

namespace {

void fill_node_table(NodeTable& nodes, BrightnessProfile profile) {
    const double cbrt_eps = numdiff::CBRT_EPS;
    const auto points = quadrature::double_exponential::evaluation_points(0.0, 1.0);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const double x = points[i];
        // The step of the disk integrand is written (|x| + 1) * CBRT_EPS and
        // that of the ring integrand (1 + |x|) * CBRT_EPS: one double, as
        // addition commutes exactly.
        const double e = (1.0 + std::fabs(x)) * cbrt_eps;
        nodes[i] = {x, x * two_pi, x * 0.5, e, x + e, x - e, e + e, profile(x)};
    }
}

// A flux map's profile: outside the tabulated radii it is dark.
auto flux_map_profile(std::span<const double> bl, std::span<const double> bf) {
    static constexpr interp::OutOfRangeRule dark{interp::fixed_value, 0.0};
    return [bl, bf](double x) { return interp::interp(bl, bf, x, dark); };
}

}  // namespace

NodeTablePtr new_node_table(BrightnessProfile profile) {
    auto nodes = std::make_unique_for_overwrite<NodeTable>();
    fill_node_table(*nodes, profile);
    return nodes;
}

NodeTable make_node_table(BrightnessProfile profile) {
    NodeTable nodes;
    fill_node_table(nodes, profile);
    return nodes;
}

double flux_normalisation(const NodeTable& nodes) {
    return integrate_over_nodes(
        [&nodes](std::size_t i) { return nodes[i].x_2pi * nodes[i].profile; });
}

NodeTablePtr new_flux_map_node_table(std::span<const double> bl, std::span<const double> bf) {
    return new_node_table(flux_map_profile(bl, bf));
}

NodeTable flux_map_node_table(std::span<const double> bl, std::span<const double> bf) {
    return make_node_table(flux_map_profile(bl, bf));
}

}  // namespace tavlomer::models
