#include "lib/physics_boundary/arrays.hpp"

#include <string>
#include <string_view>

namespace tavlomer::physics_boundary {
namespace {

// NumPy's functions, looked up once and kept for the process (the module
// cannot be unloaded, so neither can they).
struct NumPy {
    PyObject* array = nullptr;
    PyObject* empty = nullptr;
    PyObject* arange = nullptr;
    PyObject* broadcast_to = nullptr;
    PyObject* broadcast_shapes = nullptr;
    PyObject* ascontiguousarray = nullptr;
    PyObject* float64 = nullptr;
    PyObject* intp = nullptr;
};
constinit NumPy numpy;
constinit boundary::OnceCell numpy_cell;

// Calls `function(*args, **{key: value})` (key may be null).
Owned call(PyObject* function, std::initializer_list<PyObject*> args, const char* key = nullptr,
           PyObject* value = nullptr) {
    Owned positional(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!positional) return {};
    Py_ssize_t i = 0;
    for (PyObject* arg : args) {
        Py_INCREF(arg);
        PyTuple_SET_ITEM(positional.get(), i++, arg);
    }
    Owned keywords;
    if (key != nullptr) {
        keywords = Owned(PyDict_New());
        if (!keywords || PyDict_SetItemString(keywords.get(), key, value) < 0) return {};
    }
    return Owned(PyObject_Call(function, positional.get(), keywords.get()));
}

// "real numbers" means booleans, integers and floating-point numbers: what
// converts to float64 exactly or by rounding, never by parsing text.
bool is_real_kind(PyObject* array) {
    Owned dtype(PyObject_GetAttrString(array, "dtype"));
    if (!dtype) return false;
    Owned kind(PyObject_GetAttrString(dtype.get(), "kind"));
    if (!kind) return false;
    const char* text = PyUnicode_AsUTF8(kind.get());
    if (text == nullptr) return false;
    return text[0] != '\0' && text[1] == '\0' && std::string_view("biuf").contains(text[0]);
}

[[gnu::cold]] void not_real(const char* name, PyObject* object, PyObject* array) {
    // "not str" for a single object, "not list of <U1" for an array of them.
    std::string what = Py_TYPE(object)->tp_name;
    if (array != nullptr && PyObject_Length(array) >= 0) {
        if (Owned dtype{PyObject_GetAttrString(array, "dtype")}) {
            if (Owned text{PyObject_Str(dtype.get())}) {
                if (const char* utf8 = PyUnicode_AsUTF8(text.get())) {
                    what += " of ";
                    what += utf8;
                }
            }
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be a real number or an array of real numbers, not %s",
                 name, what.c_str());
}

// NumPy could not make an array of `object` (a ragged list, an object whose
// conversion fails): a TypeError naming the argument, caused by NumPy's own.
[[gnu::cold]] void not_convertible(const char* name, PyObject* object) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    not_real(name, object, nullptr);
    if (value == nullptr) return;
    PyObject *new_type, *new_value, *new_traceback;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    if (new_value != nullptr) {
        Py_INCREF(value);
        PyException_SetContext(new_value, value);  // steals
        PyException_SetCause(new_value, value);    // steals
    } else {
        Py_DECREF(value);
    }
    PyErr_Restore(new_type, new_value, new_traceback);
}

}  // namespace

bool load_numpy() {
    if (numpy_cell.get() != nullptr) return true;
    Owned module(PyImport_ImportModule("numpy"));
    if (!module) return false;
    NumPy found;
    struct Name {
        const char* name;
        PyObject** slot;
    };
    const Name names[] = {
        {"array", &found.array},
        {"empty", &found.empty},
        {"arange", &found.arange},
        {"broadcast_to", &found.broadcast_to},
        {"broadcast_shapes", &found.broadcast_shapes},
        {"ascontiguousarray", &found.ascontiguousarray},
        {"float64", &found.float64},
        {"intp", &found.intp},
    };
    for (const Name& name : names) {
        *name.slot = PyObject_GetAttrString(module.get(), name.name);
        if (*name.slot == nullptr) {
            for (const Name& loaded : names) Py_XDECREF(*loaded.slot);
            return false;
        }
    }
    // Importing NumPy runs Python code, so two threads may get here; the
    // first to store wins and the other drops its references.
    (void)numpy_cell.set_or_keep(module.release());
    if (numpy.array == nullptr) {
        numpy = found;
    } else {
        for (const Name& name : names) Py_DECREF(*name.slot);
    }
    return true;
}

bool Buffer::acquire(PyObject* array, bool writable) {
    release();
    const int flags = PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(array, &view_, flags) < 0) return false;
    held_ = true;
    return true;
}

