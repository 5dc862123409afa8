// Target selection for the batch kernels (batch.hpp) and the scalar target:
// a plain loop over the scalar kernels, the reference every other target
// must match bit for bit.
#include "ellip/batch.hpp"

#include <array>

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
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = carlson::elliprj(x[i], y[i], z[i], p[i]);
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

}  // namespace

std::span<const Kernels* const> available() noexcept {
    static const std::array<const Kernels*, 1> targets{&scalar_kernels};
    return targets;
}

const Kernels& best() noexcept {
    static const Kernels& chosen = *available().back();
    return chosen;
}

}  // namespace tavlomer::ellip::batch
