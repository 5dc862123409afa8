#include "lib/boundary/convert.hpp"

#include <new>
#include <string>
#include <type_traits>

#include "lib/boundary/text.hpp"

namespace tavlomer::boundary {
namespace {

// The longest list whose doubles (8 bytes each) still fit the platform's
// signed size type.
constexpr Py_ssize_t longest_list = PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(double));

// Room for the reported length.  The length is only a hint: a sequence may
// report far more elements than it yields, so a reservation the allocator
// refuses is skipped and the list grows as the elements come.
void reserve_for(std::vector<double>& values, Py_ssize_t reported) {
    if (reported > longest_list) [[unlikely]] {
        panic("capacity overflow");
    }
    try {
        values.reserve(static_cast<std::size_t>(reported));
    } catch (const std::bad_alloc&) {
    }
}

// The items of an exact list as a C array, valid until Python code runs.
inline PyResult<PyObject* const*> list_items(PyObject* list) {
#ifdef PYPY_VERSION
    // PyPy keeps a list's items in its own form.  This turns them into an
    // array of object pointers once (and costs nothing more while the list
    // stays unchanged), so that the walk reads them without one interpreter
    // call per item.
    const Owned same_list(PySequence_Fast(list, "a list"));
    if (!same_list) [[unlikely]] {
        return std::unexpected(fetch());
    }
#endif
    return PySequence_Fast_ITEMS(list);
}

// Appends an element that is not an exact float.  Its conversion may run
// Python code, which may even drop it from the list it came from: it is held
// meanwhile.
PyResult<void> push_converted(std::vector<double>& values, PyObject* item) {
    const Owned held = Owned::borrow(item);
    PyResult<double> value = extract_double_slow(held.get());
    if (!value) [[unlikely]] {
        return std::unexpected(std::move(value).error());
    }
    values.push_back(*value);
    return {};
}

inline PyResult<void> push_element(std::vector<double>& values, PyObject* item) {
    if (PyFloat_CheckExact(item)) [[likely]] {
        values.push_back(reinterpret_cast<PyFloatObject*>(item)->ob_fval);
        return {};
    }
    return push_converted(values, item);
}

[[gnu::cold]] PyError model_failure(const models::ModelFailure& failure) {
    if (const auto* mismatch = std::get_if<models::LengthMismatch>(&failure)) {
        panic("assertion `left == right` failed\n  left: " + decimal(mismatch->left) +
              "\n right: " + decimal(mismatch->right));
    }
    return PyError(runtime_error, std::get_if<NumericError>(&failure)->text);
}

[[gnu::cold]] PyError model_failure(NumericError failure) {
    return PyError(runtime_error, failure.text);
}

}  // namespace

PyResult<double> extract_double_slow(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    // -1.0 is also an ordinary value: only a pending exception makes it a
    // failure.
    if (value == -1.0 && PyErr_Occurred()) [[unlikely]] {
        return std::unexpected(fetch());
    }
    return value;
}

PyResult<std::vector<double>> extract_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) [[unlikely]] {
        return std::unexpected(PyError(type_error, "Can't extract `str` to `Vec`"));
    }
    std::vector<double> values;

    // Exact lists and tuples are read in place instead of iterated.  For a
    // list this is exactly its iterator's walk: after any element whose
    // conversion may have run Python code, the length and the items are read
    // afresh, so an element's __float__ that grows or shrinks the list is seen
    // just as iteration would see it.  (Between such elements no Python code
    // runs, and the list cannot change.)
    if (PyList_CheckExact(object)) {
        Py_ssize_t size = PyList_GET_SIZE(object);
        reserve_for(values, size);
        PyResult<PyObject* const*> items = list_items(object);
        if (!items) [[unlikely]] {
            return std::unexpected(std::move(items).error());
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = (*items)[i];
            if (PyFloat_CheckExact(item)) [[likely]] {
                values.push_back(reinterpret_cast<PyFloatObject*>(item)->ob_fval);
                continue;
            }
            // An exact int converts without running Python code.  (Asked
            // before the conversion: after it, the item may be gone.)
            const bool list_unchanged = PyLong_CheckExact(item);
            if (auto pushed = push_converted(values, item); !pushed) {
                return std::unexpected(std::move(pushed).error());
            }
            if (!list_unchanged) {
                size = PyList_GET_SIZE(object);
                items = list_items(object);
                if (!items) [[unlikely]] {
                    return std::unexpected(std::move(items).error());
                }
            }
        }
        return values;
    }
    if (PyTuple_CheckExact(object)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(object);
        reserve_for(values, size);
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (auto pushed = push_element(values, PyTuple_GET_ITEM(object, i)); !pushed) {
                return std::unexpected(std::move(pushed).error());
            }
        }
        return values;
    }

    if (!PySequence_Check(object)) {
        return std::unexpected(downcast_error(object, "Sequence"));
    }
    Py_ssize_t reported = PySequence_Size(object);
    if (reported < 0) {
        PyErr_Clear();
        reported = 0;
    }
    reserve_for(values, reported);
    const Owned iterator(PyObject_GetIter(object));
    if (!iterator) {
        return std::unexpected(fetch());
    }
    while (const Owned item{PyIter_Next(iterator.get())}) {
        if (auto pushed = push_element(values, item.get()); !pushed) {
            return std::unexpected(std::move(pushed).error());
        }
    }
    if (PyErr_Occurred()) {
        return std::unexpected(fetch());
    }
    return values;
}

[[gnu::cold]] PyError argument_extraction_error(std::string_view name, PyError error) {
    PyObject* exception = error.instance();
    // Exactly TypeError: a subclass keeps its own message.
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception)) != PyExc_TypeError) {
        return error;
    }
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += display(exception);
    PyError remapped(type_error, std::move(message));
    // The caught exception's own cause, not the caught exception.
    remapped.set_cause(Owned(PyException_GetCause(exception)));
    return remapped;
}

PyResult<PyObject*> to_python(Result<double> result) {
    if (!result) [[unlikely]] {
        return std::unexpected(model_failure(result.error()));
    }
    PyObject* value = PyFloat_FromDouble(*result);
    if (value == nullptr) [[unlikely]] {
        panic_after_error();
    }
    return value;
}

PyResult<PyObject*> to_python(models::ListResult result) {
    if (!result) [[unlikely]] {
        return std::unexpected(model_failure(result.error()));
    }
    const std::vector<double>& values = *result;
    // Created at its final length and filled in place.
    Owned list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) [[unlikely]] {
        panic_after_error();
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* value = PyFloat_FromDouble(values[i]);
        if (value == nullptr) [[unlikely]] {
            panic_after_error();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

}  // namespace tavlomer::boundary