void Buffer::release() noexcept {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

bool Operand::convert(PyObject* object, const char* name) {
    // Plain numbers skip NumPy: a scalar call costs a fraction of a
    // microsecond.  Float subclasses (NumPy's float64 among them) hold their
    // value the same way.
    if (PyFloat_Check(object)) {
        scalar_ = PyFloat_AS_DOUBLE(object);
    } else if (PyLong_CheckExact(object) &&
               (scalar_ = PyLong_AsDouble(object), !PyErr_Occurred())) {
    } else {
        PyErr_Clear();  // an int too large for a double: NumPy says why below
        Owned order(PyUnicode_FromString("C"));
        if (!order) return false;
        array_ = call(numpy.array, {object}, "order", order.get());
        if (!array_) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) ||
                PyErr_ExceptionMatches(PyExc_ValueError)) {
                not_convertible(name, object);
            }
            return false;
        }
        if (!is_real_kind(array_.get())) {
            if (!PyErr_Occurred()) not_real(name, object, array_.get());
            return false;
        }
        Owned astype(PyObject_GetAttrString(array_.get(), "astype"));
        if (!astype) return false;
        Owned as_float = call(astype.get(), {numpy.float64}, "copy", Py_False);
        if (!as_float) return false;
        array_ = std::move(as_float);
        shape_ = Owned(PyObject_GetAttrString(array_.get(), "shape"));
        if (!shape_ || !buffer_.acquire(array_.get(), false)) return false;
        values_ = static_cast<const double*>(buffer_.data());
        size_ = buffer_.count(sizeof(double));
        return true;
    }
    shape_ = Owned(PyTuple_New(0));
    if (!shape_) return false;
    values_ = &scalar_;
    size_ = 1;
    return true;
}

std::size_t Operand::ndim() const noexcept {
    return static_cast<std::size_t>(PyTuple_GET_SIZE(shape_.get()));
}

bool Operand::spread(PyObject* shape, std::size_t size, physics::Strided& out) {
    if (size_ == 1) {
        out = {values_, 0};
        return true;
    }
    const int same = PyObject_RichCompareBool(shape_.get(), shape, Py_EQ);
    if (same < 0) return false;
    if (same) {
        out = {values_, 1};
        return true;
    }
    Owned view = call(numpy.broadcast_to, {array_.get(), shape});
    if (!view) return false;
    spread_array_ = call(numpy.ascontiguousarray, {view.get()});
    if (!spread_array_ || !spread_buffer_.acquire(spread_array_.get(), false)) return false;
    if (spread_buffer_.count(sizeof(double)) != size) {
        PyErr_SetString(PyExc_SystemError, "broadcast array of unexpected size");
        return false;
    }
    out = {static_cast<const double*>(spread_buffer_.data()), 1};
    return true;
}

Owned broadcast_shapes(std::initializer_list<PyObject*> shapes) {
    // Equal shapes (every argument a plain number, most often) broadcast to
    // themselves: no call into NumPy's Python code, which costs microseconds.
    PyObject* first = *shapes.begin();
    bool equal = true;
    for (PyObject* shape : shapes) {
        const int same = PyObject_RichCompareBool(first, shape, Py_EQ);
        if (same < 0) return {};
        equal = equal && same;
    }
    if (equal) return Owned::borrow(first);
    return call(numpy.broadcast_shapes, shapes);
}

std::size_t shape_size(PyObject* shape) {
    std::size_t size = 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
        size *= PyLong_AsSize_t(PyTuple_GET_ITEM(shape, i));
    }
    return size;
}

bool IndexMap::build(PyObject* from, std::size_t from_size, PyObject* shape) {
    Owned count(PyLong_FromSize_t(from_size));
    if (!count) return false;
    Owned flat = call(numpy.arange, {count.get()}, "dtype", numpy.intp);
    if (!flat) return false;
    Owned reshape(PyObject_GetAttrString(flat.get(), "reshape"));
    if (!reshape) return false;
    Owned shaped = call(reshape.get(), {from});
    if (!shaped) return false;
    Owned view = call(numpy.broadcast_to, {shaped.get(), shape});
    if (!view) return false;
    array_ = call(numpy.ascontiguousarray, {view.get()});
    return array_ && buffer_.acquire(array_.get(), false);
}

bool Output::open(PyObject* shape) {
    if (PyTuple_GET_SIZE(shape) == 0) {
        data_ = &scalar_;
        return true;
    }
    array_ = call(numpy.empty, {shape}, "dtype", numpy.float64);
    if (!array_ || !buffer_.acquire(array_.get(), true)) return false;
    data_ = static_cast<double*>(buffer_.data());
    return true;
}

PyObject* Output::finish() {
    if (!array_) return PyFloat_FromDouble(scalar_);
    buffer_.release();
    return array_.release();
}

}  // namespace tavlomer::physics_boundary
