// Binding of fast-call arguments to a function's parameters, driven by one
// constant description per function.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "lib/boundary/errors.hpp"

namespace tavlomer::boundary {

struct KeywordOnlyParameterDescription {
    std::string_view name;
    bool required;
};

// What the binder knows about one Python function.  Every name is a view of
// a string literal, so it is NUL-terminated as the interpreter's method
// records need.
struct FunctionDescription {
    std::string_view func_name;
    std::span<const std::string_view> positional_parameter_names;
    std::span<const KeywordOnlyParameterDescription> keyword_only_parameters;
    std::optional<std::string_view> cls_name;
    std::size_t positional_only_parameters;
    std::size_t required_positional_parameters;

    [[nodiscard]] constexpr std::size_t parameter_count() const noexcept {
        return positional_parameter_names.size();
    }

    // The binder handles what this module's functions have: every parameter
    // required and bindable by position or keyword, nothing else.
    [[nodiscard]] constexpr bool supported_by_binder() const noexcept {
        return keyword_only_parameters.empty() && positional_only_parameters == 0 &&
               required_positional_parameters == parameter_count() &&
               func_name.data()[func_name.size()] == '\0';
    }
};

// Binds the arguments of one fast call (`nargs` positional values in `args`,
// followed by one value per name in the `kwnames` tuple, which may be null)
// to the parameters: fills `slots`, one per parameter and all null on entry,
// with borrowed references, or returns the TypeError the call deserves.
[[nodiscard]] PyResult<void> extract_arguments_fastcall(const FunctionDescription& description,
                                                        PyObject* const* args, Py_ssize_t nargs,
                                                        PyObject* kwnames,
                                                        std::span<PyObject*> slots);

}  // namespace tavlomer::boundary
