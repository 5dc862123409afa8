// PLACEHOLDER
#include "interp/interp.hpp"

namespace tavlomer::interp {
double interp(std::span<const double>, std::span<const double>, double, OutOfRangeRule) noexcept { return 0.0; }
}
