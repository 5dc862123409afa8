// Error values, internal faults and the call entry through which the
// interpreter enters the module.
//
// Three kinds of failure leave the module:
//  - an error value (`PyError`): an ordinary Python exception, such as a
//    binding TypeError or a RuntimeError carrying a NumericError's text;
//  - an internal fault (`Fault`, thrown by `panic`; both in fault.hpp): a
//    broken invariant, unwound to the call entry and raised as
//    PanicException, a BaseException subclass so that `except Exception`
//    lets it through;
//  - memory exhaustion (std::bad_alloc): raised as MemoryError.
#pragma once

#include <Python.h>

#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "lib/boundary/fault.hpp"
#include "lib/boundary/owned.hpp"

namespace tavlomer::boundary {

// Names the exception type of a not yet built exception.  A function rather
// than an object because PanicException is created only on first need.
using ExceptionType = PyObject* (*)();

PyObject* type_error() noexcept;
PyObject* runtime_error() noexcept;
PyObject* attribute_error() noexcept;
PyObject* system_error() noexcept;
// "pyo3_runtime.PanicException", created once per process; faults with
// "Failed to initialize new exception type." if the interpreter cannot.
PyObject* panic_exception();

// A Python exception to be raised: either a type with the text it is to be
// built from, or an exception already built (type, value, traceback).  The
// exception object is built only when the error is raised or inspected, at
// most once.  Move-only; raised at most once.
class PyError {
public:
    PyError(ExceptionType type, const char* fixed_text) noexcept
        : state_(Lazy{type, fixed_text, {}}) {}
    PyError(ExceptionType type, std::string owned_text) noexcept
        : state_(Lazy{type, nullptr, std::move(owned_text)}) {}

    // The exception instance, built now if it was not yet.
    PyObject* instance();
    // Builds the exception and makes `cause` (a new reference or null) its
    // __cause__.
    void set_cause(Owned cause);
    // Makes this the interpreter's current exception, replacing any.
    void restore() &&;

private:
    friend PyError take_raw_error() noexcept;
    friend PyError fetch();
    struct Lazy {
        ExceptionType type;
        const char* fixed_text;  // or, when null, owned_text
        std::string owned_text;
    };
    struct Built {
        Owned type, value, traceback;
    };
    explicit PyError(Built built) noexcept : state_(std::move(built)) {}
    std::variant<Lazy, Built> state_;
};

template <class T>
using PyResult = std::expected<T, PyError>;

// Takes the interpreter's pending exception, clearing it (SystemError
// "attempted to fetch exception but none was set" if there is none).  This
// module's own PanicException is never handed back as an error: the fault it
// stands for resumes, with the fetched exception printed to standard error,
// and reaches the caller as a new PanicException with the same message.
[[nodiscard]] PyError fetch();

// TypeError "'QUALNAME' object cannot be converted to 'TARGET'", QUALNAME
// being the qualified name of the object's type.
[[nodiscard]] PyError downcast_error(PyObject* object, const char* target);

// Raises `error` as the current exception.  A fault while doing so leaves
// the best exception still available instead of ending the process.
void raise(PyError error) noexcept;
// Raises the exception in flight (call only inside a catch handler): a
// Fault or foreign C++ exception as PanicException, std::bad_alloc as
// MemoryError.
void raise_caught() noexcept;

// The call entry: every entry from the interpreter runs its work inside it.
// Returns the body's new reference, or null with an exception set.  No C++
// exception ever leaves it.
template <class Body>
inline PyObject* trampoline(Body&& body) noexcept {
    try {
        PyResult<PyObject*> result = std::forward<Body>(body)();
        if (result) [[likely]] {
            return *result;
        }
        raise(std::move(result).error());
    } catch (...) {
        raise_caught();
    }
    return nullptr;
}

}  // namespace tavlomer::boundary
