// The uniform disk of disk.hpp over many arguments at once.  Element i of the
// result is, bit for bit, what disk(u[i], rho[i], delta[i]) returns: the
// batch exists only to be faster (the closed form's arithmetic in the lanes
// of a vector register), never to compute anything the scalar disk would
// not.  The laws' quadrature evaluates a panel's nested disks through it, and
// uniform() its arrays.
//
// The vector targets (disk_simd.hpp) carry the closed form (u < 3 rho, off
// the limb), the costly one, and the centroid moment's closed form from the
// same mean iteration (rho / 10 <= u < 3 rho); every other form (the far form, the small
// scale, the limb, an unmagnified disk, NaN) costs one scalar disk.  (The
// far form in lanes was measured no faster than the scalar one: a few
// square roots and divisions per node, which the vector units take no
// faster per element.)
// No allocation, no state beyond the once-only choice of target.
#pragma once

#include <cstddef>
#include <span>

namespace tavlomer::physics::disk_batch {

// The instruction sets the batch can be compiled for, narrowest first.
enum class Target { scalar, sse2, avx2, avx512 };

// out[i] = disk(u[i], rho[i], delta[i]) for i < n; u >= 0 and rho > 0 as
// disk() takes them.  The arrays may not overlap out.
using Kernel = void (*)(const double* u, const double* rho, const double* delta, double* out,
                        std::size_t n) noexcept;

// With derivatives, for a nested disk of radius r = x rho at the lens's u:
// a[i], du[i], dr[i] are the value and the slopes of
// disk(Dual{u[i], 1, 0}, Dual{r[i], 0, x[i]}, delta[i]), its derivatives in
// u and rho.
using SlopeKernel = void (*)(const double* u, const double* r, const double* x, const double* delta,
                             double* a, double* du, double* dr, std::size_t n) noexcept;

// With the centroid moment: a[i] and moment[i] are, bit for bit,
// disk_centroid(u[i], rho[i], delta[i]) (disk_centroid.hpp).
using CentroidKernel = void (*)(const double* u, const double* rho, const double* delta, double* a,
                                double* moment, std::size_t n) noexcept;

struct Kernels {
    Target target;
    const char* name;  // "scalar", "sse2", "avx2", "avx512"
    Kernel disks;
    SlopeKernel nested_slopes;
    CentroidKernel centroids;
};

// Every target this build contains and this processor can run, narrowest
// first (the scalar target always).
[[nodiscard]] std::span<const Kernels* const> available() noexcept;

// The target the batch takes, chosen once: AVX2 where the processor has it,
// else the scalar loop (disk_batch.cpp says why).
[[nodiscard]] const Kernels& best() noexcept;

inline void disks(const double* u, const double* rho, const double* delta, double* out,
                  std::size_t n) noexcept {
    best().disks(u, rho, delta, out, n);
}
inline void nested_slopes(const double* u, const double* r, const double* x, const double* delta,
                          double* a, double* du, double* dr, std::size_t n) noexcept {
    best().nested_slopes(u, r, x, delta, a, du, dr, n);
}

inline void centroids(const double* u, const double* rho, const double* delta, double* a,
                      double* moment, std::size_t n) noexcept {
    best().centroids(u, rho, delta, a, moment, n);
}

}  // namespace tavlomer::physics::disk_batch
