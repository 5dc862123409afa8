// The sse2 target of the batch kernels: 2 doubles per register (see
// batch_simd.hpp; CMake compiles this file with the matching instruction set).
#define TAVLOMER_SIMD_WIDTH 2
#define TAVLOMER_SIMD_LANES sse2_lanes
#include "ellip/batch_simd.hpp"
