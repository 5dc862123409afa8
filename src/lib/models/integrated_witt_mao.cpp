// The uniform-disk magnification (Witt & Mao 1994) weighted with a radial
// brightness profile and integrated over the source radius.
//
//   A_i = \int_0^1 (x 2pi) (M + (x/2) M'(x)) profile(x) dx / normalisation
//
// with M the uniform-disk magnification at separation l_i, taken as the same
// for every radius x >= 0 and 0 below, and M' its central difference.  So M'
// vanishes except within one step of x = 0, and each result is the disk value
// times the profile's weighted flux over the normalisation.
#include <utility>

#include "lib/models/integrated.hpp"

namespace tavlomer::models {

ListResult integrated_witt_mao_on_nodes(std::vector<double> l, const NodeTable& nodes, double re,
                                        double rstar, double normalisation) {
    // The elliptic integrals run once per separation, all before any
    // integration; a failure fails the call with nothing integrated.
    ListResult disk = witt_mao_magnification(std::move(l), re, rstar);
    if (!disk) return disk;
    for (double& a : *disk) {
        const double m_disk = a;
        const double integral = integrate_over_nodes([&nodes, m_disk](std::size_t i) {
            const NodeSample& s = nodes[i];
            double m = 0.0;
            double m_prime = 0.0;
            if (s.x >= 0.0) {
                m = m_disk;
                const double m_plus = s.x_plus_e >= 0.0 ? m_disk : 0.0;
                const double m_minus = s.x >= s.e ? m_disk : 0.0;
                m_prime = (m_plus - m_minus) / s.two_e;
            }
            return (s.x_2pi * (m + s.x_half * m_prime)) * s.profile;
        });
        a = integral / normalisation;
    }
    return disk;
}

ListResult _integrated_witt_mao_magnification(std::vector<double> l, BrightnessProfile profile,
                                              double re, double rstar, double normalisation) {
    return integrated_witt_mao_on_nodes(std::move(l), make_node_table(profile), re, rstar,
                                        normalisation);
}

ListResult integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_witt_mao_magnification(
        std::move(l), [](double x) { return fixed_profile(x); }, re, rstar, FIXED_NORMALISATION);
}

// The profile is the caller's table of radii bl and brightnesses bf,
// interpolated linearly and dark outside the tabulated radii.
ListResult integrated_flux_map_witt_mao_magnification(std::vector<double> l,
                                                      std::vector<double> bl,
                                                      std::vector<double> bf, double re,
                                                      double rstar) {
    return with_flux_map(integrated_witt_mao_on_nodes, std::move(l), bl, bf, re, rstar);
}

}  // namespace tavlomer::models
