// The avx2 target of the batch disk: 4 doubles per register (see
// disk_simd.hpp; CMake compiles this file with the matching instruction set).
#define TAVLOMER_SIMD_WIDTH 4
#define TAVLOMER_SIMD_LANES avx2_lanes
#include "physics/disk_simd.hpp"
