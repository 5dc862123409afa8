// The lane kernel of one vector target (see disk_lanes.hpp), written once for
// any width: disk_batch_sse2.cpp, disk_batch_avx2.cpp and
// disk_batch_avx512.cpp each define TAVLOMER_SIMD_WIDTH (doubles per
// register) and TAVLOMER_SIMD_LANES (the LaneKernel to define), then include
// this file, and CMake compiles each with its own instruction set (and never
// with fused multiply-add: -ffp-contract=off holds for them as for every
// other file).
//
// Why lanes: a limb-darkened law stacks a dozen and more nested disks per
// point, nearly all in the closed form, whose cost is one mean iteration of
// a few square roots and divisions per step; W disks share each instruction.
//
// Why the lanes equal the scalar disk bit for bit: a vector add, subtract,
// multiply, divide and square root is correctly rounded in every lane,
// exactly like its scalar counterpart, and every expression below is
// disk.cpp's closed_form and cels, in their order (left to right as C++
// groups them), with slopes the ring means disk() with Dual arguments
// takes its derivatives from, and with the centroid disk_centroid.cpp's
// closed form.  Data-dependent branches become lane masks:
// - the lanes take only the closed form, chosen by disk.cpp's own tests in
//   its order; any argument that would take another form (or carries a NaN
//   or an infinite delta, whose payload the scalar disk alone decides) is
//   left to the scalar disk (to_scalar);
// - the mean iteration runs while any lane is still active, and a lane that
//   has met its stop keeps its state: it is never stepped again, so it ends
//   after exactly the steps the scalar loop takes, and one that reaches the
//   step bound stops there as the scalar loop does.
// Nothing from this file escapes its translation unit except the lane
// kernels: everything else has internal linkage.
#include <immintrin.h>

#include <cfloat>
#include <cstddef>
#include <cstring>

#include "common/constants.hpp"
#include "common/simd_vector.hpp"
#include "physics/disk.hpp"
#include "physics/disk_centroid.hpp"
#include "physics/disk_lanes.hpp"

#if !defined(TAVLOMER_SIMD_WIDTH) || !defined(TAVLOMER_SIMD_LANES)
#error "define TAVLOMER_SIMD_WIDTH and TAVLOMER_SIMD_LANES before including disk_simd.hpp"
#endif

