// The tanh-sinh rule with arbitrary bounds, targets and integrand values
// (NaN, infinities, huge and subnormal values among them).  Checked: the
// integrand is called exactly `evaluations` times, with consecutive indices,
// at exactly the points evaluation_points lists; the count is one the level
// structure allows (the rule stops only after a whole level); and an integrand
// whose every value is zero or non-finite integrates to zero wherever the
// half-width is finite, since the guard counts a non-finite value as 0.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_input.hpp"
#include "quadrature/double_exponential.hpp"

namespace de = tavlomer::quadrature::double_exponential;

namespace {

// The counts at which the rule may stop: after a whole level, from the first
// tested level on (the third).
bool possible_count(std::uint32_t evaluations) {
    std::size_t total = 1;
    std::size_t level = 0;
    for (const auto& nodes : de::NODE_LEVELS) {
        total += 2 * nodes.size();
        if (level++ >= 2 && total == evaluations) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const double a = in.number();
    const double b = in.number();
    const double target = in.number();
    std::vector<double> values = in.list(24);
    if (values.empty()) values.push_back(0.0);
    const bool linear = in.byte() & 1;  // else the values cycle by index

    const auto points = de::evaluation_points(a, b);
    std::size_t calls = 0;
    bool only_zero_or_non_finite = true;
    const auto integrand = [&](std::size_t index, double x) {
        FUZZ_CHECK(index == calls);
        FUZZ_CHECK(index < de::MAX_EVALUATIONS);
        FUZZ_CHECK(fuzz::same_bits(x, points[index]));
        ++calls;
        const double v = linear ? values[index % values.size()] * x : values[index % values.size()];
        if (std::isfinite(v) && v != 0.0) only_zero_or_non_finite = false;
        return v;
    };
    const de::QuadratureResult q = de::integrate_indexed(integrand, a, b, target);
    FUZZ_CHECK(calls == q.evaluations);
    FUZZ_CHECK(possible_count(q.evaluations));
    if (only_zero_or_non_finite && std::isfinite((b - a) * 0.5)) FUZZ_CHECK(q.integral == 0.0);

    // The plain form makes the same calls and returns the same bits.
    std::size_t plain_calls = 0;
    const de::QuadratureResult p = de::integrate(
        [&](double x) {
            const double v = linear ? values[plain_calls % values.size()] * x
                                    : values[plain_calls % values.size()];
            ++plain_calls;
            return v;
        },
        a, b, target);
    FUZZ_CHECK(plain_calls == calls && p.evaluations == q.evaluations);
    FUZZ_CHECK(fuzz::same_bits(p.integral, q.integral));
    FUZZ_CHECK(fuzz::same_bits(p.error_estimate, q.error_estimate));
    return 0;
}
