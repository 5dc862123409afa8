// Target selection for the batch kernels (batch.hpp), the scalar target (a
// plain loop over the scalar kernels, the reference every other target must
// match bit for bit) and the vector targets: their lane kernels
// (batch_lanes.hpp) evaluate the common path, and the arguments they leave
// out go to the scalar kernel here.
#include "ellip/batch.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "common/simd_targets.hpp"
#include "ellip/batch_lanes.hpp"
#include "ellip/carlson.hpp"
#include "ellip/legendre.hpp"

namespace tavlomer::ellip::batch {

namespace {

namespace carlson = ellip::carlson;
namespace legendre = ellip::legendre;

void scalar_elliprf(In x, In y, In z, Out out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = carlson::elliprf(x[i], y[i], z[i]);
}
void scalar_elliprc(In x, In y, Out out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = carlson::elliprc(x[i], y[i]);
}
void scalar_elliprd(In x, In y, In z, Out out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = carlson::elliprd(x[i], y[i], z[i]);
}
void scalar_elliprj(In x, In y, In z, In p, Out out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = carlson::elliprj(x[i], y[i], z[i], p[i]);
}
void scalar_ellipk(In m, Out out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = legendre::ellipk(m[i]);
}
void scalar_ellipe(In m, Out out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = legendre::ellipe(m[i]);
}
void scalar_ellippi(In n, In m, Out out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = legendre::ellippi(n[i], m[i]);
}

constexpr Kernels scalar_kernels{Target::scalar, "scalar",       scalar_elliprf,
                                 scalar_elliprc, scalar_elliprd, scalar_elliprj,
                                 scalar_ellipk,  scalar_ellipe,  scalar_ellippi};

#if defined(TAVLOMER_BATCH_X86)

// One block of evaluations through a lane kernel, the left-out ones through
// the scalar kernel.  The block lives on the stack: no allocation.
template <class Scalar, class... Args>
void through_lanes(LaneKernel lanes, Scalar scalar, Out out, Args... in) noexcept {
    constexpr std::size_t block = 128;
    double value[block];
    unsigned char to_scalar[block];
    for (std::size_t i = 0; i < out.size(); i += block) {
        const std::size_t n = std::min(block, out.size() - i);
        const double* const args[] = {in.data() + i...};
        lanes(args, value, to_scalar, n);
        for (std::size_t j = 0; j < n; ++j)
            out[i + j] = to_scalar[j] ? scalar(in[i + j]...) : Result<double>(value[j]);
    }
}

template <const LaneKernels& L>
constexpr Kernels vector_kernels(Target target, const char* name) {
    return {
        target,
        name,
        [](In x, In y, In z, Out out) noexcept {
            through_lanes(L.elliprf, carlson::elliprf, out, x, y, z);
        },
        [](In x, In y, Out out) noexcept { through_lanes(L.elliprc, carlson::elliprc, out, x, y); },
        [](In x, In y, In z, Out out) noexcept {
            through_lanes(L.elliprd, carlson::elliprd, out, x, y, z);
        },
        [](In x, In y, In z, In p, Out out) noexcept {
            through_lanes(L.elliprj, carlson::elliprj, out, x, y, z, p);
        },
        [](In m, Out out) noexcept { through_lanes(L.ellipk, legendre::ellipk, out, m); },
        [](In m, Out out) noexcept { through_lanes(L.ellipe, legendre::ellipe, out, m); },
        [](In n, In m, Out out) noexcept {
            through_lanes(L.ellippi, legendre::ellippi, out, n, m);
        },
    };
}

constexpr Kernels sse2_kernels = vector_kernels<sse2_lanes>(Target::sse2, "sse2");
constexpr Kernels avx2_kernels = vector_kernels<avx2_lanes>(Target::avx2, "avx2");
constexpr Kernels avx512_kernels = vector_kernels<avx512_lanes>(Target::avx512, "avx512");

constexpr simd::Tables<Kernels> tables{&scalar_kernels, &sse2_kernels, &avx2_kernels,
                                       &avx512_kernels};

#else

// Other processors: the scalar target alone.
constexpr simd::Tables<Kernels> tables{&scalar_kernels};

#endif

}  // namespace

std::span<const Kernels* const> available() noexcept {
    static const simd::Available<Kernels> detected(tables);
    return detected.list();
}

const Kernels& best() noexcept {
    static const Kernels& chosen = *available().back();
    return chosen;
}

}  // namespace tavlomer::ellip::batch
