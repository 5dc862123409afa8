#include "lib/boundary/errors.hpp"

#include <cstdio>
#include <exception>
#include <new>

#include "lib/boundary/text.hpp"

namespace tavlomer::boundary {
namespace {

constinit OnceCell panic_exception_cell;

constexpr const char* panic_exception_name = "pyo3_runtime.PanicException";
constexpr const char* panic_exception_doc =
    "\n"
    "Raised when the module's native code, called from Python, panics on an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The message of a fault that carries no text of its own.
constexpr const char* faceless_fault_message = "the native code faulted without a message";

bool is_exception_class(PyObject* type) noexcept {
    return PyType_Check(type) &&
           PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                            reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
}

PyError from_panic_payload(std::string message) noexcept {
    return PyError(panic_exception, std::move(message));
}

// This module's PanicException came back from Python code (say, raised by
// an element's __float__ during a conversion): the fault it stands for goes
// on, with a new PanicException of the same message at the call entry.
[[noreturn, gnu::cold]] void resume_fetched_panic(PyError error) {
    std::optional<std::string> message = try_str(error.instance());
    if (!message) {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    std::fputs(
        "tavlomer: a PanicException came back from Python code; its internal fault goes on.\n"
        "Python stack trace below:\n",
        stderr);
    std::move(error).restore();
    PyErr_PrintEx(0);
    // Reported once already, where it first happened.
    throw Fault{*std::move(message)};
}

// Mend for a fault while a failure is being reported (the exception cannot
// be built, or the PanicException class cannot be created): the process
// goes on, and the caller gets the best exception still available.  Only
// inside a catch handler.
[[gnu::cold]] void recover_from_reporting_fault() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    } catch (const Fault& fault) {
        // Already reported where it happened.  What the interpreter says
        // went wrong, if anything, tells the caller more than we could.
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "internal fault while reporting an error: %s",
                         fault.message.c_str());
        }
        return;
    } catch (...) {
        report_fault("unknown C++ exception while reporting an error");
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "internal fault while reporting an error");
    }
}

}  // namespace

PyObject* type_error() noexcept { return PyExc_TypeError; }
PyObject* runtime_error() noexcept { return PyExc_RuntimeError; }
PyObject* attribute_error() noexcept { return PyExc_AttributeError; }
PyObject* system_error() noexcept { return PyExc_SystemError; }

PyObject* panic_exception() {
    if (PyObject* type = panic_exception_cell.get()) [[likely]] {
        return type;
    }
    PyObject* type = PyErr_NewExceptionWithDoc(panic_exception_name, panic_exception_doc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
        // The interpreter's own exception stays pending: it is what the
        // caller will see (recover_from_reporting_fault).
        panic("Failed to initialize new exception type.");
    }
    return panic_exception_cell.set_or_keep(type);
}

// Takes whatever exception is pending, without looking at its type.
PyError take_raw_error() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return PyError(system_error, "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    return PyError(PyError::Built{Owned(type), Owned(value), Owned(traceback)});
}

PyError fetch() {
    PyError error = take_raw_error();
    // No PanicException can exist before its class does, so an uncreated
    // class needs no check (and is not created just to compare with).
    PyObject* panic_type = panic_exception_cell.get();
    const auto* built = std::get_if<PyError::Built>(&error.state_);
    if (panic_type != nullptr && built != nullptr &&
        reinterpret_cast<PyObject*>(Py_TYPE(built->value.get())) == panic_type) [[unlikely]] {
        resume_fetched_panic(std::move(error));
    }
    return error;
}

PyObject* PyError::instance() {
    if (auto* built = std::get_if<Built>(&state_)) {
        return built->value.get();
    }
    std::move(*this).restore();
    *this = take_raw_error();
    if (auto* built = std::get_if<Built>(&state_)) {
        return built->value.get();
    }
    panic("an exception was raised but none could be fetched");
}

void PyError::set_cause(Owned cause) {
    // Steals the reference, on CPython and PyPy alike.
    PyException_SetCause(instance(), cause.release());
}

void PyError::restore() && {
    if (auto* built = std::get_if<Built>(&state_)) {
        PyErr_Restore(built->type.release(), built->value.release(), built->traceback.release());
        return;
    }
    // std::get_if throughout: std::get would drag the bad_variant_access
    // type information into the module's exported symbols.
    auto* lazy = std::get_if<Lazy>(&state_);
    PyObject* type = lazy->type();
    Owned text(lazy->fixed_text != nullptr
                   ? PyUnicode_FromString(lazy->fixed_text)
                   : PyUnicode_FromStringAndSize(lazy->owned_text.data(),
                                                 static_cast<Py_ssize_t>(lazy->owned_text.size())));
    if (!text) {
        panic_after_error();
    }
    if (!is_exception_class(type)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    PyErr_SetObject(type, text.get());
}

[[gnu::cold]] PyError downcast_error(PyObject* object, const char* target) {
    std::string message = "'";
    message += type_qualname(object).value_or("<failed to extract type name>");
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    return PyError(type_error, std::move(message));
}

void raise(PyError error) noexcept {
    try {
        std::move(error).restore();
    } catch (...) {
        recover_from_reporting_fault();
    }
}

[[gnu::cold]] void raise_caught() noexcept {
    std::optional<PyError> error;
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            // Mend: memory exhaustion is the interpreter's MemoryError, not
            // the end of the process.
            PyErr_NoMemory();
            return;
        } catch (Fault& fault) {
            error = from_panic_payload(std::move(fault.message));
        } catch (const std::exception& exception) {
            report_fault(exception.what());
            error = from_panic_payload(exception.what());
        } catch (...) {
            report_fault(faceless_fault_message);
            error = from_panic_payload(faceless_fault_message);
        }
    } catch (...) {
        recover_from_reporting_fault();
        return;
    }
    raise(*std::move(error));
}

}  // namespace tavlomer::boundary
