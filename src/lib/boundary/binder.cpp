#include "lib/boundary/binder.hpp"

#include <string>
#include <vector>

#include "lib/boundary/text.hpp"

namespace tavlomer::boundary {
namespace {

// The binding failures.  Message building lives here, out of line and cold,
// so that the binding loop stays small.

[[gnu::cold]] std::string display_name(const FunctionDescription& description) {
    std::string name;
    if (description.cls_name) {
        name += *description.cls_name;
        name += '.';
    }
    name += description.func_name;
    name += "()";
    return name;
}

[[gnu::cold]] PyError too_many_positional_arguments(const FunctionDescription& description,
                                                    Py_ssize_t nargs) {
    std::string message = display_name(description);
    message += " takes ";
    message += decimal(description.parameter_count());
    message += " positional arguments but ";
    message += decimal(static_cast<std::size_t>(nargs));
    message += " were given";
    return PyError(type_error, std::move(message));
}

[[gnu::cold]] PyError multiple_values_for_argument(const FunctionDescription& description,
                                                   std::string_view parameter) {
    std::string message = display_name(description);
    message += " got multiple values for argument '";
    message += parameter;
    message += "'";
    return PyError(type_error, std::move(message));
}

[[gnu::cold]] PyError unexpected_keyword_argument(const FunctionDescription& description,
                                                  PyObject* keyword) {
    std::string message = display_name(description);
    message += " got an unexpected keyword argument '";
    message += display(keyword);
    message += "'";
    return PyError(type_error, std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
[[gnu::cold]] void push_parameter_list(std::string& out, std::span<const std::string_view> names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) {
                out += ',';
            }
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
}

[[gnu::cold]] PyError missing_required_positional_arguments(const FunctionDescription& description,
                                                            std::span<PyObject* const> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < description.required_positional_parameters; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(description.positional_parameter_names[i]);
        }
    }
    std::string message = display_name(description);
    message += " missing ";
    message += decimal(missing.size());
    message += " required positional ";
    message += missing.size() == 1 ? "argument" : "arguments";
    message += ": ";
    push_parameter_list(message, missing);
    return PyError(type_error, std::move(message));
}

// The parameter whose name is `keyword`, byte for byte.
std::optional<std::size_t> find_parameter(const FunctionDescription& description,
                                          std::string_view keyword) noexcept {
    const auto names = description.positional_parameter_names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == keyword) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

PyResult<void> extract_arguments_fastcall(const FunctionDescription& description,
                                          PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, std::span<PyObject*> slots) {
    const auto parameters = static_cast<Py_ssize_t>(description.parameter_count());
    // Too many positional arguments is reported before anything about the
    // keywords.
    if (nargs > parameters) [[unlikely]] {
        return std::unexpected(too_many_positional_arguments(description, nargs));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = args[i];
    }

    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
            std::optional<std::size_t> index;
            if (utf8 != nullptr) [[likely]] {
                index = find_parameter(description,
                                       std::string_view(utf8, static_cast<std::size_t>(size)));
            } else {
                // A name UTF-8 cannot encode (a lone surrogate) names no
                // parameter.
                PyErr_Clear();
            }
            if (!index) [[unlikely]] {
                return std::unexpected(unexpected_keyword_argument(description, keyword));
            }
            if (slots[*index] != nullptr) [[unlikely]] {
                return std::unexpected(multiple_values_for_argument(
                    description, description.positional_parameter_names[*index]));
            }
            slots[*index] = args[nargs + k];
        }
    }

    if (static_cast<std::size_t>(nargs) < description.required_positional_parameters) {
        for (std::size_t i = static_cast<std::size_t>(nargs);
             i < description.required_positional_parameters; ++i) {
            if (slots[i] == nullptr) [[unlikely]] {
                return std::unexpected(missing_required_positional_arguments(description, slots));
            }
        }
    }
    return {};
}

}  // namespace tavlomer::boundary
