// Tabulated interpolation on unsorted, degenerate, unequal-length and
// non-finite tables.  Each table is its own heap block of exactly its length,
// so AddressSanitizer sees any read past either table.  The documented
// outcomes that do not depend on the segment arithmetic are checked bit for
// bit: an empty table gives 0.0, a one-entry table its only ordinate, and a
// query below the first or above the last abscissa the out-of-range rule's
// edge or fixed value.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_input.hpp"
#include "interp/interp.hpp"

namespace ip = tavlomer::interp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::vector<double> x = in.list(12);
    const std::vector<double> y = in.list(12);
    std::uint32_t tag = in.byte();
    if (tag >= 3) {
        // Any other tag means a fixed value too, the full 32-bit range included.
        tag = 0;
        for (int i = 0; i < 4; ++i) tag |= static_cast<std::uint32_t>(in.byte()) << (8 * i);
    }
    const double value = in.number();

    while (!in.empty()) {
        const double xp = in.number();
        const double v = ip::interp(x, y, xp, {tag, value});
        const std::size_t n = x.size() < y.size() ? x.size() : y.size();
        if (n == 0) {
            FUZZ_CHECK(fuzz::same_bits(v, 0.0));
        } else if (n == 1) {
            FUZZ_CHECK(fuzz::same_bits(v, y[0]));
        } else if (tag != ip::extend_segment && (xp < x[0] || xp > x[n - 1])) {
            const double edge = xp < x[0] ? y[0] : y[n - 1];
            FUZZ_CHECK(fuzz::same_bits(v, tag == ip::edge_value ? edge : value));
        }
    }
    return 0;
}
