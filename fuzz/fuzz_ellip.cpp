// Carlson's symmetric integrals and the complete Legendre integrals on raw
// doubles.  Besides no undefined behaviour and termination of every loop (the
// arithmetic-geometric means have no step limit), each call is held to its
// domain rules, which decide the outcome exactly: a domain violation fails
// with its own message in the documented order of the checks, and a call
// inside the domain either succeeds or fails only with a convergence message
// of the duplication method (its own or an inner integral's).
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/constants.hpp"
#include "ellip/carlson.hpp"
#include "ellip/legendre.hpp"
#include "fuzz_input.hpp"

namespace carlson = tavlomer::ellip::carlson;
namespace legendre = tavlomer::ellip::legendre;
using tavlomer::Result;

namespace {

using tavlomer::constants::half_pi;

bool fails_with(const Result<double>& r, const char* text) {
    return !r && std::strcmp(r.error().text, text) == 0;
}

bool succeeds_or_fails_with(const Result<double>& r, const char* text) {
    return r || std::strcmp(r.error().text, text) == 0;
}

void check_known(const Result<double>& r) { FUZZ_CHECK(r || fuzz::known_message(r.error().text)); }

// fmin over the arguments and over their pairwise sums, NaN operands ignored
// as fmin ignores them: the inputs of the "non-negative, at most one zero" check.
bool negative_or_two_zero(double x, double y, double z) {
    const double least = std::fmin(std::fmin(x, y), z);
    const double least_sum = std::fmin(std::fmin(y + z, x + y), x + z);
    return least < 0.0 || least_sum == 0.0;
}

void rc(double x, double y) {
    const Result<double> r = carlson::elliprc(x, y);
    if (x < 0.0) {
        FUZZ_CHECK(fails_with(r, "elliprc: x must be non-negative."));
    } else if (y == 0.0) {
        FUZZ_CHECK(fails_with(r, "elliprc: y must be non-zero."));
    } else {
        FUZZ_CHECK(r.has_value());  // closed forms only: nothing else can fail
    }
}

void rf(double x, double y, double z) {
    const Result<double> r = carlson::elliprf(x, y, z);
    if (negative_or_two_zero(x, y, z)) {
        FUZZ_CHECK(fails_with(
            r, "elliprf: x, y, and z must be non-negative, and at most one can be zero."));
    } else {
        FUZZ_CHECK(succeeds_or_fails_with(r, "elliprf: Failed to converge."));
    }
}

void rd(double x, double y, double z) {
    const Result<double> r = carlson::elliprd(x, y, z);
    if (std::fmin(x, y) < 0.0 || x + y == 0.0) {
        FUZZ_CHECK(fails_with(
            r, "elliprd: x and y must be non-negative, and at most one can be zero."));
    } else if (z <= 0.0) {
        FUZZ_CHECK(fails_with(r, "elliprd: z must be positive"));
    } else {
        FUZZ_CHECK(succeeds_or_fails_with(r, "elliprd: Failed to converge."));
    }
}

void rj(double x, double y, double z, double p) {
    const Result<double> r = carlson::elliprj(x, y, z, p);
    if (negative_or_two_zero(x, y, z)) {
        FUZZ_CHECK(fails_with(
            r, "elliprj: x, y, and z must be non-negative, and at most one can be zero."));
    } else if (p == 0.0) {
        FUZZ_CHECK(fails_with(r, "elliprj: p must be non-zero"));
    } else {
        // The principal value for p < 0 goes through RJ, RF and RC again, so
        // any Carlson message may come back; never a Legendre one.
        check_known(r);
        FUZZ_CHECK(r || std::strncmp(r.error().text, "ellip", 5) != 0 ||
                   std::strncmp(r.error().text, "ellipr", 6) == 0);
    }
}

void k(double m) {
    const Result<double> r = legendre::ellipk(m);
    if (m > 1.0) {
        FUZZ_CHECK(fails_with(r, "ellipk: m must be less than 1."));
        return;
    }
    FUZZ_CHECK(r.has_value());
    if (m == 1.0) FUZZ_CHECK(*r == fuzz::inf);
    if (m == 0.0) FUZZ_CHECK(*r == half_pi);
}

void e(double m) {
    const Result<double> r = legendre::ellipe(m);
    if (m > 1.0) {
        FUZZ_CHECK(fails_with(r, "ellipe: m must be less than 1."));
        return;
    }
    FUZZ_CHECK(r.has_value());
    if (m == 1.0) FUZZ_CHECK(*r == 1.0);
    if (m == 0.0) FUZZ_CHECK(*r == half_pi);
}

void pi(double n, double m) {
    const Result<double> r = legendre::ellippi(n, m);
    if (m >= 1.0) {
        FUZZ_CHECK(fails_with(r, "ellippi: m must be less than 1."));
    } else if (n >= 1.0) {
        FUZZ_CHECK(fails_with(r, "ellippi: n must be less than 1."));
    } else {
        check_known(r);
        if (n == 0.0 && m == 0.0) FUZZ_CHECK(r && *r == half_pi);
        if (n == 0.0) {
            // Pi(0, m) is K(m), failure included.
            const Result<double> kk = legendre::ellipk(m);
            FUZZ_CHECK(r.has_value() == kk.has_value());
            if (r) FUZZ_CHECK(fuzz::same_bits(*r, *kk));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    while (!in.empty()) {
        switch (in.byte() % 7) {
            case 0: {
                const double x = in.number(), y = in.number();
                rc(x, y);
                break;
            }
            case 1: {
                const double x = in.number(), y = in.number(), z = in.number();
                rf(x, y, z);
                break;
            }
            case 2: {
                const double x = in.number(), y = in.number(), z = in.number();
                rd(x, y, z);
                break;
            }
            case 3: {
                const double x = in.number(), y = in.number(), z = in.number(),
                             p = in.number();
                rj(x, y, z, p);
                break;
            }
            case 4:
                k(in.number());
                break;
            case 5:
                e(in.number());
                break;
            default: {
                const double n = in.number(), m = in.number();
                pi(n, m);
                break;
            }
        }
    }
    return 0;
}
