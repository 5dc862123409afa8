// The avx512 target of the batch kernels: 8 doubles per register (see
// batch_simd.hpp; CMake compiles this file with the matching instruction set).
#define TAVLOMER_SIMD_WIDTH 8
#define TAVLOMER_SIMD_LANES avx512_lanes
#include "ellip/batch_simd.hpp"
