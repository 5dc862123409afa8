// The interface between disk_batch.cpp and the vector targets
// (disk_batch_sse2.cpp, disk_batch_avx2.cpp, disk_batch_avx512.cpp, all built
// from disk_simd.hpp).
//
// A lane kernel evaluates the closed form of the uniform disk over n
// arguments with the instructions of its target: value[i] is, bit for bit,
// disk(u[i], rho[i], delta[i]) unless to_scalar[i] is set, in which case the
// disk takes another form there and disk_batch.cpp evaluates it with the
// scalar disk.
//
// Only plain pointers cross this boundary: every type a target translation
// unit shares with the rest of the program is compiled once, without that
// target's instructions (an inline function emitted from an AVX2 unit could
// otherwise be the copy the linker keeps for everyone).
#pragma once

#include <cstddef>

namespace tavlomer::physics::disk_batch {

// n is at most lane_block.
inline constexpr std::size_t lane_block = 128;
using LaneKernel = void (*)(const double* u, const double* rho, const double* delta, double* value,
                            unsigned char* to_scalar, std::size_t n) noexcept;

// The same with the closed form's slopes in its own u and rho (disk.hpp's
// ClosedSlopes): a, a_u and a_rho, each the scalar disk's bits.
using SlopeLaneKernel = void (*)(const double* u, const double* rho, const double* delta, double* a,
                                 double* a_u, double* a_rho, unsigned char* to_scalar,
                                 std::size_t n) noexcept;

// The same with the centroid moment (disk_centroid.hpp): a[i] and moment[i]
// are, bit for bit, disk_centroid(u[i], rho[i], delta[i]) unless to_scalar[i]
// is set (the moment's closed form serves u >= rho / 10 only).
using CentroidLaneKernel = void (*)(const double* u, const double* rho, const double* delta,
                                    double* a, double* moment, unsigned char* to_scalar,
                                    std::size_t n) noexcept;

struct LaneKernels {
    LaneKernel disks;
    SlopeLaneKernel slopes;
    CentroidLaneKernel centroids;
};

// Defined only in x86-64 builds; each used only after the processor check.
extern const LaneKernels sse2_lanes;
extern const LaneKernels avx2_lanes;
extern const LaneKernels avx512_lanes;

}  // namespace tavlomer::physics::disk_batch
