// The avx512 target of the batch disk: 8 doubles per register (see
// disk_simd.hpp; CMake compiles this file with the matching instruction set).
#define TAVLOMER_SIMD_WIDTH 8
#define TAVLOMER_SIMD_LANES avx512_lanes
#include "physics/disk_simd.hpp"
