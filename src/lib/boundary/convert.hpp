// Conversion of argument objects to doubles and lists of doubles, and of
// results back to Python objects.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "lib/boundary/errors.hpp"
#include "lib/models/models.hpp"

namespace tavlomer::boundary {

// Anything the interpreter can turn into a float: integers, float
// subclasses, objects with __float__ (or __index__).
[[nodiscard]] PyResult<double> extract_double_slow(PyObject* object);

// An exact float is read in place, without a call into the interpreter (on
// PyPy too: its C-level float records carry the value).
[[nodiscard]] inline PyResult<double> extract_double(PyObject* object) {
    if (PyFloat_CheckExact(object)) [[likely]] {
        return reinterpret_cast<PyFloatObject*>(object)->ob_fval;
    }
    return extract_double_slow(object);
}

// Any sequence but a str, element by element as its iterator yields them.
[[nodiscard]] PyResult<std::vector<double>> extract_sequence(PyObject* object);

// A TypeError from converting parameter `name` becomes "argument 'NAME': "
// followed by its text; any other exception passes unchanged.
[[nodiscard]] PyError argument_extraction_error(std::string_view name, PyError error);

template <class T>
[[nodiscard]] PyResult<T> extract_argument(PyObject* object, std::string_view name);

template <>
[[nodiscard]] inline PyResult<double> extract_argument<double>(PyObject* object,
                                                               std::string_view name) {
    PyResult<double> value = extract_double(object);
    if (!value) [[unlikely]] {
        return std::unexpected(argument_extraction_error(name, std::move(value).error()));
    }
    return value;
}

template <>
[[nodiscard]] inline PyResult<std::vector<double>> extract_argument<std::vector<double>>(
    PyObject* object, std::string_view name) {
    PyResult<std::vector<double>> values = extract_sequence(object);
    if (!values) [[unlikely]] {
        return std::unexpected(argument_extraction_error(name, std::move(values).error()));
    }
    return values;
}

// Results: a new float, or a new list of floats in the result's order.
[[nodiscard]] PyResult<PyObject*> to_python(Result<double> result);
[[nodiscard]] PyResult<PyObject*> to_python(models::ListResult result);

}  // namespace tavlomer::boundary
