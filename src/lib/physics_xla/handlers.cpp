// The XLA FFI handlers behind tavlomer_physics.jax: the functions of
// tavlomer_physics as XLA custom calls, on the same core calls as the NumPy
// boundary (src/lib/physics_boundary/module.cpp), so that the bits agree.
// No interpreter here: XLA calls these with flat float64 buffers, which the
// Python wrapper (python/tavlomer_physics/jax.py) has broadcast to the
// result's shape, except single numbers (a single profile), which it passes
// as they are: under vmap they arrive with one element per batch (the
// table's intensity and its derivative have one more, trailing axis).  With more results than the
// value, the handler also writes the derivatives in u, rho and each
// coefficient (or intensity entry), as gradient=True returns them.
//
// What the wrapper cannot check while tracing, because it depends on the
// values, is checked here element by element: a rho that is not positive and
// finite, coefficients that make the intensity negative, a profile with a
// negative or no intensity give NaN for that element and its derivatives,
// and leave the other elements as they are.
#include <algorithm>
#include <array>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "physics/laws.hpp"
#include "physics/magnification.hpp"
#include "xla/ffi/api/ffi.h"

namespace tavlomer::physics_xla {
namespace {

namespace ffi = xla::ffi;
using physics::Law;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// ---- The laws ------------------------------------------------------------------

// The parametric laws by the name of their function in tavlomer_physics (the
// law table's), which the wrapper sends as the attribute "law".
std::optional<Law> parametric_law(std::string_view name) noexcept {
    for (const physics::LawDescriptor& law : physics::law_table) {
        if (law.coefficient_count > 0 && law.name == name) return law.law;
    }
    return std::nullopt;
}

// ---- The buffers ---------------------------------------------------------------

// The most coefficients a parametric law takes, and the largest basis.
constexpr std::size_t max_coefficients = physics::max_coefficients;
constexpr std::size_t max_parametric_basis = physics::max_basis;
// u, rho and the coefficients (or the intensity); the value and a derivative
// in each argument.
constexpr std::size_t max_arguments = 2 + max_coefficients;
constexpr std::size_t max_results = 1 + max_arguments;

struct Operands {
    std::size_t arguments = 0, results = 0;
    std::array<const double*, max_arguments> in{};
    std::array<std::size_t, max_arguments> in_size{};
    std::array<double*, max_results> out{};
    std::array<std::size_t, max_results> out_size{};
    // An argument the wrapper did not broadcast (a single number, or one per
    // vmap batch) is repeated: `block` consecutive result elements share each
    // of its elements.  The others have one element per result element.
    std::array<bool, max_arguments> repeated{};
    std::size_t block = 1;

