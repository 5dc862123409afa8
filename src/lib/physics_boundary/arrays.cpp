#include "lib/physics_boundary/arrays.hpp"

#include <limits>
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
    PyObject* generic = nullptr;
    PyObject* errstate = nullptr;
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

// The kind of an array's (or a NumPy scalar's) dtype: one letter, or '\0'
// with an exception set.
char dtype_kind(PyObject* array) {
    Owned dtype(PyObject_GetAttrString(array, "dtype"));
    if (!dtype) return '\0';
    Owned kind(PyObject_GetAttrString(dtype.get(), "kind"));
    if (!kind) return '\0';
    const char* text = PyUnicode_AsUTF8(kind.get());
    if (text == nullptr) return '\0';
    return text[0];
}

// "Real numbers" are booleans, integers and floating-point numbers: what
// converts to float64 exactly or by rounding, never by parsing text, and
// never by dropping an imaginary part.
bool is_real_kind(char kind) { return kind != '\0' && std::string_view("biuf").contains(kind); }

// "str", "list of <U1" (an array NumPy made of it), "list containing
// NoneType" (an element of an array of objects).
std::string describe(PyObject* object, PyObject* array, PyObject* element) {
    std::string what = Py_TYPE(object)->tp_name;
    if (element != nullptr && element != object) {
        what += " containing ";
        what += Py_TYPE(element)->tp_name;
    } else if (array != nullptr && element == nullptr && PyObject_Length(array) >= 0) {
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
    return what;
}

std::string not_real_message(const char* name, Holds holds, const std::string& what) {
    return std::string(name) + " must be a real number" +
           (holds == Holds::one ? "" : " or an array of real numbers") + ", not " + what;
}

// The TypeError for an argument that holds something other than real numbers.
[[gnu::cold]] void not_real(const char* name, Holds holds, PyObject* object, PyObject* array,
                            PyObject* element = nullptr) {
    const std::string message = not_real_message(name, holds, describe(object, array, element));
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// Raises `type` with the text `message(cause)` in place of the pending
// exception `cause` (null if it could not be had), caused by it.  The text is
// made with no exception pending.
template <class Message>
[[gnu::cold]] void raise_from_pending(PyObject* type, Message message) {
    PyObject *old_type, *value, *traceback;
    PyErr_Fetch(&old_type, &value, &traceback);
    PyErr_NormalizeException(&old_type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(old_type);
    Py_XDECREF(traceback);
    const std::string text = message(value);
    PyErr_Clear();
    PyErr_SetString(type, text.c_str());
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

// NumPy could not make an array of `object` (a ragged list, an object whose
// conversion fails), or an element's own conversion failed with a
// TypeError: a TypeError naming the argument.
[[gnu::cold]] void not_convertible(const char* name, Holds holds, PyObject* object,
                                   PyObject* element = nullptr) {
    raise_from_pending(PyExc_TypeError, [&](PyObject*) {
        return not_real_message(name, holds, describe(object, nullptr, element));
    });
}

// A real number whose own conversion to float fails with a ValueError (a
// decimal signalling NaN): a ValueError naming the argument and the number.
[[gnu::cold]] void not_a_float(const char* name, PyObject* number) {
    raise_from_pending(PyExc_ValueError, [&](PyObject*) {
        std::string message = std::string(name) + " must be a number that converts to float";
        Owned text(PyObject_Repr(number));
        if (const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr) {
            message += ", not ";
            message += utf8;
        }
        return message;
    });
}

// ---- Real numbers one by one ----------------------------------------------------

// Besides Python's int and float and NumPy's scalars: numbers.Real (Fraction,
// mpmath's mpf) and decimal.Decimal, imported the first time an argument
// holds an object NumPy leaves as it is.
constinit boundary::OnceCell real_types_cell;

PyObject* real_types() {
    if (PyObject* kept = real_types_cell.get()) return kept;
    Owned numbers(PyImport_ImportModule("numbers"));
    Owned decimal = numbers ? Owned(PyImport_ImportModule("decimal")) : Owned();
    Owned real = decimal ? Owned(PyObject_GetAttrString(numbers.get(), "Real")) : Owned();
    Owned exact = real ? Owned(PyObject_GetAttrString(decimal.get(), "Decimal")) : Owned();
    Owned types = exact ? Owned(PyTuple_Pack(2, real.get(), exact.get())) : Owned();
    if (!types) return nullptr;
    return real_types_cell.set_or_keep(types.release());
}

enum class Read { value, not_real, failed };

// A number beyond the range of a double rounds to an infinity of its sign, as
// IEEE 754 rounding to nearest gives (and float('1e400') and
// float(Decimal('1e400'))), where float(10**400) raises instead.
Read beyond_range(PyObject* number, double& value) {
    Owned zero(PyLong_FromLong(0));
    if (!zero) return Read::failed;
    const int negative = PyObject_RichCompareBool(number, zero.get(), Py_LT);
    if (negative < 0) return Read::failed;
    value = negative ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
    return Read::value;
}

// The double nearest to a Python int of any size (bool included).
Read read_int(PyObject* number, double& value) {
    value = PyLong_AsDouble(number);
    if (value != -1.0 || !PyErr_Occurred()) return Read::value;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Read::failed;
    PyErr_Clear();
    return beyond_range(number, value);
}

// The double nearest to `item`, one element of an argument NumPy could only
// hold as objects (or the argument itself): not_real with no exception set
// for anything but a real number.
Read read_real(PyObject* item, double& value) {
    if (PyFloat_Check(item)) {
        value = PyFloat_AS_DOUBLE(item);
        return Read::value;
    }
    if (PyLong_Check(item)) return read_int(item, value);
    // NumPy's scalars go by their dtype: its timedelta64 is an integer to
    // Python's numbers, not to NumPy.
    const int generic = PyObject_IsInstance(item, numpy.generic);
    if (generic < 0) return Read::failed;
    if (generic) {
        const char kind = dtype_kind(item);
        if (kind == '\0') return Read::failed;
        if (!is_real_kind(kind)) return Read::not_real;
    } else {
        PyObject* types = real_types();
        if (types == nullptr) return Read::failed;
        const int real = PyObject_IsInstance(item, types);
        if (real <= 0) return real < 0 ? Read::failed : Read::not_real;
    }
    Owned number(PyNumber_Float(item));
    if (number) {
        value = PyFloat_AS_DOUBLE(number.get());
        return Read::value;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Read::failed;
    PyErr_Clear();
    return beyond_range(item, value);
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
        {"generic", &found.generic},
        {"errstate", &found.errstate},
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

namespace {

// array.astype(float64).  A long double beyond the double's range becomes an
// infinity as a Python int or a Decimal does, without NumPy's overflow warning.
Owned as_float64(PyObject* array) {
    Owned astype(PyObject_GetAttrString(array, "astype"));
    Owned itemsize = astype ? Owned(PyObject_GetAttrString(array, "itemsize")) : Owned();
    if (!itemsize) return {};
    if (PyLong_AsLong(itemsize.get()) <= 8)
        return call(astype.get(), {numpy.float64}, "copy", Py_False);
    Owned ignore(PyUnicode_FromString("ignore"));
    Owned quiet = ignore ? call(numpy.errstate, {}, "over", ignore.get()) : Owned();
    Owned entered = quiet ? Owned(PyObject_CallMethod(quiet.get(), "__enter__", nullptr)) : Owned();
    if (!entered) return {};
    Owned cast = call(astype.get(), {numpy.float64});
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Owned exited(PyObject_CallMethod(quiet.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!exited) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return {};
    }
    PyErr_Restore(type, value, traceback);
    return cast;
}

}  // namespace

bool Operand::convert(PyObject* object, const char* name, Holds holds) {
    // Plain numbers skip NumPy: a scalar call costs a fraction of a
    // microsecond.  Float subclasses (NumPy's float64 among them) hold their
    // value the same way.
    if (PyFloat_Check(object)) {
        scalar_ = PyFloat_AS_DOUBLE(object);
    } else if (PyLong_CheckExact(object)) {
        if (read_int(object, scalar_) != Read::value) return false;
    } else {
        Owned order(PyUnicode_FromString("C"));
        if (!order) return false;
        array_ = call(numpy.array, {object}, "order", order.get());
        if (!array_) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) ||
                PyErr_ExceptionMatches(PyExc_ValueError)) {
                not_convertible(name, holds, object);
            }
            return false;
        }
        const char kind = dtype_kind(array_.get());
        if (kind == 'O') {
            if (!read_objects(object, name, holds)) return false;
        } else if (is_real_kind(kind)) {
            array_ = as_float64(array_.get());
            if (!array_) return false;
        } else {
            if (!PyErr_Occurred()) not_real(name, holds, object, array_.get());
            return false;
        }
        shape_ = Owned(PyObject_GetAttrString(array_.get(), "shape"));
        if (!shape_) return false;
        if (holds == Holds::one && PyTuple_GET_SIZE(shape_.get()) != 0) {
            not_real(name, holds, object, nullptr);
            return false;
        }
        if (!buffer_.acquire(array_.get(), false)) return false;
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

bool Operand::read_objects(PyObject* object, const char* name, Holds holds) {
    // NumPy keeps as objects what it cannot hold as numbers: ints beyond 64
    // bits, Fraction, Decimal, None, complex mixed with them...  Each element
    // is read on its own, into a float64 array of the same shape.
    Owned ravel(PyObject_GetAttrString(array_.get(), "ravel"));
    Owned flat = ravel ? Owned(PyObject_CallNoArgs(ravel.get())) : Owned();
    Owned tolist = flat ? Owned(PyObject_GetAttrString(flat.get(), "tolist")) : Owned();
    Owned items = tolist ? Owned(PyObject_CallNoArgs(tolist.get())) : Owned();
    Owned shape = items ? Owned(PyObject_GetAttrString(array_.get(), "shape")) : Owned();
    if (!shape || !PyList_Check(items.get())) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "ravel().tolist() gave no list");
        return false;
    }
    Owned values = call(numpy.empty, {shape.get()}, "dtype", numpy.float64);
    Buffer buffer;
    if (!values || !buffer.acquire(values.get(), true)) return false;
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(items.get()));
    if (buffer.count(sizeof(double)) != count) {
        PyErr_SetString(PyExc_SystemError, "array of objects of unexpected size");
        return false;
    }
    auto* out = static_cast<double*>(buffer.data());
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
        switch (read_real(item, out[i])) {
            case Read::value:
                break;
            case Read::not_real:
                not_real(name, holds, object, nullptr, item);
                return false;
            case Read::failed:
                if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                    not_convertible(name, holds, object, item);
                } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
                    not_a_float(name, item);
                }
                return false;
        }
    }
    buffer.release();
    array_ = std::move(values);
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
