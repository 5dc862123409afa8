// Everything here runs on error paths only.
#include "lib/boundary/text.hpp"

#include <iterator>

#include "lib/boundary/fault.hpp"
#include "lib/boundary/owned.hpp"

namespace tavlomer::boundary {
namespace {

// type(object).<attribute> as text; nothing (and no pending exception) if it
// cannot be read or is not a str.
[[gnu::cold]] std::optional<std::string> type_attribute(PyObject* object, const char* attribute) {
    // The attribute rather than PyType_GetQualName, which PyPy 3.9 lacks;
    // both give the same text.
    Owned value(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), attribute));
    if (value && PyUnicode_Check(value.get())) {
        return utf8_lossy(value.get());
    }
    PyErr_Clear();
    return std::nullopt;
}

}  // namespace

[[gnu::cold]] std::string utf8_lossy(PyObject* str_object) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str_object, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    Owned bytes(PyUnicode_AsEncodedString(str_object, "utf-8", "surrogatepass"));
    if (!bytes) {
        panic_after_error();
    }
    Owned replaced(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                        PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!replaced) {
        panic_after_error();
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(replaced.get(), &size);
    if (utf8 == nullptr) {
        panic_after_error();
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

[[gnu::cold]] std::optional<std::string> try_str(PyObject* object) {
    Owned text(PyObject_Str(object));
    if (!text) {
        return std::nullopt;
    }
    return utf8_lossy(text.get());
}

[[gnu::cold]] std::string display(PyObject* object) {
    if (auto text = try_str(object)) {
        return *std::move(text);
    }
    PyErr_WriteUnraisable(object);
    if (auto name = type_attribute(object, "__name__")) {
        return "<unprintable " + *name + " object>";
    }
    return "<unprintable object>";
}

[[gnu::cold]] std::string decimal(std::size_t value) {
    char digits[24];
    char* first = std::end(digits);
    do {
        *--first = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::string(first, std::end(digits));
}

[[gnu::cold]] std::optional<std::string> type_qualname(PyObject* object) {
    return type_attribute(object, "__qualname__");
}

}  // namespace tavlomer::boundary
