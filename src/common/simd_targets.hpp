// Which SIMD targets of a batch layer this processor runs, shared by both
// layers' selection files (ellip/batch.cpp, physics/disk_batch.cpp).  Only
// those files include it, and they are compiled without any target's
// instructions; CMake defines TAVLOMER_BATCH_X86 for them in x86-64 builds,
// the only ones with vector targets.
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace tavlomer::simd {

namespace {

// One layer's kernel tables: the scalar loop, and the vector targets where
// the build has them (null on other processors).
template <class Kernels>
struct Tables {
    const Kernels* scalar;
    const Kernels* sse2 = nullptr;
    const Kernels* avx2 = nullptr;
    const Kernels* avx512 = nullptr;
};

// The tables this processor runs, narrowest first.
template <class Kernels>
class Available {
public:
    explicit Available(const Tables<Kernels>& tables) noexcept {
        list_[count_++] = tables.scalar;
#if defined(TAVLOMER_BATCH_X86)
        // SSE2 is part of x86-64 itself; the wider targets only where the
        // processor (and the operating system, which __builtin_cpu_supports
        // also asks) has them.
        list_[count_++] = tables.sse2;
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2")) list_[count_++] = tables.avx2;
        if (__builtin_cpu_supports("avx512f")) list_[count_++] = tables.avx512;
#endif
    }

    [[nodiscard]] std::span<const Kernels* const> list() const noexcept {
        return {list_.data(), count_};
    }

private:
    std::array<const Kernels*, 4> list_{};
    std::size_t count_ = 0;
};

}  // namespace

}  // namespace tavlomer::simd
