// Tanh-sinh (double-exponential) quadrature over a finite interval.
#pragma once

#include <cstdint>

namespace tavlomer::quadrature::double_exponential {

struct QuadratureResult {
    double error_estimate;      // estimated absolute error, scaled to [a, b]
    double integral;            // the integral over [a, b]
    std::uint32_t evaluations;  // integrand evaluations made
};

// integrate(f, a, b, target): f is called with points strictly inside (a, b).
// Defined below by the implementation (template).

}  // namespace tavlomer::quadrature::double_exponential