    // Elements of the result.
    [[nodiscard]] std::size_t count() const noexcept { return out_size[0]; }
    [[nodiscard]] bool gradient() const noexcept { return results > 1; }
    // The element (or row) of argument j that result element i, in block
    // `block_index` (i / block), reads.
    [[nodiscard]] std::size_t index(std::size_t j, std::size_t i,
                                    std::size_t block_index) const noexcept {
        return repeated[j] ? block_index : i;
    }
    [[nodiscard]] double at(std::size_t j, std::size_t i, std::size_t block_index) const noexcept {
        return in[j][index(j, i, block_index)];
    }
    // Argument j (rows of `width`) as the core reads it from result element
    // `first` on, within its block.
    [[nodiscard]] physics::Strided from(std::size_t j, std::size_t first, std::size_t block_index,
                                        std::size_t width = 1) const noexcept {
        if (repeated[j]) return {in[j] + block_index * width, 0};
        return {in[j] + first * width, width};
    }
};

// Every argument and result a float64 buffer: any other dtype is refused by
// the decoding with XLA's own message.
ffi::Error decode(const ffi::RemainingArgs& args, const ffi::RemainingRets& rets,
                  Operands& operands) {
    if (args.size() > max_arguments || rets.size() == 0 || rets.size() > max_results) {
        return ffi::Error::InvalidArgument("tavlomer_physics: unexpected number of operands");
    }
    operands.arguments = args.size();
    operands.results = rets.size();
    for (std::size_t j = 0; j < args.size(); ++j) {
        auto buffer = args.get<ffi::Buffer<ffi::F64>>(j);
        if (!buffer.has_value()) return buffer.error();
        operands.in[j] = buffer->typed_data();
        operands.in_size[j] = buffer->element_count();
    }
    for (std::size_t j = 0; j < rets.size(); ++j) {
        auto buffer = rets.get<ffi::Buffer<ffi::F64>>(j);
        if (!buffer.has_value()) return buffer.error();
        operands.out[j] = (*buffer)->typed_data();
        operands.out_size[j] = (*buffer)->element_count();
    }
    return ffi::Error::Success();
}

// The layout the wrapper promises: results of `count` elements (the result
// `row_result` of rows of `width`); each argument (`row_argument` in rows)
// either one per result element or repeated, all repeated ones alike.
ffi::Error layout(Operands& operands, std::size_t arguments, std::size_t results,
                  std::size_t row_argument, std::size_t row_result, std::size_t width) {
    const auto refused = [] {
        return ffi::Error::InvalidArgument("tavlomer_physics: operands of unexpected sizes");
    };
    if (operands.arguments != arguments || (operands.results != 1 && operands.results != results)) {
        return ffi::Error::InvalidArgument("tavlomer_physics: unexpected number of operands");
    }
    const std::size_t count = operands.count();
    for (std::size_t j = 0; j < operands.results; ++j) {
        if (operands.out_size[j] != count * (j == row_result ? width : 1)) return refused();
    }
    if (count == 0) return ffi::Error::Success();
    operands.block = count;
    bool any_repeated = false;
    for (std::size_t j = 0; j < operands.arguments; ++j) {
        const std::size_t per = j == row_argument ? width : 1;
        const std::size_t m = operands.in_size[j] / per;
        if (m * per != operands.in_size[j] || m == 0 || count % m != 0) return refused();
        if (m == count) continue;
        if (any_repeated && count / m != operands.block) return refused();
        any_repeated = true;
        operands.repeated[j] = true;
        operands.block = count / m;
    }
    return ffi::Error::Success();
}

// Element i and its derivatives (a row of `width` for the result `row_result`)
// are NaN.
void refuse(const Operands& operands, std::size_t i, std::size_t row_result = max_results,
            std::size_t width = 1) {
    for (std::size_t j = 0; j < operands.results; ++j) {
        const std::size_t n = j == row_result ? width : 1;
        std::fill_n(operands.out[j] + i * n, n, nan);
    }
}

// The core's precondition on rho (module.cpp's check_rho).
// The NumPy path's rule (its boundary's check_rho): positive, finite and not
// below the smallest normal double.
bool rho_valid(double rho) noexcept { return rho >= physics::min_rho && std::isfinite(rho); }

// Calls work(begin, end, block_index) on the runs of consecutive elements
// whose valid(i, block_index) holds, each at most max_run long and within
// one block, and refuses the others: the core then runs over whole
// stretches as it does in the NumPy path.
template <class Valid, class Work>
void valid_runs(const Operands& operands, std::size_t max_run, std::size_t row_result,
                std::size_t width, Valid valid, Work work) {
    const std::size_t count = operands.count();
    std::size_t block_index = 0;
    for (std::size_t first = 0; first < count; first += operands.block, ++block_index) {
        const std::size_t last = std::min(count, first + operands.block);
        std::size_t i = first;
        while (i < last) {
            if (!valid(i, block_index)) {
                refuse(operands, i, row_result, width);
                ++i;
                continue;
            }
            std::size_t end = i + 1;
            while (end < last && end - i < max_run && valid(end, block_index)) ++end;
            work(i, end, block_index);
            i = end;
        }
    }
}

// ---- The floating-point environment ------------------------------------------

// XLA runs its CPU code with subnormal numbers flushed to zero (FTZ and DAZ
// set in the thread's floating-point control), while the core is written for
// IEEE gradual underflow, as the NumPy path runs it: under XLA's setting a
// subnormal rho would read as 0.  So each handler runs in the default
// environment and gives XLA's back on return.  On x86 it also clears the
// vector registers' upper halves first, which XLA's AVX code may leave
// dirty: the core's SSE code would pay for that on every instruction.
class DefaultEnvironment {
public:
    DefaultEnvironment() noexcept {
#if defined(__x86_64__)
        if (__builtin_cpu_supports("avx")) clear_upper_halves();
#endif
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
    ~DefaultEnvironment() { std::fesetenv(&saved_); }
    DefaultEnvironment(const DefaultEnvironment&) = delete;
    DefaultEnvironment& operator=(const DefaultEnvironment&) = delete;

private:
#if defined(__x86_64__)
    [[gnu::target("avx")]] static void clear_upper_halves() noexcept { _mm256_zeroupper(); }
#endif
    std::fenv_t saved_{};
};

// ---- The uniform disk ------------------------------------------------------------

ffi::Error uniform(ffi::RemainingArgs args, ffi::RemainingRets rets) {
    const DefaultEnvironment environment;
    Operands operands;
    if (ffi::Error error = decode(args, rets, operands); error.failure()) return error;
    if (ffi::Error error = layout(operands, 2, 3, max_arguments, max_results, 1); error.failure()) {
        return error;
    }
    const bool gradient = operands.gradient();
    valid_runs(
        operands, operands.count(), max_results, 1,
        [&](std::size_t i, std::size_t b) { return rho_valid(operands.at(1, i, b)); },
        [&](std::size_t begin, std::size_t end, std::size_t b) {
            physics::evaluate_uniform(operands.from(0, begin, b), operands.from(1, begin, b),
                                      operands.out[0] + begin, 0, end - begin,
                                      gradient ? operands.out[1] + begin : nullptr,
                                      gradient ? operands.out[2] + begin : nullptr);
        });
    return ffi::Error::Success();
}

// ---- The limb-darkened laws ------------------------------------------------------

// Elements evaluated in one batch: bounds the workspace, which holds F_k
// (and its derivatives) of this many geometry points.
constexpr std::size_t run_length = 64;

// Runs the core over the elements whose `valid(i)` holds, in runs of
// consecutive valid elements, as module.cpp's call_law does over the whole
// call: the same basis, fluxes and accuracy give the same bits.  `prepare`
// points a Batch at a run's first element for the law's own arguments.
template <class Valid, class Prepare>
ffi::Error run_batches(const Operands& operands, const physics::Basis& basis,
                       std::span<const double> flux, double basis_rtol, std::size_t row_result,
                       Valid valid, Prepare prepare) {
    const std::size_t size = basis.size();
    const std::size_t layers = operands.gradient() ? 3 : 1;
    std::vector<double> workspace;
    try {
        workspace.resize(run_length * size * layers);
    } catch (const std::bad_alloc&) {
        return ffi::Error(ffi::ErrorCode::kResourceExhausted,
                          "tavlomer_physics: no memory for the workspace");
    }
    valid_runs(operands, run_length, row_result, size, valid,
               [&](std::size_t i, std::size_t end, std::size_t b) {
                   physics::Batch batch{};
                   batch.basis = basis;
                   batch.flux = flux;
                   batch.rtol = basis_rtol;
                   batch.geometry_count = end - i;
                   batch.count = end - i;
                   batch.geometry_index = nullptr;
                   batch.u = operands.from(0, i, b);
                   batch.rho = operands.from(1, i, b);
                   batch.magnified = workspace.data();
                   batch.out = operands.out[0] + i;
                   if (operands.gradient()) {
                       batch.gradient = true;
                       batch.magnified_du = workspace.data() + run_length * size;
                       batch.magnified_drho = batch.magnified_du + run_length * size;
                       batch.out_du = operands.out[1] + i;
                       batch.out_drho = operands.out[2] + i;
                   }
                   prepare(batch, i, b);
                   // A traced call has no way to warn: a shortfall of the
                   // quadrature leaves the best it reached, as documented.
                   (void)physics::evaluate_geometry(batch, 0, batch.geometry_count);
                   physics::combine(batch, 0, batch.count);
               });
    return ffi::Error::Success();
}

// The coefficients of element i, as a span of the law's count.
struct Coefficients {
    std::array<double, max_coefficients> values{};
    std::size_t n = 0;
    [[nodiscard]] std::span<const double> span() const noexcept { return {values.data(), n}; }
    // The same doubles (NaN equal to itself): the same check.
    [[nodiscard]] bool same(const Coefficients& other) const noexcept {
        return n == other.n &&
               std::memcmp(values.data(), other.values.data(), n * sizeof(double)) == 0;
    }
};

Coefficients coefficients_at(const Operands& operands, std::size_t n, std::size_t i,
                             std::size_t block_index) noexcept {
    Coefficients c;
    c.n = n;
    for (std::size_t j = 0; j < n; ++j) c.values[j] = operands.at(2 + j, i, block_index);
    return c;
}

ffi::Error parametric(ffi::RemainingArgs args, ffi::RemainingRets rets, std::string_view name,
                      double rtol) {
    const DefaultEnvironment environment;
    const std::optional<Law> law = parametric_law(name);
    if (!law) return ffi::Error::InvalidArgument("tavlomer_physics: no such law");
    if (!(rtol >= physics::min_rtol && rtol <= physics::max_rtol)) {
        return ffi::Error::InvalidArgument("tavlomer_physics: rtol out of range");
    }
    // The coefficients, and a parametrised law's parameter after them.
    const physics::LawDescriptor& descriptor = physics::descriptor(*law);
    const std::size_t n = descriptor.argument_count;
    Operands operands;
    if (ffi::Error error = decode(args, rets, operands); error.failure()) return error;
    if (ffi::Error error = layout(operands, 2 + n, 3 + n, max_arguments, max_results, 1);
        error.failure()) {
        return error;
    }
    physics::Basis basis{*law, {}};
    // The parameter's derivative takes one more profile.
    basis.slope = descriptor.parametrised && operands.gradient();
    const std::size_t size = basis.size();
    if (n > max_coefficients || size > max_parametric_basis) {
        return ffi::Error::Internal("tavlomer_physics: a law larger than the handler's buffers");
    }
    std::array<double, max_parametric_basis> flux_values{};
    const std::span<double> flux(flux_values.data(), size);
    physics::basis_flux(basis, flux);
    // The coefficients repeat along the axes they were broadcast over (a
    // band's across its separations): each run of equal ones is checked once.
    Coefficients last;
    bool last_valid = false;
    double last_kappa = 1.0;
    auto check = [&](std::size_t i, std::size_t b) {
        const Coefficients c = coefficients_at(operands, n, i, b);
        if (!c.same(last)) {  // last starts with no coefficients: never the same
            last = c;
            last_valid = physics::check_coefficients(*law, c.span()).has_value();
            if (last_valid) last_kappa = physics::law_cancellation(*law, c.span(), flux);
        }
    };
    auto valid = [&](std::size_t i, std::size_t b) {
        if (!rho_valid(operands.at(1, i, b))) return false;
        check(i, b);
        return last_valid;
    };
    // The accuracy asked of the basis: for the largest cancellation among the
    // call's coefficient sets, as the NumPy boundary's parametric_bands takes it.
    double kappa = 1.0;
    const std::size_t count = operands.count();
    for (std::size_t first = 0, b = 0; first < count; first += operands.block, ++b) {
        for (std::size_t i = first; i < std::min(count, first + operands.block); ++i) {
            if (valid(i, b)) kappa = std::max(kappa, last_kappa);
        }
    }
    return run_batches(operands, basis, flux, physics::basis_rtol(rtol, kappa), max_results, valid,
                       [&](physics::Batch& batch, std::size_t first, std::size_t b) {
                           for (std::size_t j = 0; j < n; ++j) {
                               batch.coefficients[j] = operands.from(2 + j, first, b);
                               if (batch.gradient) {
                                   batch.out_dcoefficients[j] = operands.out[3 + j] + first;
                               }
                           }
                           // One geometry point per element: its own parameter.
                           if (descriptor.parametrised) {
                               batch.parameter = batch.coefficients[descriptor.coefficient_count];
                           }
                       });
}

ffi::Error tabulated(ffi::RemainingArgs args, ffi::RemainingRets rets, double rtol,
                     ffi::Span<const double> radii_attribute) {
    const DefaultEnvironment environment;
    const std::span<const double> radii(radii_attribute.begin(), radii_attribute.size());
    if (auto checked = physics::check_radii(radii); !checked) {
        return ffi::Error::InvalidArgument(checked.error().message);
    }
    if (!(rtol >= physics::min_rtol && rtol <= physics::max_rtol)) {
        return ffi::Error::InvalidArgument("tavlomer_physics: rtol out of range");
    }
    const std::size_t width = radii.size();
    Operands operands;
    if (ffi::Error error = decode(args, rets, operands); error.failure()) return error;
    if (ffi::Error error = layout(operands, 3, 4, 2, 3, width); error.failure()) {
        return error;
    }
    const physics::Basis basis{Law::tabulated, radii};
    std::vector<double> flux;
    try {
        flux.resize(width);
    } catch (const std::bad_alloc&) {
        return ffi::Error(ffi::ErrorCode::kResourceExhausted,
                          "tavlomer_physics: no memory for the workspace");
    }
    physics::basis_flux(basis, flux);
    // A repeated profile is checked once per row it reads.
    std::size_t last_row = SIZE_MAX;
    bool last_valid = false;
    auto valid = [&](std::size_t i, std::size_t b) {
        if (!rho_valid(operands.at(1, i, b))) return false;
        const std::size_t row = operands.index(2, i, b);
        if (row != last_row) {
            last_row = row;
            last_valid =
                physics::check_intensity({operands.in[2] + row * width, width}).has_value();
        }
        return last_valid;
    };
    // Non-negative weights on non-negative basis fluxes: no cancellation
    // (module.cpp's tabulated_bands).
    return run_batches(operands, basis, flux, physics::basis_rtol(rtol, 1.0), 3, valid,
                       [&](physics::Batch& batch, std::size_t first, std::size_t b) {
                           batch.intensity = operands.from(2, first, b, width);
                           if (batch.gradient) {
                               batch.out_dintensity = operands.out[3] + first * width;
                           }
                       });
}

}  // namespace
}  // namespace tavlomer::physics_xla

// The symbols jax finds with ctypes (python/tavlomer_physics/jax.py), one per
// handler; the rest of the library stays hidden.
#pragma GCC visibility push(default)

XLA_FFI_DEFINE_HANDLER_SYMBOL(tavlomer_physics_uniform, tavlomer::physics_xla::uniform,
                              xla::ffi::Ffi::Bind().RemainingArgs().RemainingRets());

XLA_FFI_DEFINE_HANDLER_SYMBOL(tavlomer_physics_parametric, tavlomer::physics_xla::parametric,
                              xla::ffi::Ffi::Bind()
                                  .RemainingArgs()
                                  .RemainingRets()
                                  .Attr<std::string_view>("law")
                                  .Attr<double>("rtol"));

XLA_FFI_DEFINE_HANDLER_SYMBOL(tavlomer_physics_tabulated, tavlomer::physics_xla::tabulated,
                              xla::ffi::Ffi::Bind()
                                  .RemainingArgs()
                                  .RemainingRets()
                                  .Attr<double>("rtol")
                                  .Attr<xla::ffi::Span<const double>>("radii"));

#pragma GCC visibility pop
