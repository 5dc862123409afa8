// Tabulated piecewise-linear interpolation with an out-of-range rule.
#pragma once

#include <cstdint>
#include <span>

namespace tavlomer::interp {

// What a query outside [x[0], x[n-1]] returns.
struct OutOfRangeRule {
    std::uint32_t tag;  // 0 extend_segment, 1 edge_value, anything else fixed_value
    double value;       // the fixed value
};

inline constexpr std::uint32_t extend_segment = 0;
inline constexpr std::uint32_t edge_value = 1;
inline constexpr std::uint32_t fixed_value = 2;

[[nodiscard]] double interp(std::span<const double> x, std::span<const double> y, double xp,
                            OutOfRangeRule rule) noexcept;

}  // namespace tavlomer::interp
