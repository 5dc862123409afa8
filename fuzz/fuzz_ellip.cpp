// Carlson's symmetric integrals and the complete Legendre integrals on raw
// doubles.  Besides no undefined behaviour and termination of every loop (the
// arithmetic-geometric means have no step limit), each call is held to its
// domain rules, which decide the outcome exactly: a domain violation fails
// with its own message in the documented order of the checks, and a call
// inside the domain either succeeds or fails only with a convergence message
// of the duplication method (its own or an inner integral's).
//
// Every argument tuple is also gathered into one batch per integral, and the
// batch kernels of every target this processor runs (ellip/batch.hpp) must
// give each element exactly the scalar kernel's result: the same bits, or the
// same failure text.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "common/constants.hpp"
#include "ellip/batch.hpp"
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
        FUZZ_CHECK(
            fails_with(r, "elliprd: x and y must be non-negative, and at most one can be zero."));
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

namespace batch = tavlomer::ellip::batch;

// The arguments of one integral's calls, one column per parameter.
template <std::size_t Arity>
struct Batch {
    std::array<std::vector<double>, Arity> columns;
    template <class... Args>
    void add(Args... args) {
        std::size_t k = 0;
        (columns[k++].push_back(args), ...);
    }
};

bool same_result(const Result<double>& a, const Result<double>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (a) return std::memcmp(&*a, &*b, sizeof(double)) == 0;
    return std::strcmp(a.error().text, b.error().text) == 0;
}

// Runs `kernel` of every available target over the batch and compares each
// element with `scalar` on the same arguments.
template <std::size_t Arity, class Scalar, class Kernel>
void check_batch(const Batch<Arity>& b, Scalar scalar, Kernel kernel) {
    const std::size_t n = b.columns[0].size();
    std::vector<Result<double>> out(n);
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        for (const batch::Kernels* target : batch::available()) {
            kernel(*target, batch::Out(out), batch::In(b.columns[K])...);
            for (std::size_t i = 0; i < n; ++i)
                FUZZ_CHECK(same_result(out[i], scalar(b.columns[K][i]...)));
        }
    }(std::make_index_sequence<Arity>{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    Batch<2> rc_batch, pi_batch;
    Batch<3> rf_batch, rd_batch;
    Batch<4> rj_batch;
    Batch<1> k_batch, e_batch;
    while (!in.empty()) {
        switch (in.byte() % 7) {
            case 0: {
                const double x = in.number(), y = in.number();
                rc(x, y);
                rc_batch.add(x, y);
                break;
            }
            case 1: {
                const double x = in.number(), y = in.number(), z = in.number();
                rf(x, y, z);
                rf_batch.add(x, y, z);
                break;
            }
            case 2: {
                const double x = in.number(), y = in.number(), z = in.number();
                rd(x, y, z);
                rd_batch.add(x, y, z);
                break;
            }
            case 3: {
                const double x = in.number(), y = in.number(), z = in.number(), p = in.number();
                rj(x, y, z, p);
                rj_batch.add(x, y, z, p);
                break;
            }
            case 4: {
                const double m = in.number();
                k(m);
                k_batch.add(m);
                break;
            }
            case 5: {
                const double m = in.number();
                e(m);
                e_batch.add(m);
                break;
            }
            default: {
                const double n = in.number(), m = in.number();
                pi(n, m);
                pi_batch.add(n, m);
                break;
            }
        }
    }
    using K = const batch::Kernels&;
    using batch::In;
    using batch::Out;
    check_batch(rc_batch, carlson::elliprc, [](K k, Out o, In x, In y) { k.elliprc(x, y, o); });
    check_batch(rf_batch, carlson::elliprf,
                [](K k, Out o, In x, In y, In z) { k.elliprf(x, y, z, o); });
    check_batch(rd_batch, carlson::elliprd,
                [](K k, Out o, In x, In y, In z) { k.elliprd(x, y, z, o); });
    check_batch(rj_batch, carlson::elliprj,
                [](K k, Out o, In x, In y, In z, In p) { k.elliprj(x, y, z, p, o); });
    check_batch(k_batch, legendre::ellipk, [](K k, Out o, In m) { k.ellipk(m, o); });
    check_batch(e_batch, legendre::ellipe, [](K k, Out o, In m) { k.ellipe(m, o); });
    check_batch(pi_batch, legendre::ellippi, [](K k, Out o, In n, In m) { k.ellippi(n, m, o); });
    return 0;
}
