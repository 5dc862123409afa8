// Target selection for the batch disk (disk_batch.hpp), the scalar target (a
// plain loop over disk(), the reference every other target must match bit
// for bit) and the vector targets: their lane kernels (disk_lanes.hpp)
// evaluate the closed form, and the disks they leave out go to the scalar
// disk here.
#include "physics/disk_batch.hpp"

#include <algorithm>
#include <cstddef>

#include "common/simd_targets.hpp"
#include "physics/disk.hpp"
#include "physics/disk_centroid.hpp"
#include "physics/disk_lanes.hpp"
#include "physics/dual.hpp"

namespace tavlomer::physics::disk_batch {

namespace {

void scalar_disks(const double* u, const double* rho, const double* delta, double* out,
                  std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = detail::disk(u[i], rho[i], delta[i]);
}

void scalar_nested_slopes(const double* u, const double* r, const double* x, const double* delta,
                          double* a, double* du, double* dr, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const Dual d = detail::disk(Dual{u[i], 1.0, 0.0}, Dual{r[i], 0.0, x[i]}, delta[i]);
        a[i] = d.v;
        du[i] = d.du;
        dr[i] = d.dr;
    }
}

void scalar_centroids(const double* u, const double* rho, const double* delta, double* a,
                      double* moment, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const detail::DiskCentroid c = detail::disk_centroid(u[i], rho[i], delta[i]);
        a[i] = c.a;
        moment[i] = c.moment;
    }
}

constexpr Kernels scalar_kernels{Target::scalar, "scalar", scalar_disks, scalar_nested_slopes,
                                 scalar_centroids};

#if defined(TAVLOMER_BATCH_X86)

// A block of fewer disks than this takes the scalar disk: the lanes cost
// about two scalar disks whether one lane or four is used (measured on a
// single point's uniform(): 155 ns through AVX2's lanes, 111 ns through
// the scalar disk).  The laws' rule outside the source often has one or
// two disks to evaluate.
constexpr std::size_t lanes_from = 3;

// One block of disks through a lane kernel, the left-out ones through the
// scalar disk.  The flags live on the stack: no allocation.
template <const LaneKernels& Lanes>
void through_lanes(const double* u, const double* rho, const double* delta, double* out,
                   std::size_t n) noexcept {
    constexpr std::size_t block = lane_block;
    unsigned char to_scalar[block];
    for (std::size_t i = 0; i < n; i += block) {
        const std::size_t count = std::min(block, n - i);
        if (count < lanes_from) {
            for (std::size_t j = i; j < n; ++j) out[j] = detail::disk(u[j], rho[j], delta[j]);
            break;
        }
        Lanes.disks(u + i, rho + i, delta + i, out + i, to_scalar, count);
        for (std::size_t j = 0; j < count; ++j) {
            if (to_scalar[j]) out[i + j] = detail::disk(u[i + j], rho[i + j], delta[i + j]);
        }
    }
}

// The same with slopes: the lanes give the closed form's value and slopes
// in its own u and r, and detail::chain carries them to u and rho as the
// scalar disk does.
template <const LaneKernels& Lanes>
void slopes_through_lanes(const double* u, const double* r, const double* x, const double* delta,
                          double* a, double* du, double* dr, std::size_t n) noexcept {
    constexpr std::size_t block = lane_block;
    unsigned char to_scalar[block];
    double a_u[block];
    double a_r[block];
    for (std::size_t i = 0; i < n; i += block) {
        const std::size_t count = std::min(block, n - i);
        const bool scalar = count < lanes_from;
        if (!scalar) Lanes.slopes(u + i, r + i, delta + i, a + i, a_u, a_r, to_scalar, count);
        for (std::size_t j = 0; j < count; ++j) {
            const Dual seed_u{u[i + j], 1.0, 0.0};
            const Dual seed_r{r[i + j], 0.0, x[i + j]};
            const Dual d = scalar || to_scalar[j]
                               ? detail::disk(seed_u, seed_r, delta[i + j])
                               : detail::chain({a[i + j], a_u[j], a_r[j]}, seed_u, seed_r);
            a[i + j] = d.v;
            du[i + j] = d.du;
            dr[i + j] = d.dr;
        }
    }
}

// The same with the centroid moments.
template <const LaneKernels& Lanes>
void centroids_through_lanes(const double* u, const double* rho, const double* delta, double* a,
                             double* moment, std::size_t n) noexcept {
    constexpr std::size_t block = lane_block;
    unsigned char to_scalar[block];
    for (std::size_t i = 0; i < n; i += block) {
        const std::size_t count = std::min(block, n - i);
        const bool scalar = count < lanes_from;
        if (!scalar)
            Lanes.centroids(u + i, rho + i, delta + i, a + i, moment + i, to_scalar, count);
        for (std::size_t j = 0; j < count; ++j) {
            if (!scalar && !to_scalar[j]) continue;
            const detail::DiskCentroid c =
                detail::disk_centroid(u[i + j], rho[i + j], delta[i + j]);
            a[i + j] = c.a;
            moment[i + j] = c.moment;
        }
    }
}

template <const LaneKernels& Lanes>
constexpr Kernels vector_kernels(Target target, const char* name) {
    return {target, name, through_lanes<Lanes>, slopes_through_lanes<Lanes>,
            centroids_through_lanes<Lanes>};
}

constexpr Kernels sse2_kernels = vector_kernels<sse2_lanes>(Target::sse2, "sse2");
constexpr Kernels avx2_kernels = vector_kernels<avx2_lanes>(Target::avx2, "avx2");
constexpr Kernels avx512_kernels = vector_kernels<avx512_lanes>(Target::avx512, "avx512");

constexpr simd::Tables<Kernels> tables{&scalar_kernels, &sse2_kernels, &avx2_kernels,
                                       &avx512_kernels};

#else

// Other processors: the scalar target alone.
constexpr simd::Tables<Kernels> tables{&scalar_kernels};

#endif

}  // namespace

std::span<const Kernels* const> available() noexcept {
    static const simd::Available<Kernels> detected(tables);
    return detected.list();
}

// Not simply the widest: AVX2 where the processor has it, else the scalar
// loop.  Measured on closed-form disks: AVX2 about twice as fast as the
// scalar disk; AVX-512 no faster in bulk (its 8 lanes divide and take
// square roots no faster per element than AVX2's 4) and slower inside the
// laws' quadrature, where its wide units slow the scalar work around them;
// SSE2 slower than the scalar disk (each of the iteration's blends takes
// three instructions there).  Both stay available, and tested.
const Kernels& best() noexcept {
    static const Kernels& chosen = [] -> const Kernels& {
        for (const Kernels* k : available()) {
            if (k->target == Target::avx2) return *k;
        }
        return *available().front();
    }();
    return chosen;
}

}  // namespace tavlomer::physics::disk_batch
