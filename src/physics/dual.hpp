// A number with its derivatives in the separation u and the source radius
// rho: what the disk returns with its slopes, and, carried through the
// arithmetic (forward-mode differentiation), how the rare forms without
// slopes of their own (a source and separation both far below an Einstein
// radius) get exact ones, with no step size to choose.  Only what the disk
// needs is defined.
#pragma once

#include <cmath>

namespace tavlomer::physics {

struct Dual {
    double v = 0.0;   // the value
    double du = 0.0;  // d/du
    double dr = 0.0;  // d/drho
};

[[nodiscard]] inline double value(double x) noexcept { return x; }
[[nodiscard]] inline double value(const Dual& x) noexcept { return x.v; }

[[nodiscard]] inline Dual operator+(Dual a, Dual b) noexcept {
    return {a.v + b.v, a.du + b.du, a.dr + b.dr};
}
[[nodiscard]] inline Dual operator-(Dual a, Dual b) noexcept {
    return {a.v - b.v, a.du - b.du, a.dr - b.dr};
}
[[nodiscard]] inline Dual operator-(Dual a) noexcept { return {-a.v, -a.du, -a.dr}; }
[[nodiscard]] inline Dual operator*(Dual a, Dual b) noexcept {
    return {a.v * b.v, a.du * b.v + a.v * b.du, a.dr * b.v + a.v * b.dr};
}
// The value of every operation is the double operation's, to the bit, so
// that a value computed with derivatives is the value computed without.
[[nodiscard]] inline Dual operator/(Dual a, Dual b) noexcept {
    const double inverse = 1.0 / b.v;
    const double q = a.v / b.v;
    return {q, (a.du - q * b.du) * inverse, (a.dr - q * b.dr) * inverse};
}
[[nodiscard]] inline Dual operator+(Dual a, double b) noexcept { return {a.v + b, a.du, a.dr}; }
[[nodiscard]] inline Dual operator+(double a, Dual b) noexcept { return b + a; }
[[nodiscard]] inline Dual operator-(Dual a, double b) noexcept { return {a.v - b, a.du, a.dr}; }
[[nodiscard]] inline Dual operator-(double a, Dual b) noexcept { return {a - b.v, -b.du, -b.dr}; }
[[nodiscard]] inline Dual operator*(Dual a, double b) noexcept {
    return {a.v * b, a.du * b, a.dr * b};
}
[[nodiscard]] inline Dual operator*(double a, Dual b) noexcept { return b * a; }
[[nodiscard]] inline Dual operator/(Dual a, double b) noexcept {
    const double inverse = 1.0 / b;
    return {a.v / b, a.du * inverse, a.dr * inverse};
}
[[nodiscard]] inline Dual operator/(double a, Dual b) noexcept {
    const double inverse = 1.0 / b.v;
    const double q = a / b.v;
    return {q, -q * b.du * inverse, -q * b.dr * inverse};
}
inline Dual& operator+=(Dual& a, Dual b) noexcept { return a = a + b; }
inline Dual& operator/=(Dual& a, Dual b) noexcept { return a = a / b; }

[[nodiscard]] inline Dual sqrt(Dual a) noexcept {
    const double s = std::sqrt(a.v);
    const double half_inverse = 0.5 / s;
    return {s, a.du * half_inverse, a.dr * half_inverse};
}
[[nodiscard]] inline Dual fabs(Dual a) noexcept { return a.v < 0.0 ? -a : a; }

}  // namespace tavlomer::physics
