#include "lib/boundary/convert.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
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

// ---- NumPy arrays of doubles, read as one block ----------------------------
//
// Walking an array element by element makes one NumPy scalar per element
// and converts it back.  For an exact numpy.ndarray of native doubles that
// walk is fully determined: its length is shape[0], its iterator yields
// float64 scalars in memory order, each holding exactly the 8 bytes of its
// element, and the float conversion gives those bytes back (a float64
// scalar is a float subclass).  No Python code runs along the way, so
// copying the bytes gives the same doubles, bit for bit (NaN payloads
// included), and the same (absent) failures.  Everything else, subclasses
// included (they may override iteration or length), takes the element walk.

// NumPy's ndarray, found by name without importing NumPy.  Only a static
// (non-heap) type counts: a class statement can name its class
// "numpy.ndarray" too, but makes a heap type.
bool is_exact_ndarray(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
           std::string_view(type->tp_name) == "numpy.ndarray";
}

// The struct-module formats of a double in this machine's byte order: NumPy
// writes "d" for an aligned array and "=d" for an unaligned one.
bool is_native_double_format(const char* format) noexcept {
    const std::string_view text(format == nullptr ? "B" : format);
    constexpr bool little_endian = std::endian::native == std::endian::little;
    return text == "d" || text == "@d" || text == "=d" || (little_endian && text == "<d") ||
           (!little_endian && text == ">d");
}

// A buffer view released on every path out of its scope, a capacity fault
// included.
class BufferView {
public:
    // Takes the view if the exporter gives one; a refusal (NumPy refuses
    // some dtypes) is no error here, only a reason to walk the elements.
    explicit BufferView(PyObject* object) noexcept {
        // Strides rather than a contiguity demand: a strided view is then
        // told apart without NumPy raising (and this clearing) an error.
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0;
        if (!held_) {
            PyErr_Clear();
        }
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    // The element count of a one-dimensional, contiguous block of native
    // doubles, or nothing for any other layout.
    [[nodiscard]] std::optional<Py_ssize_t> double_count() const noexcept {
        if (!held_ || view_.ndim != 1 ||
            view_.itemsize != static_cast<Py_ssize_t>(sizeof(double)) ||
            !is_native_double_format(view_.format)) {
            return std::nullopt;
        }
        const Py_ssize_t count = view_.shape[0];
        // With fewer than two elements the stride says nothing.
        if (count > 1 && view_.strides[0] != static_cast<Py_ssize_t>(sizeof(double))) {
            return std::nullopt;
        }
        return count;
    }

    [[nodiscard]] const void* data() const noexcept { return view_.buf; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The doubles of an exact one-dimensional C-contiguous float64 array, or
// nothing when `object` is not one (then nothing has changed).
std::optional<std::vector<double>> read_double_array(PyObject* object) {
    if (!is_exact_ndarray(object)) {
        return std::nullopt;
    }
    const BufferView view(object);
    const std::optional<Py_ssize_t> count = view.double_count();
    if (!count) {
        return std::nullopt;
    }
    // The element walk's reservation check, at the same point: no real
    // buffer is this long, but the rule is the walk's.
    if (*count > longest_list) [[unlikely]] {
        panic("capacity overflow");
    }
    const auto size = static_cast<std::size_t>(*count);
    const void* data = view.data();
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0) [[likely]] {
        const auto* first = static_cast<const double*>(data);
        return std::vector<double>(first, first + size);
    }
    // An unaligned array ("=d") is copied byte for byte: a misaligned
    // double load would be undefined.
    std::vector<double> values(size);
    if (size != 0) {
        std::memcpy(values.data(), data, size * sizeof(double));
    }
    return values;
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
    if (std::optional<std::vector<double>> block = read_double_array(object)) {
        return *std::move(block);
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
    // The values' address and count in locals: the compiler cannot tell
    // that a call into the interpreter leaves the vector alone, and would
    // read both again for every element.
    const double* const values = result->data();
    const auto size = static_cast<Py_ssize_t>(result->size());
    // Created at its final length and filled in place.
    Owned list(PyList_New(size));
    if (!list) [[unlikely]] {
        panic_after_error();
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* value = PyFloat_FromDouble(values[i]);
        if (value == nullptr) [[unlikely]] {
            panic_after_error();
        }
        PyList_SET_ITEM(list.get(), i, value);
    }
    return list.release();
}

}  // namespace tavlomer::boundary
