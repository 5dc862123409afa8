// The elliptic integrals of carlson.hpp and legendre.hpp over many arguments
// at once.  Element i of every result is, bit for bit, what the scalar kernel
// of the same name returns for element i of the arguments: the same value or
// the same NumericError.  The batch forms exist only to be faster (several
// lanes of a vector register per instruction); they never compute anything
// the scalar kernels would not.
//
// Each function takes equal-length argument spans and an output span of the
// same length (the caller guarantees the lengths).  No allocation, no state
// beyond the once-only choice of target.
//
// The vector targets (batch_simd.hpp) carry the common path in their lanes:
// K and E for 0 < m < 1, Pi for 0 < n < 1, RC with positive arguments, and
// RF, RD and RJ with finite, distinct arguments; any other argument costs one
// scalar evaluation.
#pragma once

#include <cstddef>
#include <span>

#include "common/numeric_error.hpp"

namespace tavlomer::ellip::batch {

using In = std::span<const double>;
using Out = std::span<Result<double>>;

// The instruction sets a batch kernel can be compiled for, narrowest first.
enum class Target { scalar, sse2, avx2, avx512 };

// One target's kernels.
struct Kernels {
    Target target;
    const char* name;  // "scalar", "sse2", "avx2", "avx512"
    void (*elliprf)(In x, In y, In z, Out out) noexcept;
    void (*elliprc)(In x, In y, Out out) noexcept;
    void (*elliprd)(In x, In y, In z, Out out) noexcept;
    void (*elliprj)(In x, In y, In z, In p, Out out) noexcept;
    void (*ellipk)(In m, Out out) noexcept;
    void (*ellipe)(In m, Out out) noexcept;
    void (*ellippi)(In n, In m, Out out) noexcept;
};

// Every target this build contains and this processor can run, narrowest
// first (the scalar target always).
[[nodiscard]] std::span<const Kernels* const> available() noexcept;

// The widest of available(), chosen once.
[[nodiscard]] const Kernels& best() noexcept;

inline void elliprf(In x, In y, In z, Out out) noexcept { best().elliprf(x, y, z, out); }
inline void elliprc(In x, In y, Out out) noexcept { best().elliprc(x, y, out); }
inline void elliprd(In x, In y, In z, Out out) noexcept { best().elliprd(x, y, z, out); }
inline void elliprj(In x, In y, In z, In p, Out out) noexcept { best().elliprj(x, y, z, p, out); }
inline void ellipk(In m, Out out) noexcept { best().ellipk(m, out); }
inline void ellipe(In m, Out out) noexcept { best().ellipe(m, out); }
inline void ellippi(In n, In m, Out out) noexcept { best().ellippi(n, m, out); }

}  // namespace tavlomer::ellip::batch
