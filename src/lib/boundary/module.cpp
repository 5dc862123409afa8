// Module initialisation: the one exported symbol, PyInit_tavlomer.  The
// module object is created once per process and cached; a second
// initialisation (the module removed from sys.modules and imported again)
// gets the very same object back.
#include <Python.h>

#include <string>
#include <string_view>

#include "lib/boundary/errors.hpp"
#include "lib/boundary/function_table.hpp"
#include "lib/boundary/owned.hpp"
#include "lib/boundary/text.hpp"

namespace tavlomer::boundary {
namespace {

// The C API version the module is built against (PYTHON_API_VERSION of
// CPython 3.x and PyPy 3.x alike).
constexpr int api_version = 1013;

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tavlomer",
    "A Python module implemented natively in C++.",
    0,        // no per-module state
    nullptr,  // the functions are added one by one after creation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constinit OnceCell module_cell;
constinit OnceCell name_key_cell;
constinit OnceCell all_key_cell;

// An interned attribute name, made once and kept for the process.
PyObject* attribute_name(OnceCell& cell, std::string_view text) {
    if (PyObject* name = cell.get()) [[likely]] {
        return name;
    }
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) {
        panic_after_error();
    }
    PyUnicode_InternInPlace(&name);
    return cell.set_or_keep(name);
}

PyObject* name_key() { return attribute_name(name_key_cell, "__name__"); }
PyObject* all_key() { return attribute_name(all_key_cell, "__all__"); }

// The module's "__name__", from its dictionary.
PyResult<Owned> module_name(PyObject* module) {
    PyObject* dictionary = PyModule_GetDict(module);  // borrowed; never fails for a module
    Owned name(PyObject_GetItem(dictionary, name_key()));
    if (!name) {
        PyErr_Clear();
        return std::unexpected(PyError(attribute_error, "__name__"));
    }
    if (!PyUnicode_Check(name.get())) {
        return std::unexpected(downcast_error(name.get(), "PyString"));
    }
    return name;
}

// The module's __all__, created empty if the module has none.
PyResult<Owned> module_all(PyObject* module) {
    Owned all(PyObject_GetAttr(module, all_key()));
    if (!all) {
        PyError error = fetch();
        if (!PyErr_GivenExceptionMatches(error.instance(), PyExc_AttributeError)) {
            return std::unexpected(std::move(error));
        }
        all = Owned(PyList_New(0));
        if (!all) {
            panic_after_error();
        }
        if (PyObject_SetAttr(module, all_key(), all.get()) < 0) {
            return std::unexpected(fetch());
        }
    }
    if (!PyList_Check(all.get())) {
        return std::unexpected(downcast_error(all.get(), "PyList"));
    }
    return all;
}

[[noreturn, gnu::cold]] void all_append_failed() {
    PyError error = fetch();
    PyObject* exception = error.instance();
    std::string message = "could not append __name__ to __all__: ";
    message += reinterpret_cast<PyTypeObject*>(Py_TYPE(exception))->tp_name;
    message += ": ";
    message += try_str(exception).value_or("<unprintable>");
    PyErr_Clear();
    panic(std::move(message));
}

// Registers one function: creates its function object, appends its name to
// __all__ and sets it as a module attribute.
PyResult<void> add_function(PyObject* module, PyMethodDef& record) {
    PyResult<Owned> name = module_name(module);
    if (!name) {
        return std::unexpected(std::move(name).error());
    }
    // The record is static: it outlives the function object, as it must.
    Owned function(PyCMethod_New(&record, module, name->get(), nullptr));
    if (!function) {
        return std::unexpected(fetch());
    }
    Owned function_name(PyObject_GetAttr(function.get(), name_key()));
    if (!function_name) {
        return std::unexpected(fetch());
    }
    if (!PyUnicode_Check(function_name.get())) {
        return std::unexpected(downcast_error(function_name.get(), "PyString"));
    }
    PyResult<Owned> all = module_all(module);
    if (!all) {
        return std::unexpected(std::move(all).error());
    }
    if (PyList_Append(all->get(), function_name.get()) < 0) {
        all_append_failed();
    }
    if (PyObject_SetAttr(module, function_name.get(), function.get()) < 0) {
        return std::unexpected(fetch());
    }
    return {};
}

PyResult<PyObject*> make_module() {
    if (PyObject* module = module_cell.get()) {
        Py_INCREF(module);
        return module;
    }
    Owned module(PyModule_Create2(&definition, api_version));
    if (!module) {
        return std::unexpected(fetch());
    }
    // The first failure stops registration and drops the half-built module;
    // a later import starts afresh.
    for (PyMethodDef& record : method_records()) {
        if (PyResult<void> added = add_function(module.get(), record); !added) {
            return std::unexpected(std::move(added).error());
        }
    }
    PyObject* kept = module_cell.set_or_keep(module.release());
    Py_INCREF(kept);
    return kept;
}

}  // namespace
}  // namespace tavlomer::boundary

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavlomer() noexcept {
    return tavlomer::boundary::trampoline(tavlomer::boundary::make_module);
}
