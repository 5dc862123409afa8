// The lane kernels of one vector target (see batch_lanes.hpp), written once
// for any width: batch_sse2.cpp, batch_avx2.cpp and batch_avx512.cpp each
// define TAVLOMER_SIMD_WIDTH (doubles per register) and TAVLOMER_SIMD_LANES
// (the LaneKernels object to define), then include this file, and CMake
// compiles each with its own instruction set (and never with fused
// multiply-add: -ffp-contract=off holds for them as for every other file).
//
// Why the lanes equal the scalar kernels bit for bit: a vector add, subtract,
// multiply, divide and square root is correctly rounded in every lane, exactly
// like its scalar counterpart, and every expression below is the scalar
// kernel's own, in its order (the closing series and Horner sums are the very
// same templates, detail/carlson_shared.hpp and detail/legendre_shared.hpp).
// Data-dependent branches become lane masks:
// - the lanes take only the common path, chosen by the scalar kernel's own
//   tests; any argument that would take another branch is left to the
//   scalar kernel (to_scalar);
// - an iteration runs while any lane is still active, and a lane that has met
//   its test is masked: its values are never stepped again, so it ends after
//   exactly the steps the scalar loop takes; a lane that runs out of steps
//   (the scalar kernel's failure) is left to the scalar kernel too;
// - log, pow, atan and log1p are the C library's, called lane by lane with
//   the lane's own argument, and only for lanes whose result is kept.
// Nothing from this file escapes its translation unit except the
// LaneKernels object: everything else has internal linkage.
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "common/simd_vector.hpp"
#include "ellip/batch_lanes.hpp"
#include "ellip/detail/carlson_iterations.hpp"
#include "ellip/detail/carlson_shared.hpp"
#include "ellip/detail/legendre_shared.hpp"

#if !defined(TAVLOMER_SIMD_WIDTH) || !defined(TAVLOMER_SIMD_LANES)
#error "define TAVLOMER_SIMD_WIDTH and TAVLOMER_SIMD_LANES before including batch_simd.hpp"
#endif

