// The sse2 target of the batch disk: 2 doubles per register (see
// disk_simd.hpp; CMake compiles this file with the matching instruction set).
#define TAVLOMER_SIMD_WIDTH 2
#define TAVLOMER_SIMD_LANES sse2_lanes
#include "physics/disk_simd.hpp"
