// The interface between batch.cpp and the vector targets (batch_sse2.cpp,
// batch_avx2.cpp, batch_avx512.cpp, all built from batch_simd.hpp).
//
// A lane kernel evaluates the common path of one integral over n arguments
// with the instructions of its target: value[i] is, bit for bit, the scalar
// kernel's result for argument i unless to_scalar[i] is set, in which case
// argument i takes a branch the lanes leave out (a domain error, a zero or
// equal arguments, a principal value, a failed iteration) and batch.cpp
// evaluates it with the scalar kernel.
//
// Only plain pointers cross this boundary: every type a target translation
// unit shares with the rest of the program is compiled once, without that
// target's instructions (an inline function emitted from an AVX2 unit could
// otherwise be the copy the linker keeps for everyone).
#pragma once

#include <cstddef>

namespace tavlomer::ellip::batch {

// args[k][i]: argument k of evaluation i, in the scalar kernel's order.
using LaneKernel = void (*)(const double* const* args, double* value, unsigned char* to_scalar,
                            std::size_t n) noexcept;

struct LaneKernels {
    LaneKernel elliprf, elliprc, elliprd, elliprj, ellipk, ellipe, ellippi;
};

// Defined only in x86-64 builds; each used only after the processor check.
extern const LaneKernels sse2_lanes;
extern const LaneKernels avx2_lanes;
extern const LaneKernels avx512_lanes;

}  // namespace tavlomer::ellip::batch
