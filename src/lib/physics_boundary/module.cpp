// The module tavlomer_physics: the physical magnification of a limb-darkened
// source (physics/laws.hpp, physics/magnification.hpp) for NumPy-style
// arguments.  One table describes the five functions; one routine parses,
// converts, validates and broadcasts for all of them, then runs the
// computation on raw arrays with the interpreter's lock released, in slices
// between which pending signals (Ctrl-C) are handled.
#include <Python.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lib/physics_boundary/arrays.hpp"
#include "physics/laws.hpp"
#include "physics/magnification.hpp"

namespace tavlomer::physics_boundary {
namespace {

using physics::Law;

// ---- The functions ------------------------------------------------------

struct Function {
    const char* name;
    std::optional<Law> law;  // none: the uniform disk
    // PyArg_ParseTupleAndKeywords format and names: u, rho, the law's
    // arguments, then the keyword-only rtol.
    const char* format;
    const char* const* keywords;
    const char* doc;
};

constexpr const char* uniform_keywords[] = {"u", "rho", "gradient", nullptr};
constexpr const char* linear_keywords[] = {"u", "rho", "c", "rtol", "gradient", nullptr};
constexpr const char* quadratic_keywords[] = {"u", "rho", "a", "b", "rtol", "gradient", nullptr};
constexpr const char* square_root_keywords[] = {"u", "rho", "c", "d", "rtol", "gradient", nullptr};
constexpr const char* tabulated_keywords[] = {"u",    "rho",      "radii", "intensity",
                                              "rtol", "gradient", nullptr};

constexpr std::array functions = {
    Function{"uniform", std::nullopt, "OO|$O:uniform", uniform_keywords,
             "uniform(u, rho, *, gradient=False)\n--\n\n"
             "Magnification of a uniformly bright disk of radius rho at separation u from a\n"
             "point lens (both in Einstein radii).  Arguments broadcast like a ufunc; a float\n"
             "for scalar arguments, else a float64 array.  gradient=True returns\n"
             "(A, dA/du, dA/drho)."},
    Function{"linear", Law::linear, "OOO|$OO:linear", linear_keywords,
             "linear(u, rho, c, *, rtol=1e-09, gradient=False)\n--\n\n"
             "Magnification of a disk of radius rho with linear limb darkening\n"
             "I(mu) = 1 - c (1 - mu) at separation u (Einstein radii), to relative accuracy\n"
             "rtol.  c <= 1; MulensModel's Gamma converts as c = 3 Gamma / (2 + Gamma).\n"
             "gradient=True returns (A, dA/du, dA/drho, dA/dc)."},
    Function{"quadratic", Law::quadratic, "OOOO|$OO:quadratic", quadratic_keywords,
             "quadratic(u, rho, a, b, *, rtol=1e-09, gradient=False)\n--\n\n"
             "Magnification of a disk with quadratic limb darkening\n"
             "I(mu) = 1 - a (1 - mu) - b (1 - mu)^2, to relative accuracy rtol.\n"
             "gradient=True returns (A, dA/du, dA/drho, dA/da, dA/db)."},
    Function{"square_root", Law::square_root, "OOOO|$OO:square_root", square_root_keywords,
             "square_root(u, rho, c, d, *, rtol=1e-09, gradient=False)\n--\n\n"
             "Magnification of a disk with square-root limb darkening\n"
             "I(mu) = 1 - c (1 - mu) - d (1 - sqrt(mu)), to relative accuracy rtol.\n"
             "gradient=True returns (A, dA/du, dA/drho, dA/dc, dA/dd)."},
    Function{"tabulated", Law::tabulated, "OOOO|$OO:tabulated", tabulated_keywords,
             "tabulated(u, rho, radii, intensity, *, rtol=1e-09, gradient=False)\n--\n\n"
             "Magnification of a disk whose intensity is linear in radius between the\n"
             "table's entries (radii in source radii, increasing, within [0, 1]) and zero\n"
             "outside them, to relative accuracy rtol.  intensity may carry leading axes\n"
             "(one profile per band), broadcast with u and rho.  gradient=True returns\n"
             "(A, dA/du, dA/drho, dA/dintensity), the last with a trailing axis over the\n"
             "table's entries."},
};

// ---- Running with the lock released ----------------------------------------

// The work runs in slices with the interpreter's lock released; between
// slices the lock is taken back and pending signals are handled, so Ctrl-C
// answers within a slice (well inside 0.1 s) and a raised KeyboardInterrupt
// discards the unfinished result.  Taking the lock back every 20 ms costs
// nothing measurable.
constexpr auto slice_duration = std::chrono::milliseconds(20);
// Units between looks at the clock (and the most run without releasing
// the lock): a unit of geometry (a point of a parametric law, a group of a
// table's intervals: physics::basis_units) costs microseconds, up to a
// fraction of a millisecond at the finest rtol; a uniform disk far less, and
// an element's combination a few nanoseconds per basis profile, so the
// combination's grain shrinks as the table grows.
constexpr std::size_t geometry_grain = 16;
constexpr std::size_t element_grain = 1024;

template <class Work>
bool run_released(std::size_t count, std::size_t grain, Work work) {
    // A single grain is over in microseconds: releasing and taking back the
    // lock would cost a good part of it, as NumPy finds for small arrays too.
    if (count <= grain) {
        work(0, count);
        return true;
    }
    std::size_t done = 0;
    while (done < count) {
        PyThreadState* state = PyEval_SaveThread();
        const auto deadline = std::chrono::steady_clock::now() + slice_duration;
        do {
            const std::size_t end = std::min(count, done + grain);
            work(done, end);
            done = end;
        } while (done < count && std::chrono::steady_clock::now() < deadline);
        PyEval_RestoreThread(state);
        if (PyErr_CheckSignals() < 0) return false;
    }
    return true;
}

// ---- Argument checks -----------------------------------------------------------

[[gnu::cold]] PyObject* value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

struct Named {
    const char* name;
    const Operand* operand;
};

// NumPy's broadcasting error counts its arguments from 0; the caller's names
// theirs.  Anything but a ValueError passes through unchanged.
[[gnu::cold]] void not_broadcastable(std::initializer_list<Named> arguments) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;
    PyErr_Clear();
    std::string message = "the shapes do not broadcast together:";
    const char* separator = " ";
    for (const Named& argument : arguments) {
        Owned shape(PyObject_Str(argument.operand->shape()));
        const char* text = shape ? PyUnicode_AsUTF8(shape.get()) : nullptr;
        if (text == nullptr) return;
        message += separator;
        message += argument.name;
        message += ' ';
        message += text;
        separator = ", ";
    }
    PyErr_SetString(PyExc_ValueError, message.c_str());
}

bool check_rho(const Operand& rho) {
    const double* values = rho.values();
    for (std::size_t i = 0; i < rho.size(); ++i) {
        if (!(values[i] > 0.0 && std::isfinite(values[i]))) {
            value_error("rho must be positive and finite (Einstein radii)");
            return false;
        }
        if (values[i] < physics::min_rho) {
            value_error(
                "rho must be at least 2.2250738585072014e-308 (Einstein radii): a smaller "
                "source's magnification can exceed the largest double");
            return false;
        }
    }
    return true;
}

// rtol: absent or None for the default, else a real number in range.
bool parse_rtol(PyObject* object, double& rtol) {
    rtol = physics::default_rtol;
    if (object == nullptr || object == Py_None) return true;
    // Text converts to float by parsing, which is not what a number means.
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
        PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "rtol must be a real number, not %s",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    Owned number(PyNumber_Float(object));
    if (!number) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "rtol must be a real number, not %s",
                         Py_TYPE(object)->tp_name);
        }
        return false;
    }
    rtol = PyFloat_AS_DOUBLE(number.get());
    if (!(rtol >= physics::min_rtol && rtol <= physics::max_rtol)) {
        value_error("rtol must be between 1e-12 and 1e-2");
        return false;
    }
    return true;
}