namespace tavlomer::physics::disk_batch {

namespace {

namespace d = physics::detail;
namespace forms = physics::detail::disk_forms;

// The target's vector type W, V, M and vsqrt, any, vabs (common/simd_vector.hpp).
using namespace simd;

// One cel of cels: {sqrt(p), a, b / sqrt(p)} as it enters, then the
// iteration's state.
struct Cel {
    V p, a, b;
};

// A cel entering with the first one's p, as disk.cpp's Companion.
struct Companion {
    V a, b;
};

// cels(kc, {first, second}, companions) of disk.cpp over the active lanes,
// step for step.
template <int Companions>
void cels(V kc, Cel& first, Cel& second, Companion* companions, V& em) noexcept {
    V qc = vabs(kc);
    V e = qc;
    em = V{} + 1.0;
    M active = M{} == M{};  // every lane
    for (int step = 0; step < forms::cel_step_limit && any(active); ++step) {
        if constexpr (Companions > 0) {
            const V inverse = 1.0 / first.p;
            const V g = e / first.p;
            for (int i = 0; i < Companions; ++i) {
                Companion& c = companions[i];
                const V f = c.a;
                const V a = c.a + c.b * inverse;
                V b = c.b + f * g;
                b = b + b;
                c.a = active ? a : c.a;
                c.b = active ? b : c.b;
            }
        }
        for (Cel* c : {&first, &second}) {
            const V f = c->a;
            const V a = c->a + c->b / c->p;
            const V g = e / c->p;
            V b = c->b + f * g;
            b = b + b;
            c->a = active ? a : c->a;
            c->b = active ? b : c->b;
            c->p = active ? c->p + g : c->p;
        }
        const V g = em;
        em = active ? em + qc : em;
        active &= ~(vabs(g - qc) <= g * forms::cel_agreement);
        qc = active ? 2.0 * vsqrt(e) : qc;
        e = active ? qc * em : e;
    }
}

// A cel's result once its iteration has ended (p: the first one's for a
// companion).
V cel_result(V a, V b, V p, V em) noexcept {
    return constants::half_pi * (b + a * em) / (em * (em + p));
}

// What a lane kernel gives from the closed form: A; A with its slopes in u
// and rho; A with the centroid moment.
enum class Results { value, slopes, centroid };

// disk.hpp's closed_arguments and disk.cpp's closed_form: A, and with
// Results::slopes its slopes in u and rho as disk() with Dual arguments forms
// them from the ring means, with Results::centroid the moment as
// disk_centroid.cpp's closed_form forms it (one companion of the same mean
// iteration).
template <Results What>
void closed_form(V u, V rho, V delta, V* out) noexcept {
    const V s = u + rho;
    const V r = delta / s;
    const V q = vsqrt(delta * delta + 4.0);
    const V kc = vabs(r) * vsqrt(s * s + 4.0) / q;
    const V c_e = 0.5 * s * q;
    const V c_k = delta * (4.0 + 0.5 * delta * s) / q;
    const V c_pi = 2.0 * (1.0 + rho * rho) * (r * (delta / q));
    Cel e_k{V{} + 1.0, c_e - c_k, c_e * (kc * kc) - c_k};
    Cel pi_term{vabs(r), c_pi, 2.0 * (1.0 + rho * rho) * vabs(delta) / q};
    V em;
    // With slopes, K and cel(kc, 1, 1, -1); with the moment,
    // cel(kc, 1, delta^2, s^2): each enters with e_k's p = 1.
    Companion more[2] = {{V{} + 1.0, V{} + 1.0}, {V{} + 1.0, V{} - 1.0}};
    if constexpr (What == Results::centroid) more[0] = {delta * delta, s * s};
    constexpr int companions = What == Results::slopes ? 2 : (What == Results::centroid ? 1 : 0);
    cels<companions>(kc, e_k, pi_term, more, em);
    const V e_k_part = cel_result(e_k.a, e_k.b, e_k.p, em);
    const V pi_part = cel_result(pi_term.a, pi_term.b, pi_term.p, em);
    const V a = ((e_k_part + pi_part) / rho) / (constants::pi * rho);
    out[0] = a;
    if constexpr (What == Results::slopes) {
        const V k = cel_result(more[0].a, more[0].b, e_k.p, em);
        const V cos_part = cel_result(more[1].a, more[1].b, e_k.p, em);
        const V sq = s * q;
        const V ring_mean = (pi_part / (1.0 + rho * rho) + 4.0 * k / sq) / constants::pi;
        const V ring_cos = 4.0 * cos_part / (constants::pi * sq);
        out[1] = (2.0 / rho) * ring_cos;         // a_u
        out[2] = (2.0 / rho) * (ring_mean - a);  // a_rho
    } else if constexpr (What == Results::centroid) {
        const V ke = cel_result(more[0].a, more[0].b, e_k.p, em);
        const V pi_moment = pi_part * (s * q / (2.0 * (1.0 + rho * rho)));
        out[1] = (delta / (u * q)) * ((ke - pi_moment) / (constants::pi * rho * rho));
    }
}

// The lanes whose disk takes the closed form, by disk.cpp's form_of, in its
// order (small scale, not u < 3 rho, an unmagnified large disk, the limb);
// the others are the scalar disk's.  The centroid's closed form serves only
// from closed_from on (disk_centroid.cpp); nearer the lens, the scalar one.
template <Results What>
M closed_lanes(V u, V rho, V delta) noexcept {
    const V s = u + rho;
    const M closed = ~(s < d::small_scale) & (u / rho < forms::closed_below) &
                     ~(rho >= forms::unmagnified) & ~(vabs(delta / s) < forms::on_limb) &
                     (vabs(delta) <= DBL_MAX);
    if constexpr (What == Results::centroid) {
        return closed & (u / rho >= d::centroid_forms::closed_from);
    } else {
        return closed;
    }
}

// W arguments from x on (the last one repeated where fewer are left).
V load(const double* x, std::size_t count) noexcept {
    V v;
    if (count == static_cast<std::size_t>(W)) {
        std::memcpy(&v, x, sizeof v);
        return v;
    }
    for (std::size_t l = 0; l < static_cast<std::size_t>(W); ++l)
        v[l] = x[l < count ? l : count - 1];
    return v;
}

// W arguments from `at` (the last one repeated where fewer are left).
V gather(const double* x, const std::size_t* at, std::size_t count) noexcept {
    V v;
    for (std::size_t l = 0; l < static_cast<std::size_t>(W); ++l)
        v[l] = x[at[l < count ? l : count - 1]];
    return v;
}

// The closed-form disks are gathered first, then run over full vectors: a
// panel's nodes mix the closed form with others, and a vector holding a
// lane the scalar disk takes would do its work for nothing.  out[0][i] is
// A, with Results::slopes out[1][i] and out[2][i] its slopes in u and rho,
// with Results::centroid out[1][i] the moment.
template <Results What>
void run(const double* u, const double* rho, const double* delta, double* const* out,
         unsigned char* to_scalar, std::size_t n) noexcept {
    std::size_t at[lane_block];
    std::size_t size = 0;
    for (std::size_t i = 0; i < n; i += W) {
        const std::size_t count = n - i < static_cast<std::size_t>(W) ? n - i : W;
        const M closed =
            closed_lanes<What>(load(u + i, count), load(rho + i, count), load(delta + i, count));
        for (std::size_t l = 0; l < count; ++l) {
            to_scalar[i + l] = !closed[l];
            if (closed[l]) at[size++] = i + l;
        }
    }
    constexpr int results = What == Results::slopes ? 3 : (What == Results::centroid ? 2 : 1);
    for (std::size_t k = 0; k < size; k += W) {
        const std::size_t count = size - k < static_cast<std::size_t>(W) ? size - k : W;
        // Most of a panel's nodes take the closed form: W of them in a row
        // move as one load and one store.
        const bool in_a_row =
            count == static_cast<std::size_t>(W) && at[k + W - 1] - at[k] == W - 1;
        const auto take = [&](const double* x) {
            return in_a_row ? load(x + at[k], count) : gather(x, at + k, count);
        };
        V r[results];
        closed_form<What>(take(u), take(rho), take(delta), r);
        for (int j = 0; j < results; ++j) {
            if (in_a_row) {
                std::memcpy(out[j] + at[k], &r[j], sizeof r[j]);
                continue;
            }
            for (std::size_t l = 0; l < count; ++l) out[j][at[k + l]] = r[j][l];
        }
    }
#if defined(__AVX__)
    // Hand back clean upper register halves: SSE code running with dirty
    // upper halves pays a penalty on every instruction (batch_simd.hpp).
    _mm256_zeroupper();
#endif
}

void lanes(const double* u, const double* rho, const double* delta, double* value,
           unsigned char* to_scalar, std::size_t n) noexcept {
    double* const out[1] = {value};
    run<Results::value>(u, rho, delta, out, to_scalar, n);
}

void slope_lanes(const double* u, const double* rho, const double* delta, double* a, double* a_u,
                 double* a_rho, unsigned char* to_scalar, std::size_t n) noexcept {
    double* const out[3] = {a, a_u, a_rho};
    run<Results::slopes>(u, rho, delta, out, to_scalar, n);
}

void centroid_lanes(const double* u, const double* rho, const double* delta, double* a,
                    double* moment, unsigned char* to_scalar, std::size_t n) noexcept {
    double* const out[2] = {a, moment};
    run<Results::centroid>(u, rho, delta, out, to_scalar, n);
}

}  // namespace

extern const LaneKernels TAVLOMER_SIMD_LANES = {lanes, slope_lanes, centroid_lanes};

}  // namespace tavlomer::physics::disk_batch
