// Turns libFuzzer's bytes into the doubles, counts and tables the kernels and
// models take, and holds the checks every harness shares.
//
// Raw bit patterns alone rarely hit the values where the numerics branch (an
// exact 0, 1 or m = 1, a NaN, a table of equal abscissae, a separation just
// inside a band edge), so each double starts with a selector byte: a value
// from a table of awkward doubles, a small "ordinary" value, a raw 8-byte
// pattern, or a neighbour of the previous value a few ulps away.  Every input
// decodes to something: missing bytes read as zeros.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "common/constants.hpp"

namespace fuzz {

// Ends the run with a report; libFuzzer keeps the input that got here.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzz::fail(#condition, __FILE__, __LINE__))

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Values where the kernels and models change branch or lose range.
inline constexpr std::array<double, 40> awkward = {
    0.0,
    -0.0,
    1.0,
    -1.0,
    2.0,
    0.5,
    3.0,
    -0.5,
    nan,
    -nan,
    inf,
    -inf,
    5e-324,  // smallest subnormal
    -5e-324,
    2.2250738585072014e-308,  // smallest normal
    tavlomer::constants::largest,
    -tavlomer::constants::largest,
    tavlomer::constants::epsilon,
    0.9999999999999999,  // 1 - 2^-53, the largest double below 1
    1.0000000000000002,  // 1 + 2^-52
    1e-05,               // near-limb band of the disk
    0.001,               // near-ring band of the ring
    1.001,
    0.999,
    1e-300,
    1e300,
    1e-16,
    1e-10,
    1e10,
    100.0,
    6.0554544523933395e-06,  // cube root of machine epsilon
    2.5132741228717936,      // fixed flux normalisation
    0.1,
    0.3,
    1.2,
    5.0,
    -5.0,
    1e-200,
    1e200,
    4.0,
};

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    [[nodiscard]] std::uint8_t byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }

    [[nodiscard]] bool empty() const noexcept { return pos_ >= size_; }

    // A count in [0, most].
    [[nodiscard]] std::size_t count(std::size_t most) noexcept { return byte() % (most + 1); }

    [[nodiscard]] double number() noexcept {
        const std::uint8_t selector = byte();
        double v;
        if (selector < 96) {
            v = awkward[selector % awkward.size()];
        } else if (selector < 144) {
            // Small ordinary values: multiples of 1/8 in [-2, 4).
            v = static_cast<double>(static_cast<int>(byte() % 48) - 16) * 0.125;
        } else if (selector < 208) {
            std::uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(byte()) << (8 * i);
            std::memcpy(&v, &bits, sizeof v);
        } else {
            // A neighbour of the previous value, up to 8 ulps either way.
            v = previous_;
            const int steps = (selector & 7) + 1;
            const double toward = (selector & 8) ? inf : -inf;
            for (int i = 0; i < steps; ++i) v = std::nextafter(v, toward);
        }
        previous_ = v;
        return v;
    }

    [[nodiscard]] std::vector<double> list(std::size_t most) {
        std::vector<double> out(count(most));
        for (double& v : out) v = number();
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    double previous_ = 1.0;
};

// Every failure text the numerical kernels can produce.
inline constexpr std::array<std::string_view, 14> kernel_messages = {
    "elliprc: x must be non-negative.",
    "elliprc: y must be non-zero.",
    "elliprf: x, y, and z must be non-negative, and at most one can be zero.",
    "elliprf: Failed to converge.",
    "elliprd: x and y must be non-negative, and at most one can be zero.",
    "elliprd: z must be positive",
    "elliprd: Failed to converge.",
    "elliprj: x, y, and z must be non-negative, and at most one can be zero.",
    "elliprj: p must be non-zero",
    "elliprj: Fail to converge",
    "ellipk: m must be less than 1.",
    "ellipe: m must be less than 1.",
    "ellippi: m must be less than 1.",
    "ellippi: n must be less than 1.",
};

[[nodiscard]] inline bool known_message(const char* text) {
    if (text == nullptr) return false;
    for (std::string_view m : kernel_messages)
        if (m == text) return true;
    return false;
}

[[nodiscard]] inline bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

}  // namespace fuzz
