// The avx2 target of the batch kernels: 4 doubles per register (see
// batch_simd.hpp; CMake compiles this file with the matching instruction set).
#define TAVLOMER_SIMD_WIDTH 4
#define TAVLOMER_SIMD_LANES avx2_lanes
#include "ellip/batch_simd.hpp"