// gradient: absent or None for False, else True or False.
bool parse_gradient(PyObject* object, bool& gradient) {
    gradient = false;
    if (object == nullptr || object == Py_None) return true;
    if (!PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "gradient must be True or False, not %s",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    gradient = object == Py_True;
    return true;
}

// The results: the magnification alone, or a tuple of it and its derivatives.
PyObject* finish_all(std::span<Output> outputs) {
    if (outputs.size() == 1) return outputs[0].finish();
    Owned tuple(PyTuple_New(static_cast<Py_ssize_t>(outputs.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        PyObject* item = outputs[i].finish();
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

// ---- The calls ------------------------------------------------------------------

PyObject* call_uniform(PyObject* const* objects) {
    Operand u, rho;
    bool gradient = false;
    if (!u.convert(objects[0], "u") || !rho.convert(objects[1], "rho") || !check_rho(rho) ||
        !parse_gradient(objects[2], gradient)) {
        return nullptr;
    }
    Owned shape = broadcast_shapes({u.shape(), rho.shape()});
    if (!shape) {
        not_broadcastable({{"u", &u}, {"rho", &rho}});
        return nullptr;
    }
    const std::size_t size = shape_size(shape.get());
    physics::Strided su, srho;
    if (!u.spread(shape.get(), size, su) || !rho.spread(shape.get(), size, srho)) return nullptr;
    std::array<Output, 3> outputs;
    const std::size_t results = gradient ? 3 : 1;
    for (std::size_t i = 0; i < results; ++i) {
        if (!outputs[i].open(shape.get())) return nullptr;
    }
    double* data = outputs[0].data();
    double* d_u = gradient ? outputs[1].data() : nullptr;
    double* d_rho = gradient ? outputs[2].data() : nullptr;
    if (!run_released(size, element_grain, [&](std::size_t begin, std::size_t end) {
            physics::evaluate_uniform(su, srho, data, begin, end, d_u, d_rho);
        })) {
        return nullptr;
    }
    return finish_all(std::span<Output>(outputs.data(), results));
}

// The shape the law's arguments other than u and rho broadcast to (the
// bands), after checking them; kappa is the largest cancellation among them.
struct Bands {
    Owned shape;
    double kappa = 1.0;
};

bool parametric_bands(Law law, const char* const* names, Operand* coefficients,
                      std::span<const double> flux, Bands& bands) {
    const std::size_t n = physics::coefficient_count(law);
    bands.shape = n == 1 ? broadcast_shapes({coefficients[0].shape()})
                         : broadcast_shapes({coefficients[0].shape(), coefficients[1].shape()});
    if (!bands.shape) {
        not_broadcastable({{names[0], &coefficients[0]}, {names[1], &coefficients[1]}});
        return false;
    }
    const std::size_t size = shape_size(bands.shape.get());
    physics::Strided spread[2];
    for (std::size_t j = 0; j < n; ++j) {
        if (!coefficients[j].spread(bands.shape.get(), size, spread[j])) return false;
    }
    double values[2] = {};
    double w[3] = {};
    const std::size_t basis_size = flux.size();
    for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t j = 0; j < n; ++j) values[j] = spread[j][i];
        const std::span<const double> set(values, n);
        if (auto checked = physics::check_coefficients(law, set); !checked) {
            value_error(checked.error().message);
            return false;
        }
        physics::law_weights(law, set, std::span<double>(w, basis_size));
        bands.kappa = std::max(bands.kappa,
                               physics::cancellation(std::span<const double>(w, basis_size), flux));
    }
    return true;
}

// The table: radii one-dimensional, intensity with the same last axis; each
// profile (a row of intensity) checked on its own.
bool tabulated_bands(const Operand& radii, const Operand& intensity, Bands& bands) {
    if (radii.ndim() != 1) {
        value_error("radii must be a one-dimensional array");
        return false;
    }
    if (intensity.ndim() < 1 ||
        !PyObject_RichCompareBool(PyTuple_GET_ITEM(intensity.shape(), intensity.ndim() - 1),
                                  PyTuple_GET_ITEM(radii.shape(), 0), Py_EQ)) {
        if (!PyErr_Occurred()) value_error("radii and intensity must have the same length");
        return false;
    }
    const std::span<const double> table(radii.values(), radii.size());
    if (auto checked = physics::check_radii(table); !checked) {
        value_error(checked.error().message);
        return false;
    }
    for (std::size_t row = 0; row < intensity.size(); row += table.size()) {
        if (auto checked = physics::check_intensity({intensity.values() + row, table.size()});
            !checked) {
            value_error(checked.error().message);
            return false;
        }
    }
    // Non-negative weights on non-negative basis fluxes: no cancellation.
    bands.kappa = 1.0;
    bands.shape = Owned(PyTuple_GetSlice(intensity.shape(), 0, intensity.ndim() - 1));
    return static_cast<bool>(bands.shape);
}

PyObject* call_law(const Function& function, PyObject* const* objects) {
    const Law law = *function.law;
    const bool table = law == Law::tabulated;
    const std::size_t arguments = table ? 2 : physics::coefficient_count(law);
    const char* const* names = function.keywords;
    Operand u, rho;
    Operand extra[2];  // the coefficients, or radii and intensity
    double rtol = 0.0;
    if (!u.convert(objects[0], "u") || !rho.convert(objects[1], "rho")) return nullptr;
    for (std::size_t j = 0; j < arguments; ++j) {
        if (!extra[j].convert(objects[2 + j], names[2 + j])) return nullptr;
    }
    bool gradient = false;
    if (!check_rho(rho) || !parse_rtol(objects[2 + arguments], rtol) ||
        !parse_gradient(objects[3 + arguments], gradient)) {
        return nullptr;
    }

    Bands bands;
    physics::Basis basis{law, {}};
    if (table) {
        if (!tabulated_bands(extra[0], extra[1], bands)) return nullptr;
        basis.radii = std::span<const double>(extra[0].values(), extra[0].size());
    }
    const std::size_t basis_size = basis.size();
    std::vector<double> flux(basis_size);
    physics::basis_flux(basis, flux);
    if (!table && !parametric_bands(law, names + 2, extra, flux, bands)) return nullptr;
    for (std::size_t row = 0; table && row < extra[1].size(); row += basis_size) {
        if (auto checked = physics::check_table_flux({extra[1].values() + row, basis_size}, flux);
            !checked) {
            return value_error(checked.error().message);
        }
    }

    Owned geometry = broadcast_shapes({u.shape(), rho.shape()});
    Owned shape = geometry ? broadcast_shapes({geometry.get(), bands.shape.get()}) : Owned();
    if (!shape) {
        // The table's radii do not broadcast; its intensity's leading axes do.
        const std::size_t first = table ? 1 : 0;
        if (arguments - first == 1) {
            not_broadcastable({{"u", &u}, {"rho", &rho}, {names[2 + first], &extra[first]}});
        } else {
            not_broadcastable(
                {{"u", &u}, {"rho", &rho}, {names[2], &extra[0]}, {names[3], &extra[1]}});
        }
        return nullptr;
    }
    const std::size_t geometry_count = shape_size(geometry.get());
    const std::size_t count = shape_size(shape.get());

    physics::Batch batch{};
    batch.basis = basis;
    batch.flux = flux;
    batch.rtol = physics::basis_rtol(rtol, bands.kappa);
    batch.geometry_count = geometry_count;
    batch.count = count;
    if (!u.spread(geometry.get(), geometry_count, batch.u) ||
        !rho.spread(geometry.get(), geometry_count, batch.rho)) {
        return nullptr;
    }
    // The geometry is evaluated once for every band that shares it.
    IndexMap index;
    const int same = PyObject_RichCompareBool(geometry.get(), shape.get(), Py_EQ);
    if (same < 0) return nullptr;
    if (!same) {
        if (!index.build(geometry.get(), geometry_count, shape.get())) return nullptr;
        batch.geometry_index = index.data();
    }
    if (table) {
        if (extra[1].size() == basis_size) {
            batch.intensity = {extra[1].values(), 0};
        } else {
            Owned axis(Py_BuildValue("(n)", static_cast<Py_ssize_t>(basis_size)));
            Owned rows = axis ? Owned(PySequence_Concat(shape.get(), axis.get())) : Owned();
            if (!rows || !extra[1].spread(rows.get(), count * basis_size, batch.intensity)) {
                return nullptr;
            }
            batch.intensity.stride = basis_size;
        }
    } else {
        for (std::size_t j = 0; j < arguments; ++j) {
            if (!extra[j].spread(shape.get(), count, batch.coefficients[j])) return nullptr;
        }
    }
    std::vector<double> magnified(geometry_count * basis_size * (gradient ? 3 : 1));
    batch.magnified = magnified.data();
    std::vector<int> exponent(geometry_count);
    batch.exponent = exponent.data();
    // The results: A, then with gradient dA/du, dA/drho and the derivatives
    // in the coefficients (or in the intensity, with a trailing axis).
    std::array<Output, 5> outputs;
    std::size_t results = 1;
    if (!outputs[0].open(shape.get())) return nullptr;
    batch.out = outputs[0].data();
    if (gradient) {
        batch.gradient = true;
        batch.magnified_du = batch.magnified + geometry_count * basis_size;
        batch.magnified_drho = batch.magnified_du + geometry_count * basis_size;
        const std::size_t derivatives = table ? 3 : 2 + arguments;
        for (; results < 1 + derivatives; ++results) {
            if (table && results == 3) {
                Owned axis(Py_BuildValue("(n)", static_cast<Py_ssize_t>(basis_size)));
                Owned rows = axis ? Owned(PySequence_Concat(shape.get(), axis.get())) : Owned();
                if (!rows || !outputs[results].open(rows.get())) return nullptr;
            } else if (!outputs[results].open(shape.get())) {
                return nullptr;
            }
        }
        batch.out_du = outputs[1].data();
        batch.out_drho = outputs[2].data();
        if (table) {
            batch.out_dintensity = outputs[3].data();
        } else {
            for (std::size_t j = 0; j < arguments; ++j) {
                batch.out_dcoefficients[j] = outputs[3 + j].data();
            }
        }
    }
    const std::size_t combine_grain = std::max<std::size_t>(1, element_grain / basis_size);
    if (!run_released(physics::geometry_units(batch), geometry_grain,
                      [&](std::size_t begin, std::size_t end) {
                          physics::evaluate_geometry(batch, begin, end);
                      }) ||
        !run_released(count, combine_grain, [&](std::size_t begin, std::size_t end) {
            physics::combine(batch, begin, end);
        })) {
        return nullptr;
    }
    return finish_all(std::span<Output>(outputs.data(), results));
}

// The call entry of every function: no C++ exception leaves it (memory
// exhaustion in a workspace becomes MemoryError).
template <std::size_t Index>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    constexpr const Function& function = functions[Index];
    PyObject* objects[6] = {};
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, function.format, const_cast<char**>(function.keywords), &objects[0],
            &objects[1], &objects[2], &objects[3], &objects[4], &objects[5])) {
        return nullptr;
    }
    try {
        if constexpr (function.law) {
            return call_law(function, objects);
        } else {
            return call_uniform(objects);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "tavlomer_physics: unexpected internal failure");
        return nullptr;
    }
}

