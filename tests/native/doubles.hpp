// Python sequences of floats as std::vector<double>, for the test-only and
// benchmark-only modules.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace tavlomer_native {

// Appends the elements of `sequence` to `out`; false with a Python exception
// set if it is not a sequence or an element is not a real number.
inline bool to_doubles(PyObject* sequence, std::vector<double>& out) {
    PyObject* fast = PySequence_Fast(sequence, "expected a sequence of floats");
    if (fast == nullptr) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast, i));
        if (v == -1.0 && PyErr_Occurred()) {
            Py_DECREF(fast);
            return false;
        }
        out.push_back(v);
    }
    Py_DECREF(fast);
    return true;
}

}  // namespace tavlomer_native
