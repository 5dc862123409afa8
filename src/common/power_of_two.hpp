// Scaling by a power of two whose exponent is almost always 0.
#pragma once

#include <cmath>

namespace tavlomer {

// x 2^e, exactly as std::ldexp gives it (ldexp(x, 0) is x itself, NaN and
// signed zero included), without the library call where e = 0: the laws
// scale their results by exponents that are 0 but for extreme geometries
// and tables, and on a single point's call the calls cost about a tenth
// of the arithmetic around them.
[[nodiscard]] inline double times_power_of_two(double x, int e) noexcept {
    return e == 0 ? x : std::ldexp(x, e);
}

}  // namespace tavlomer