template <std::size_t... Index>
constexpr auto method_table(std::index_sequence<Index...>) {
    // Each entry is cast through void (*)(): a METH_KEYWORDS function takes one
    // more argument than PyCFunction, as the interpreter expects.
    return std::array<PyMethodDef, sizeof...(Index) + 1>{
        PyMethodDef{functions[Index].name,
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Index>)),
                    METH_VARARGS | METH_KEYWORDS, functions[Index].doc}...,
        PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

auto methods = method_table(std::make_index_sequence<functions.size()>());

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tavlomer_physics",
    "The physical magnification of a finite source by a point-mass lens, with limb\n"
    "darkening: u and rho in Einstein radii, NumPy-style arguments.",
    0,
    methods.data(),
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* make_module() {
    if (!load_numpy()) return nullptr;
    Owned module(PyModule_Create(&definition));
    if (!module) return nullptr;
    Owned all(PyList_New(0));
    if (!all) return nullptr;
    for (const Function& function : functions) {
        Owned name(PyUnicode_FromString(function.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
    }
    if (PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
    (void)all.release();  // the module holds it now
    return module.release();
}

}  // namespace
}  // namespace tavlomer::physics_boundary

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavlomer_physics() noexcept {
    try {
        return tavlomer::physics_boundary::make_module();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
