// Exact signs of short sums of doubles and of their products, for deciding
// on which side of a boundary a law's coefficients lie without a rounding
// error.  Each product is split exactly into two doubles (a fused
// multiply-add gives the rounding error of a product), and the terms are
// accumulated into a nonoverlapping expansion by error-free additions
// (Shewchuk 1997, Discrete Comput. Geom. 18, 305: Grow-Expansion), whose
// largest nonzero component carries the sign of the exact sum.
//
// Exact as long as no product overflows and none falls below 2^-969, where
// its rounding error would itself be rounded; the callers keep their
// arguments well inside that range (law_table.hpp).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <initializer_list>

namespace tavlomer::physics::exact {

// a + b = s + e exactly (Knuth's two-sum).
struct Split {
    double s;
    double e;
};

[[nodiscard]] inline Split two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double bv = s - a;
    const double av = s - bv;
    return {s, (a - av) + (b - bv)};
}

[[nodiscard]] inline Split two_product(double a, double b) noexcept {
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}

// The sign (-1, 0, 1) of the exact sum of up to 16 doubles.
class Expansion {
public:
    void add(double term) noexcept {
        double carry = term;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            const Split split = two_sum(carry, parts_[i]);
            carry = split.s;
            if (split.e != 0.0) parts_[kept++] = split.e;
        }
        if (carry != 0.0) parts_[kept++] = carry;
        size_ = kept;
    }
    void add(Split split) noexcept {
        add(split.e);
        add(split.s);
    }
    // The components grow in magnitude: the last one decides.
    [[nodiscard]] int sign() const noexcept {
        if (size_ == 0) return 0;
        return parts_[size_ - 1] > 0.0 ? 1 : -1;
    }

private:
    std::array<double, 16> parts_{};
    std::size_t size_ = 0;
};

// a + b <= c + slack, exactly.
[[nodiscard]] inline bool sum_at_most(double a, double b, double c, double slack) noexcept {
    Expansion e;
    e.add(c);
    e.add(slack);
    e.add(-a);
    e.add(-b);
    return e.sign() >= 0;
}

// (x + y)^2 <= p q + slack, exactly.
[[nodiscard]] inline bool square_at_most(double x, double y, double p, double q,
                                         double slack) noexcept {
    const Split t = two_sum(x, y);
    Expansion e;
    e.add(slack);
    e.add(two_product(p, q));
    for (const Split& term :
         {two_product(t.s, t.s), two_product(2.0 * t.s, t.e), two_product(t.e, t.e)}) {
        e.add(-term.s);
        e.add(-term.e);
    }
    return e.sign() >= 0;
}

}  // namespace tavlomer::physics::exact
