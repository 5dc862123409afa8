// Placeholder: the physical magnification is being written.
#include "physics/magnification.hpp"

#include <limits>

namespace tavlomer::physics {

double uniform(double, double) noexcept { return std::numeric_limits<double>::quiet_NaN(); }

void basis_flux(const Basis&, std::span<double> flux) noexcept {
    for (double& f : flux) f = std::numeric_limits<double>::quiet_NaN();
}

void basis_magnified_flux(const Basis&, double, double, double, std::span<double> out) noexcept {
    for (double& f : out) f = std::numeric_limits<double>::quiet_NaN();
}

}  // namespace tavlomer::physics
