// The uniform-disk magnification (Witt & Mao 1994) weighted with a radial
// brightness profile and integrated over the source radius.
//
//   A_i = \int_0^1 (x 2pi) (M + (x/2) M'(x)) profile(x) dx / normalisation
//
// with M the uniform-disk magnification at separation l_i, taken as the same
// for every radius x >= 0 and 0 below, and M' its central difference.  So M'
// vanishes except within one step of x = 0, and each result is the disk value
// times the profile's weighted flux over the normalisation.
#include <array>
#include <cstddef>
#include <memory>
#include <utility>

#include "lib/models/integrated.hpp"

namespace tavlomer::models {

namespace {

constexpr std::size_t point_count = quadrature::double_exponential::MAX_EVALUATIONS;

// Separations integrated together: enough independent sums to hide the
// latency of an addition (four cycles on current processors).
constexpr std::size_t separations_together = 4;

// The integrand at one point, as defined: M(x - e) is M only once x >= e,
// M(x + e) once x + e >= 0, and below 0 the integrand has M = M' = 0.
double disk_integrand(const NodeSample& s, double m_disk) noexcept {
    double m = 0.0;
    double m_prime = 0.0;
    if (s.x >= 0.0) {
        m = m_disk;
        const double m_plus = s.x_plus_e >= 0.0 ? m_disk : 0.0;
        const double m_minus = s.x >= s.e ? m_disk : 0.0;
        m_prime = (m_plus - m_minus) / s.two_e;
    }
    return (s.x_2pi * (m + s.x_half * m_prime)) * s.profile;
}

// Beyond one step of 0 (x >= e) both one-sided values are M, and for a
// finite M the difference quotient (M - M)/(e + e) is +0: the integrand is
// (x 2pi)(M + 0) profile, bit for bit, without the division.  For an
// infinite or NaN M both forms are non-finite, which the quadrature counts as
// 0 alike.  Only the points short of one step (about 60 of the 385, all in
// (0, e)) need the division.  Per separation every point's value is formed
// before the quadrature: all of them first as beyond the step, in one
// vectorisable pass, then those short of it overwritten.  (The quadrature
// in practice runs all its levels here, so none of the 385 is wasted.)
struct StepZone {
    // Points with 0 <= x < e come first: there M(x + e) = M and M(x - e) = 0,
    // so M' = (M - 0)/(e + e) = M/(e + e) exactly.  Any other point short of
    // a step (x < 0, none over [0, 1]) follows and takes the general form.
    std::size_t rising = 0;
    std::size_t count = 0;
    // Entries beyond count are never read.
    std::array<std::size_t, point_count> point;  // the k-th such point
    // The rising points' quantities, side by side for a vectorisable loop.
    std::array<double, point_count> x_2pi, x_half, two_e, profile;
    // Every point's x 2pi and profile, likewise.
    std::array<double, point_count> all_x_2pi, all_profile;

    explicit StepZone(const NodeTable& nodes) noexcept {
        for (std::size_t i = 0; i < point_count; ++i) {
            all_x_2pi[i] = nodes[i].x_2pi;
            all_profile[i] = nodes[i].profile;
        }
        const auto is_rising = [](const NodeSample& s) {
            return s.x >= 0.0 && s.x_plus_e >= 0.0 && !(s.x >= s.e);
        };
        for (std::size_t i = 0; i < point_count; ++i) {
            const NodeSample& s = nodes[i];
            if (!is_rising(s)) continue;
            x_2pi[count] = s.x_2pi;
            x_half[count] = s.x_half;
            two_e[count] = s.two_e;
            profile[count] = s.profile;
            add(i);
        }
        rising = count;
        for (std::size_t i = 0; i < point_count; ++i) {
            if (!is_rising(nodes[i]) && !(nodes[i].x >= nodes[i].e)) add(i);
        }
    }

    void add(std::size_t i) noexcept { point[count++] = i; }
};

// The integrals of W separations at once (integrate_tables_over_nodes), their
// disk values a[0 .. W) overwritten with the results: the integrand values
// side by side at each point, every point first as beyond the step, then
// those short of it overwritten.
template <std::size_t W>
void integrate_together(const NodeTable& nodes, const StepZone& zone, double normalisation,
                        double* a, NodeLaneValues<W>& values) noexcept {
    std::array<double, W> m_disk;
    std::array<double, W> flat;
    for (std::size_t k = 0; k < W; ++k) {
        m_disk[k] = a[k];
        flat[k] = m_disk[k] + 0.0;
    }
    for (std::size_t i = 0; i < point_count; ++i) {
        for (std::size_t k = 0; k < W; ++k) {
            values[i][k] = (zone.all_x_2pi[i] * flat[k]) * zone.all_profile[i];
        }
    }
    for (std::size_t j = 0; j < zone.rising; ++j) {
        for (std::size_t k = 0; k < W; ++k) {
            const double m_prime = m_disk[k] / zone.two_e[j];
            values[zone.point[j]][k] =
                (zone.x_2pi[j] * (m_disk[k] + zone.x_half[j] * m_prime)) * zone.profile[j];
        }
    }
    for (std::size_t j = zone.rising; j < zone.count; ++j) {
        for (std::size_t k = 0; k < W; ++k) {
            values[zone.point[j]][k] = disk_integrand(nodes[zone.point[j]], m_disk[k]);
        }
    }
    const auto integrals = integrate_tables_over_nodes(values);
    for (std::size_t k = 0; k < W; ++k) a[k] = integrals[k] / normalisation;
}

}  // namespace

ListResult integrated_witt_mao_on_nodes(std::vector<double> l, const NodeTable& nodes, double re,
                                        double rstar, double normalisation) {
    // The elliptic integrals run once per separation, all before any
    // integration; a failure fails the call with nothing integrated.
    ListResult disk = witt_mao_magnification(std::move(l), re, rstar);
    if (!disk) return disk;
    // Groups of separations_together separations, then the rest one by one.
    // The zone and the values (33 KiB) are on the heap, like the NodeTable.
    struct Buffers {
        NodeLaneValues<separations_together> group;
        NodeLaneValues<1> single;
    };
    const auto zone = std::make_unique<const StepZone>(nodes);
    const auto buffers = std::make_unique_for_overwrite<Buffers>();
    std::vector<double>& a = *disk;
    const std::size_t grouped = a.size() - a.size() % separations_together;
    for (std::size_t first = 0; first < grouped; first += separations_together) {
        integrate_together(nodes, *zone, normalisation, &a[first], buffers->group);
    }
    for (std::size_t i = grouped; i < a.size(); ++i) {
        integrate_together(nodes, *zone, normalisation, &a[i], buffers->single);
    }
    return disk;
}

ListResult _integrated_witt_mao_magnification(std::vector<double> l, BrightnessProfile profile,
                                              double re, double rstar, double normalisation) {
    return integrated_witt_mao_on_nodes(std::move(l), *new_node_table(profile), re, rstar,
                                        normalisation);
}

ListResult integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_witt_mao_magnification(
        std::move(l), [](double x) { return fixed_profile(x); }, re, rstar, FIXED_NORMALISATION);
}

// The profile is the caller's table of radii bl and brightnesses bf,
// interpolated linearly and dark outside the tabulated radii.
ListResult integrated_flux_map_witt_mao_magnification(std::vector<double> l, std::vector<double> bl,
                                                      std::vector<double> bf, double re,
                                                      double rstar) {
    return with_flux_map(integrated_witt_mao_on_nodes, std::move(l), bl, bf, re, rstar);
}

}  // namespace tavlomer::models
