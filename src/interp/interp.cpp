// Piecewise-linear interpolation in a table of abscissae x and ordinates y.
//
// Of two tables of unequal length the first n = min(len(x), len(y)) entries
// take part, segment i joining (x[i], y[i]) to (x[i+1], y[i+1]) as the line
// c_i + s_i*xp.  The segment search scans the whole x table, so that a longer
// x than y still selects the segment the table's abscissae point to (clamped
// to the last one formed).  The table is neither sorted nor validated.
#include "interp/interp.hpp"

#include <algorithm>
#include <cstddef>

namespace tavlomer::interp {

namespace {

// Value of the out-of-range rule below x[0] (below = true) or above x[n-1].
double out_of_range(std::span<const double> y, std::size_t n, double extended, bool below,
                    OutOfRangeRule rule) noexcept {
    switch (rule.tag) {
        case extend_segment:
            return extended;
        case edge_value:
            return below ? y[0] : y[n - 1];
        default:
            return rule.value;
    }
}

}  // namespace

double interp(std::span<const double> x, std::span<const double> y, double xp,
              OutOfRangeRule rule) noexcept {
    const std::size_t n = std::min(x.size(), y.size());
    if (n == 0) return 0.0;
    if (n == 1) return y[0];

    // k = how many leading abscissae lie strictly below xp (a NaN on either
    // side ends the scan); the segment is the one ending at x[k] (the first
    // for k = 0, x's last index when every abscissa is below), clamped to
    // the segments that exist.
    std::size_t k = 0;
    while (k < x.size() && x[k] < xp) ++k;
    const std::size_t i = std::min(k == 0 ? 0 : k - 1, n - 2);

    // Only the selected segment's line is needed; the others would be formed
    // identically and left unused.  The value is intercept plus slope times
    // xp, not y[i] + s*(xp - x[i]): the two differ in the last bits.
    const double slope = (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
    const double intercept = y[i] - x[i] * slope;
    const double v = intercept + slope * xp;

    if (xp < x[0]) return out_of_range(y, n, v, true, rule);
    if (xp > x[n - 1]) return out_of_range(y, n, v, false, rule);
    return v;
}

}  // namespace tavlomer::interp
