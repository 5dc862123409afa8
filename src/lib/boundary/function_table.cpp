// The seven Python functions, each one constant description plus the model
// routine it calls.  Everything between the two is shared: bind the
// arguments (binder), convert them in parameter order to the routine's
// parameter types (convert), call the routine, convert its result.
#include "lib/boundary/function_table.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "lib/boundary/binder.hpp"
#include "lib/boundary/convert.hpp"
#include "lib/boundary/errors.hpp"
#include "lib/models/models.hpp"

namespace tavlomer::boundary {
namespace {

using List = std::vector<double>;

// ---- Descriptions -------------------------------------------------------

constexpr std::string_view disk_parameters[] = {"l", "re", "rstar"};
constexpr std::string_view ring_parameters[] = {"l", "r", "re", "rstar"};
constexpr std::string_view flux_map_parameters[] = {"l", "re", "rstar", "bl", "bf"};

consteval FunctionDescription describe(std::string_view name,
                                       std::span<const std::string_view> parameters) {
    return {name, parameters, {}, std::nullopt, 0, parameters.size()};
}

constexpr FunctionDescription witt_mao = describe("witt_mao_magnification", disk_parameters);
constexpr FunctionDescription integrated_witt_mao =
    describe("integrated_witt_mao_magnification", disk_parameters);
constexpr FunctionDescription integrated_flux_map_witt_mao =
    describe("integrated_flux_map_witt_mao_magnification", flux_map_parameters);
constexpr FunctionDescription heyrovsky = describe("heyrovsky_magnification", ring_parameters);
constexpr FunctionDescription integrated_heyrovsky =
    describe("integrated_heyrovsky_magnification", disk_parameters);
constexpr FunctionDescription integrated_flux_map_heyrovsky =
    describe("integrated_flux_map_heyrovsky_magnification", flux_map_parameters);
constexpr FunctionDescription discrete_flux_map_heyrovsky =
    describe("discrete_flux_map_heyrovsky_magnification", flux_map_parameters);

// ---- Routines -------------------------------------------------------------

// The flux-map models take the table before re and rstar; Python has it
// last.
using FluxMapModel = models::ListResult (*)(List l, List bl, List bf, double re, double rstar);

template <FluxMapModel Model>
models::ListResult flux_map(List l, double re, double rstar, List bl, List bf) {
    return Model(std::move(l), std::move(bl), std::move(bf), re, rstar);
}

template <class Routine>
struct RoutineTraits;
template <class R, class... Parameters>
struct RoutineTraits<R (*)(Parameters...)> {
    using Arguments = std::tuple<Parameters...>;
};
template <class R, class... Parameters>
struct RoutineTraits<R (*)(Parameters...) noexcept> : RoutineTraits<R (*)(Parameters...)> {};

// ---- Entry points ---------------------------------------------------------

// Binds, converts in parameter order (the first failure ends the call and
// releases what was converted), calls the routine once, converts its result.
template <const FunctionDescription& Description, auto Routine>
PyResult<PyObject*> bind_and_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using Arguments = typename RoutineTraits<decltype(Routine)>::Arguments;
    constexpr std::size_t count = std::tuple_size_v<Arguments>;
    static_assert(count == Description.parameter_count(),
                  "one routine parameter per Python parameter");

    std::array<PyObject*, count> slots{};
    if (PyResult<void> bound = extract_arguments_fastcall(Description, args, nargs, kwnames, slots);
        !bound) [[unlikely]] {
        return std::unexpected(std::move(bound).error());
    }

    Arguments arguments;  // empty lists: nothing allocated yet
    std::optional<PyError> failure;
    const auto convert = [&]<std::size_t I>() {
        using T = std::tuple_element_t<I, Arguments>;
        PyResult<T> value =
            extract_argument<T>(slots[I], Description.positional_parameter_names[I]);
        if (!value) [[unlikely]] {
            failure.emplace(std::move(value).error());
            return false;
        }
        std::get<I>(arguments) = std::move(*value);
        return true;
    };
    const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (convert.template operator()<I>() && ...);
    }(std::make_index_sequence<count>{});
    if (!converted) [[unlikely]] {
        return std::unexpected(*std::move(failure));
    }
    return to_python(std::apply(Routine, std::move(arguments)));
}

template <const FunctionDescription& Description, auto Routine>
PyObject* fastcall(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    return trampoline([&] { return bind_and_call<Description, Routine>(args, nargs, kwnames); });
}

// "NAME(P1, P2, ...)\n--\n\n": the interpreter's signature-header
// convention, from which it takes __text_signature__; no documentation body.
template <const FunctionDescription& Description>
struct SignatureHeader {
    static constexpr std::size_t length = [] {
        std::size_t size = Description.func_name.size() + std::string_view("()\n--\n\n").size();
        for (std::size_t i = 0; i < Description.parameter_count(); ++i) {
            size += Description.positional_parameter_names[i].size() + (i == 0 ? 0 : 2);
        }
        return size;
    }();
    static constexpr std::array<char, length + 1> text = [] {
        std::array<char, length + 1> out{};  // the last char stays NUL
        std::size_t at = 0;
        const auto put = [&](std::string_view piece) {
            for (const char c : piece) {
                out[at++] = c;
            }
        };
        put(Description.func_name);
        put("(");
        for (std::size_t i = 0; i < Description.parameter_count(); ++i) {
            put(i == 0 ? "" : ", ");
            put(Description.positional_parameter_names[i]);
        }
        put(")\n--\n\n");
        return out;
    }();
};

template <const FunctionDescription& Description, auto Routine>
PyMethodDef method_record() noexcept {
    static_assert(Description.supported_by_binder());
    return {Description.func_name.data(),
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&fastcall<Description, Routine>)),
            METH_FASTCALL | METH_KEYWORDS, SignatureHeader<Description>::text.data()};
}

// Registration order.
PyMethodDef records[] = {
    method_record<witt_mao, &models::witt_mao_magnification>(),
    method_record<integrated_witt_mao, &models::integrated_witt_mao_magnification>(),
    method_record<integrated_flux_map_witt_mao,
                  &flux_map<&models::integrated_flux_map_witt_mao_magnification>>(),
    method_record<heyrovsky, &models::heyrovsky_magnification>(),
    method_record<integrated_heyrovsky, &models::integrated_heyrovsky_magnification>(),
    method_record<integrated_flux_map_heyrovsky,
                  &flux_map<&models::integrated_flux_map_heyrovsky_magnification>>(),
    method_record<discrete_flux_map_heyrovsky,
                  &flux_map<&models::discrete_flux_map_heyrovsky_magnification>>(),
};

}  // namespace

std::span<PyMethodDef> method_records() noexcept { return records; }

}  // namespace tavlomer::boundary
