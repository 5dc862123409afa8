// Step scale of the central differences.
#pragma once

#include <cmath>

#include "common/constants.hpp"

namespace tavlomer::numdiff {

// CBRT_EPS: the cube root of the double machine epsilon (about 6.0554544523933e-06),
// the step scale that balances truncation against rounding error in a central
// difference (Press et al., Numerical Recipes, 5.7).  Computed with cbrt once,
// at first use, under the thread-safe initialisation of a function-local static.
struct CbrtEps {
    [[nodiscard]] operator double() const noexcept {
        static const double value = std::cbrt(constants::epsilon);
        return value;
    }
};
inline constexpr CbrtEps CBRT_EPS{};

}  // namespace tavlomer::numdiff
