// The vector type of one SIMD target and the few operations GCC/Clang's
// vector extensions do not spell, for the per-target files of both batch
// layers (ellip/batch_simd.hpp, physics/disk_simd.hpp).  The including file
// defines TAVLOMER_SIMD_WIDTH (doubles per register) and CMake compiles it
// with that target's instruction set, so everything here has internal
// linkage (an anonymous namespace): an inline function with external linkage
// emitted from an AVX2 file could be the copy the linker keeps for everyone.
#pragma once

#include <immintrin.h>

#if !defined(TAVLOMER_SIMD_WIDTH)
#error "define TAVLOMER_SIMD_WIDTH before including common/simd_vector.hpp"
#endif

namespace tavlomer::simd {

namespace {

constexpr int W = TAVLOMER_SIMD_WIDTH;
// GCC/Clang vector extensions: arithmetic and comparisons lane by lane; a
// comparison gives a mask M, -1 (all bits) in the lanes where it holds.
using V = double __attribute__((vector_size(8 * W)));
using M = long long __attribute__((vector_size(8 * W)));

// The few operations the extensions do not spell: one instruction each.
[[nodiscard]] inline V vsqrt(V a) noexcept {
#if TAVLOMER_SIMD_WIDTH == 8
    // The zero-masked form with every lane selected: GCC's _mm512_sqrt_pd
    // passes an undefined register that its warnings take for a read.
    return _mm512_maskz_sqrt_pd(static_cast<__mmask8>(0xff), a);
#elif TAVLOMER_SIMD_WIDTH == 4
    return _mm256_sqrt_pd(a);
#else
    return _mm_sqrt_pd(a);
#endif
}

[[nodiscard]] inline bool any(M m) noexcept {
#if TAVLOMER_SIMD_WIDTH == 8
    return _mm512_test_epi64_mask(m, m) != 0;
#elif TAVLOMER_SIMD_WIDTH == 4
    return _mm256_movemask_pd(reinterpret_cast<__m256d>(m)) != 0;
#else
    return _mm_movemask_pd(reinterpret_cast<__m128d>(m)) != 0;
#endif
}

// fabs: the sign bit cleared, as the scalar fabs does.
[[nodiscard]] inline V vabs(V a) noexcept {
    return reinterpret_cast<V>(reinterpret_cast<M>(a) & 0x7fffffffffffffffLL);
}

}  // namespace

}  // namespace tavlomer::simd