namespace tavlomer::ellip::batch {

namespace {

namespace cd = carlson::detail;
namespace ld = legendre::detail;

// The target's vector type W, V, M and vsqrt, any, vabs (common/simd_vector.hpp).
using namespace simd;

// fmax where neither operand is NaN (the only use below): the larger one.
[[nodiscard]] inline V vmax(V a, V b) noexcept { return a < b ? b : a; }

[[nodiscard]] inline M finite(V a) noexcept { return vabs(a) <= DBL_MAX; }

[[nodiscard]] inline V splat(double v) noexcept {
    V r;
    for (int i = 0; i < W; ++i) r[i] = v;
    return r;
}

// f applied to each lane of a in `lanes`; other lanes keep a.
template <class F>
[[nodiscard]] inline V per_lane(M lanes, V a, F f) noexcept {
    for (int i = 0; i < W; ++i)
        if (lanes[i]) a[i] = f(a[i]);
    return a;
}

// A vector result: value is the scalar kernel's result in every lane not
// flagged to_scalar.
struct Lanes {
    V value;
    M to_scalar;
};

// One duplication step's square roots and lambda, as carlson.cpp's
// DuplicationRoots, and the step itself for the active lanes.
struct Roots {
    V x, y, z;
    Roots(V x_, V y_, V z_) noexcept : x(vsqrt(x_)), y(vsqrt(y_)), z(vsqrt(z_)) {}
    [[nodiscard]] V lambda() const noexcept { return x * z + x * y + y * z; }
};

inline void duplicate(M active, V lambda, V& x, V& y, V& z) noexcept {
    x = active ? (x + lambda) / 4.0 : x;
    y = active ? (y + lambda) / 4.0 : y;
    z = active ? (z + lambda) / 4.0 : z;
}

// The arithmetic-geometric mean of carlson.cpp's agm() over the active
// lanes, step for step; step(a, b, stepped) sees each new pair.  Returns
// the lanes the step bound stopped (the scalar kernel's failure).
template <class Step>
[[nodiscard]] inline M agm(V& a, V& b, M lanes, Step step) noexcept {
    M active = lanes & (vabs(a - b) >= cd::agm_tolerance * vabs(a));
    M limited = M{};
    V steps = V{};
    while (any(active)) {
        const M at_limit = active & (steps == static_cast<double>(cd::agm_step_limit));
        limited |= at_limit;
        active &= ~at_limit;
        const V mean = (a + b) / 2.0;
        const V root = vsqrt(a * b);
        a = active ? mean : a;
        b = active ? root : b;
        steps = active ? steps + 1.0 : steps;
        step(a, b, active);
        active &= vabs(a - b) >= cd::agm_tolerance * vabs(a);
    }
    return limited;
}

// RC(x, y) for finite, distinct, positive x and y (no principal value, so the
// scalar kernel's factor s is 1): the arctangent where y > x, else the
// logarithm, in its log1p form where y/x > 1/2.  Each lane makes its own
// library calls; the operations around them run in the vector.
[[nodiscard]] Lanes elliprc_lanes(V x, V y, M live) noexcept {
    const M ok = live & finite(x) & finite(y) & (x > 0.0) & (y > 0.0) & (x != y);
    const V s = splat(1.0);
    const M by_atan = y > x;
    const M by_log1p = ~by_atan & (y / x > 0.5);
    const V d = by_atan ? y - x : x - y;
    const V sd = vsqrt(d);
    // The library's argument: sqrt(d/x) for atan and log1p, the quotient of
    // roots for log.
    const V t = by_atan | by_log1p ? vsqrt(d / x) : (vsqrt(x) + sd) / vsqrt(y);
    V first = V{};
    V second = V{};
    for (int i = 0; i < W; ++i) {
        if (!ok[i]) continue;
        if (by_atan[i]) {
            first[i] = std::atan(t[i]);
        } else if (by_log1p[i]) {
            first[i] = std::log1p(t[i]);
            second[i] = std::log1p(-t[i]);
        } else {
            first[i] = std::log(t[i]);
        }
    }
    // atan and log alike: s * first / sd.
    const V value = by_log1p ? s * (first - second) / (sd + sd) : s * first / sd;
    return {value, ~ok};
}

// RF(x, y, z) for finite, distinct, non-negative arguments: the
// arithmetic-geometric mean where one of them is zero, else the duplication.
[[nodiscard]] Lanes elliprf_lanes(V x, V y, V z, M live) noexcept {
    const M ok = live & finite(x) & finite(y) & finite(z) & (x >= 0.0) & (y >= 0.0) & (z >= 0.0) &
                 (x != y) & (x != z) & (y != z);
    const M zx = x == 0.0;
    const M zy = y == 0.0;
    const M zz = z == 0.0;
    const M by_agm = ok & (zx | zy | zz);
    const M by_duplication = ok & ~(zx | zy | zz);
    V value = V{};
    M failed = M{};
    if (any(by_agm)) {
        // The scalar kernel's pairs: RF(0, y, z) from (z, y), RF(x, 0, z)
        // from (x, z), RF(x, y, 0) from (x, y).
        V a = vsqrt(zx ? z : x);
        V b = vsqrt(zx ? y : (zy ? z : y));
        failed |= agm(a, b, by_agm, [](V, V, M) {});
        value = by_agm ? cd::pi / (a + b) : value;
    }
    if (any(by_duplication)) {
        const V A0 = (x + y + z) / 3.0;
        V Q = cd::rf_scale * vmax(vmax(vmax(vabs(A0), vabs(A0 - x)), vabs(A0 - y)), vabs(A0 - z));
        V A = A0, f = splat(1.0);
        V xs = x, ys = y, zs = z;  // the arguments of the current step
        M active = by_duplication;
        for (int k = 1; k <= cd::elliprf_step_limit && any(active); ++k) {
            const V lambda = Roots(xs, ys, zs).lambda();
            A = active ? (A + lambda) / 4.0 : A;
            Q = active ? Q / 4.0 : Q;
            f = active ? f * 4.0 : f;
            active &= ~(Q < vabs(A));
            duplicate(active, lambda, xs, ys, zs);
        }
        failed |= active;
        value = by_duplication ? cd::rf_series(A0, x, y, f, A) / vsqrt(A) : value;
    }
    return {value, ~ok | failed};
}

// RD(x, y, z) for finite x, y >= 0 not both zero, z > 0, neither x nor y
// equal to z: the arithmetic-geometric mean with its running sum where x is
// zero, else the duplication.
[[nodiscard]] Lanes elliprd_lanes(V x, V y, V z, M live) noexcept {
    const M ok = live & finite(x) & finite(y) & finite(z) & (x >= 0.0) & (y >= 0.0) &
                 (x + y != 0.0) & (z > 0.0) & (x != z) & (y != z);
    const M by_agm = ok & (x == 0.0);
    const M by_duplication = ok & ~(x == 0.0);
    V value = V{};
    M failed = M{};
    if (any(by_agm)) {
        const V sy = vsqrt(y);
        const V sz = vsqrt(z);
        V a = sy;
        V b = sz;
        V S = V{};
        V w = splat(0.25);
        failed |= agm(a, b, by_agm, [&](V a_new, V b_new, M stepped) {
            w = stepped ? 2.0 * w : w;
            S = stepped ? S + w * (a_new - b_new) * (a_new - b_new) : S;
        });
        value = by_agm ? 3.0 * (cd::pi / (a + b)) *
                             ((sy + 3.0 * sz) / (4.0 * z * (sy + sz)) - S / ((y - z) * z))
                       : value;
    }
    if (any(by_duplication)) {
        const V A0 = (x + y + 3.0 * z) / 5.0;
        // Signed differences, none NaN here (A0 may overflow to +inf; the
        // arguments are finite).
        V Q = cd::rd_scale * vmax(vmax(A0 - x, A0 - y), A0 - z) * cd::rd_margin;
        V A = A0, f = splat(1.0), S = V{};
        V xs = x, ys = y, zs = z;  // the arguments of the current step
        M active = by_duplication;
        for (int k = 1; k <= cd::elliprd_step_limit && any(active); ++k) {
            const Roots roots(xs, ys, zs);
            const V lambda = roots.lambda();
            S = active ? S + f / (roots.z * (zs + lambda)) : S;
            A = active ? (A + lambda) / 4.0 : A;
            Q = active ? Q / 4.0 : Q;
            f = active ? f / 4.0 : f;
            duplicate(active, lambda, xs, ys, zs);
            active &= ~(Q < A);
        }
        failed |= active;
        const M done = by_duplication & ~failed;
        const V power = per_lane(done, A, [](double a) { return std::pow(a, -1.5); });
        value = by_duplication ? f * power * cd::rd_series(A0, x, y, f, A) + 3.0 * S : value;
    }
    return {value, ~ok | failed};
}

// RJ(x, y, z, p) for finite, distinct x, y, z >= 0 and p > 0 other than z:
// the duplication of carlson.cpp's _elliprj.
[[nodiscard]] Lanes elliprj_lanes(V x, V y, V z, V p, M live) noexcept {
    const M ok = live & finite(x) & finite(y) & finite(z) & finite(p) & (x >= 0.0) & (y >= 0.0) &
                 (z >= 0.0) & (x != y) & (x != z) & (y != z) & (p > 0.0) & (z != p);
    if (!any(ok)) return {V{}, ~ok};
    const V A0 = (x + y + z + 2.0 * p) / 5.0;
    V delta = (p - x) * (p - y) * (p - z);
    const V Q =
        cd::rj_scale * vmax(vmax(vmax(vabs(A0 - x), vabs(A0 - y)), vabs(A0 - z)), vabs(A0 - p));
    V A = A0, f = splat(1.0), S = V{};
    V xs = x, ys = y, zs = z, ps = p;  // the arguments of the current step
    M active = ok;
    M failed = M{};
    for (int k = 1; any(active); ++k) {
        if (k > cd::rj_step_limit) {
            failed |= active;
            break;
        }
        const Roots roots(xs, ys, zs);
        const V sx = roots.x;
        const V sy = roots.y;
        const V sz = roots.z;
        const V sp = vsqrt(ps);
        const V d = (sp + sx) * (sp + sy) * (sp + sz);
        const V e = delta / (d * d);
        V factor = V{};
        for (int i = 0; i < W; ++i) {
            if (!active[i]) continue;
            double lane_factor;
            if (cd::rj_shed_factor_into(lane_factor, e[i], sp[i], sx[i], sy[i], sz[i], ps[i], d[i]))
                factor[i] = lane_factor;
            else
                failed[i] = -1;
        }
        active &= ~failed;
        S = active ? S + f / d * factor : S;
        const V lambda = roots.lambda();
        A = active ? (A + lambda) / 4.0 : A;
        f = active ? f / 4.0 : f;
        active &= ~(f * Q < A);
        // A NaN mean never meets the test: the scalar kernel's convergence
        // failure (see _elliprj), left to it at once.
        failed |= active & (A != A);
        active &= ~failed;
        duplicate(active, lambda, xs, ys, zs);
        ps = active ? (ps + lambda) / 4.0 : ps;
        delta = active ? delta / 64.0 : delta;
    }
    const M done = ok & ~failed;
    const V power = per_lane(done, A, [](double a) { return std::pow(a, -1.5); });
    return {f * power * cd::rj_series(A0, x, y, z, f, A) + 6.0 * S, ~done};
}

// K(m) and E(m) for 0 < m < 1, from the complementary parameter x = 1 - m.
[[nodiscard]] Lanes ellipk_lanes(V m, M live) noexcept {
    const M ok = live & (m > 0.0) & (m < 1.0);
    const V x = 1.0 - m;
    const V log_x = per_lane(ok, x, [](double v) { return std::log(v); });
    // Below eps the scalar kernel keeps only the leading terms.
    const V leading = ld::log4 + log_x * -0.5;
    const V series = ld::horner(ld::k_p, x) - log_x * ld::horner(ld::k_q, x);
    return {x < ld::eps ? leading : series, ~ok};
}

[[nodiscard]] Lanes ellipe_lanes(V m, M live) noexcept {
    const M ok = live & (m > 0.0) & (m < 1.0);
    const V x = 1.0 - m;
    const V log_x = per_lane(ok, x, [](double v) { return std::log(v); });
    return {ld::horner(ld::e_p, x) - log_x * (x * ld::horner(ld::e_q, x)), ~ok};
}

// Pi(n, m) = RF(0, 1 - m, 1) + (n/3) RJ(0, 1 - m, 1, 1 - n) for 0 < n < 1, m < 1.
[[nodiscard]] Lanes ellippi_lanes(V n, V m, M live) noexcept {
    const M ok = live & (n > 0.0) & (n < 1.0) & (m < 1.0);
    const V one_minus_m = 1.0 - m;
    const V one = splat(1.0);
    const Lanes F = elliprf_lanes(V{}, one_minus_m, one, ok);
    const Lanes J = elliprj_lanes(V{}, one_minus_m, one, 1.0 - n, ok & ~F.to_scalar);
    return {F.value + J.value * n / 3.0, ~ok | F.to_scalar | J.to_scalar};
}

// Runs a lane function over n evaluations, W at a time; the last, partial
// vector repeats its last argument in the unused lanes, which are not live
// (no library call for them) and not stored.
template <std::size_t Arity, class Fn>
void run(const double* const* args, double* value, unsigned char* to_scalar, std::size_t n,
         Fn fn) noexcept {
    for (std::size_t i = 0; i < n; i += W) {
        const std::size_t count = n - i < static_cast<std::size_t>(W) ? n - i : W;
        V in[Arity]{};
        M live{};
        for (std::size_t a = 0; a < Arity; ++a) {
            if (count == static_cast<std::size_t>(W)) {
                std::memcpy(&in[a], args[a] + i, sizeof(V));
            } else {
                for (std::size_t l = 0; l < static_cast<std::size_t>(W); ++l)
                    in[a][l] = args[a][i + (l < count ? l : count - 1)];
            }
        }
        for (std::size_t l = 0; l < static_cast<std::size_t>(W); ++l) live[l] = l < count ? -1 : 0;
        const Lanes r = [&]<std::size_t... K>(std::index_sequence<K...>) {
            return fn(in[K]..., live);
        }(std::make_index_sequence<Arity>{});
        for (std::size_t l = 0; l < count; ++l) {
            value[i + l] = r.value[l];
            to_scalar[i + l] = r.to_scalar[l] != 0;
        }
    }
}

// A lane function as a LaneKernel.
template <std::size_t Arity, auto Fn>
void lane_kernel(const double* const* args, double* value, unsigned char* to_scalar,
                 std::size_t n) noexcept {
    run<Arity>(args, value, to_scalar, n, Fn);
#if defined(__AVX__)
    // Hand back clean upper register halves.  The compiler's own vzeroupper
    // does not cover every way out of the lanes (their per-lane library calls
    // among them), and SSE code running with dirty upper halves pays a
    // penalty on every instruction: the integrated disk models' quadrature,
    // right after the disk stage, ran 4 times slower for it.
    _mm256_zeroupper();
#endif
}

}  // namespace

extern const LaneKernels TAVLOMER_SIMD_LANES = {
    lane_kernel<3, elliprf_lanes>, lane_kernel<2, elliprc_lanes>, lane_kernel<3, elliprd_lanes>,
    lane_kernel<4, elliprj_lanes>, lane_kernel<1, ellipk_lanes>,  lane_kernel<1, ellipe_lanes>,
    lane_kernel<2, ellippi_lanes>,
};

}  // namespace tavlomer::ellip::batch
