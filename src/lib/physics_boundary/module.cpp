// The module tavlomer_physics._core (re-exported whole by the package
// tavlomer_physics): the physical magnification of a limb-darkened
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
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lib/physics_boundary/arrays.hpp"
#include "lib/physics_boundary/team.hpp"
#include "physics/laws.hpp"
#include "physics/magnification.hpp"

namespace tavlomer::physics_boundary {
namespace {

using physics::Law;

// ---- The functions ------------------------------------------------------
//
// The uniform disk, then one function per law of the law table; each one's
// keywords, argument format and docstring are written from its entry when
// the module is made.

constexpr std::size_t function_count = 1 + physics::law_table.size();

// The law of function `index`, none for the uniform disk.
constexpr std::optional<Law> law_of(std::size_t index) noexcept {
    if (index == 0) return std::nullopt;
    return physics::law_table[index - 1].law;
}

constexpr const char* uniform_doc =
    "uniform(u, rho, *, gradient=False, centroid=False, threads=1)\n--\n\n"
    "Magnification of a uniformly bright disk of radius rho at separation u from a\n"
    "point lens (both in Einstein radii).  Arguments broadcast like a ufunc; a float\n"
    "for scalar arguments, else a float64 array.  gradient=True returns\n"
    "(A, dA/du, dA/drho).  centroid=True returns (A, shift): shift is the\n"
    "displacement of the images' light centroid from the source centre along the\n"
    "lens-source axis, positive away from the lens, in Einstein radii.  With both,\n"
    "(A, shift, dA/du, dA/drho, dshift/du, dshift/drho): exact derivatives, infinite\n"
    "on the limb; shift is even in u, and at u = 0 dshift/du is its limit as u -> 0+.";

// The last paragraph of every docstring.
constexpr const char* threads_doc =
    "\n\nthreads: how many threads share the call's points (0: one per CPU the process\n"
    "may use), with the interpreter's lock released; the results are the same to the\n"
    "bit whatever the number.";

constexpr const char* tabulated_doc =
    "Magnification of a disk whose intensity is linear in radius between the\n"
    "table's entries (radii in source radii, increasing, within [0, 1]) and zero\n"
    "outside them, to relative accuracy rtol.  intensity may carry leading axes\n"
    "(one profile per band), broadcast with u and rho.  gradient=True returns\n"
    "(A, dA/du, dA/drho, dA/dintensity), the last with a trailing axis over the\n"
    "table's entries.";

constexpr const char* centroid_doc =
    "\ncentroid=True returns (A, shift): shift is the displacement of the images'\n"
    "light centroid from the source centre along the lens-source axis, positive\n"
    "away from the lens, in Einstein radii, within rtol * max(|shift|, 0.01 rho).\n"
    "With gradient=True too, A and shift are followed by A's derivatives, then the\n"
    "shift's in the same order (A, shift, dA/du, dA/drho, ..., dshift/du,\n"
    "dshift/drho, ...): the shift's within 10 rtol relative, or rtol *\n"
    "max(|shift|, 0.01 rho), over rho in u and rho.";

// What PyArg_ParseTupleAndKeywords and the method table need of a function,
// kept for the life of the process.
struct Signature {
    std::string name;
    std::string format;
    std::vector<std::string> names;
    std::vector<const char*> keywords;
    std::size_t positional = 0;  // the parameters before the keyword-only ones
    std::string doc;
    // The names as interned strings, made with the module: a call's keyword
    // names are most often these very objects.
    std::vector<PyObject*> interned;
};

// u, rho, the law's arguments, then the keyword-only rtol (laws), gradient,
// centroid and threads.
Signature signature_of(std::size_t index) {
    Signature out;
    const physics::LawDescriptor* law = index == 0 ? nullptr : &physics::law_table[index - 1];
    out.name = law ? std::string(law->name) : "uniform";
    out.names = {"u", "rho"};
    if (law) {
        for (std::size_t j = 0; j < law->argument_count; ++j) {
            out.names.emplace_back(law->arguments[j]);
        }
        out.names.emplace_back("rtol");
    }
    out.names.emplace_back("gradient");
    out.names.emplace_back("centroid");
    out.names.emplace_back("threads");
    const std::size_t keyword_only = law ? 4 : 3;
    const std::size_t positional = out.names.size() - keyword_only;
    out.positional = positional;
    out.format =
        std::string(positional, 'O') + "|$" + std::string(keyword_only, 'O') + ":" + out.name;
    for (const std::string& name : out.names) out.keywords.push_back(name.c_str());
    out.keywords.push_back(nullptr);
    if (!law) {
        out.doc = std::string(uniform_doc) + threads_doc;
        return out;
    }
    std::string arguments;
    for (std::size_t j = 0; j < positional; ++j) arguments += out.names[j] + ", ";
    out.doc = out.name + "(" + arguments +
              "*, rtol=1e-09, gradient=False, centroid=False, threads=1)\n--\n\n";
    if (law->law == Law::tabulated) {
        out.doc += tabulated_doc;
        out.doc += centroid_doc;
        out.doc += threads_doc;
        return out;
    }
    out.doc += "Magnification of a disk of radius rho with " + std::string(law->kind) +
               " limb darkening\nI(mu) = " + std::string(law->intensity) +
               " at separation u (Einstein radii),\nto relative accuracy rtol.";
    if (!law->note.empty()) out.doc += "  " + std::string(law->note);
    out.doc += "\ngradient=True returns (A, dA/du, dA/drho";
    for (std::size_t j = 0; j < law->argument_count; ++j) {
        out.doc += ", dA/d" + std::string(law->arguments[j]);
    }
    out.doc += ").";
    out.doc += centroid_doc;
    out.doc += threads_doc;
    return out;
}

// Made once, by the module's initialisation, before any call.
std::array<Signature, function_count>& signatures() {
    static std::array<Signature, function_count> table = [] {
        std::array<Signature, function_count> out;
        for (std::size_t i = 0; i < function_count; ++i) out[i] = signature_of(i);
        return out;
    }();
    return table;
}

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

#if defined(PYPY_VERSION)
// PyPy's C API runs no signal handler: its PyErr_CheckSignals returns 0
// whatever is pending (so does PyOS_InterruptOccurred).  PyPy runs them from
// its bytecode loop, once a signal has set the loop's tick counter below zero;
// code its JIT has compiled looks at the counter only where a loop closes.
// Calling a Python function whose loop turns once therefore runs the pending
// handlers, compiled or not (one without a loop stops doing so once the JIT
// has compiled it).
constinit boundary::OnceCell signal_poll_cell;

PyObject* signal_poll() {
    if (PyObject* poll = signal_poll_cell.get()) return poll;
    Owned globals(PyDict_New());
    if (!globals) return nullptr;
    Owned defined(PyRun_String("def poll():\n    for _ in (0,):\n        pass\n", Py_file_input,
                               globals.get(), globals.get()));
    if (!defined) return nullptr;
    PyObject* poll = PyDict_GetItemString(globals.get(), "poll");  // borrowed
    if (poll == nullptr) {
        PyErr_SetString(PyExc_SystemError, "tavlomer_physics: no signal poll");
        return nullptr;
    }
    Py_INCREF(poll);
    return signal_poll_cell.set_or_keep(poll);
}
#endif

// Runs the handlers of pending signals (SIGINT's raises KeyboardInterrupt);
// false with the handler's exception set when one raises.
bool handle_signals() {
    if (PyErr_CheckSignals() < 0) return false;
#if defined(PYPY_VERSION)
    PyObject* poll = signal_poll();
    if (poll == nullptr) return false;
    return static_cast<bool>(Owned(PyObject_CallNoArgs(poll)));
#else
    return true;
#endif
}

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
        if (!handle_signals()) return false;
    }
    return true;
}

// The same work shared by `threads` threads (threads=...), in chunks of a
// multiple of `align` items (a chunk never splits what must run in order on
// one thread: a point's units).  The calling thread computes nothing and
// keeps the job of handling signals: it releases the interpreter's lock,
// waits for the team a slice at a time, and between slices takes the lock
// back as run_released does; when a handler raises, the team stops after its
// current grain and is joined before the call returns.  The results are
// those of run_released to the bit, since each item is computed alone.
template <class Work>
bool run_shared(std::size_t threads, std::size_t count, std::size_t grain, std::size_t align,
                Work work) {
    // Chunks of at least a grain (tens of microseconds of work), so that
    // taking one costs nothing beside it.
    const std::size_t chunk = align * std::max<std::size_t>(1, (grain + align - 1) / align);
    if (threads <= 1 || count <= chunk) return run_released(count, grain, work);
    Team team(threads, count, chunk, grain, work);
    if (team.started() == 0) return run_released(count, grain, work);
    PyThreadState* state = PyEval_SaveThread();
    while (!team.wait_for(slice_duration)) {
        PyEval_RestoreThread(state);
        const bool handled = handle_signals();
        state = PyEval_SaveThread();
        if (!handled) {
            team.stop();
            PyEval_RestoreThread(state);
            return false;
        }
    }
    team.stop();
    PyEval_RestoreThread(state);
    return handle_signals();
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
[[gnu::cold]] void not_broadcastable(std::span<const Named> arguments) {
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

// rtol: absent or None for the default, else one real number (by the rule of
// every numeric argument) in range.
bool parse_rtol(PyObject* object, double& rtol) {
    rtol = physics::default_rtol;
    if (object == nullptr || object == Py_None) return true;
    Operand number;
    if (!number.convert(object, "rtol", Holds::one)) return false;
    rtol = number.values()[0];
    if (!(rtol >= physics::min_rtol && rtol <= physics::max_rtol)) {
        value_error("rtol must be between 1e-12 and 1e-2");
        return false;
    }
    return true;
}

// gradient and centroid: absent or None for False, else True or False.
bool parse_flag(PyObject* object, const char* name, bool& flag) {
    flag = false;
    if (object == nullptr || object == Py_None) return true;
    if (!PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be True or False, not %s", name,
                     Py_TYPE(object)->tp_name);
        return false;
    }
    flag = object == Py_True;
    return true;
}

// threads: absent or None for 1, 0 for every CPU the process may use, else a
// positive integer (any object with __index__ but bool).
bool parse_threads(PyObject* object, std::size_t& threads) {
    threads = 1;
    if (object == nullptr || object == Py_None) return true;
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        PyErr_Format(PyExc_TypeError, "threads must be an integer, not %s",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    Owned number(PyNumber_Index(object));
    if (!number) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        value_error("threads must be 0 (one per CPU) or a positive number of threads");
        return false;
    }
    // At most four per CPU: beyond that threads only take turns on the
    // cores, and a number beyond any machine's would start one per chunk.
    const std::size_t cpus = available_cpus();
    const std::size_t most = 4 * cpus;
    threads =
        value == 0 ? cpus : (overflow > 0 ? most : std::min(most, static_cast<std::size_t>(value)));
    return true;
}

// tavlomer_physics.AccuracyWarning, made with the module.
constinit PyObject* accuracy_warning = nullptr;

// The quadrature fell short of rtol at some points: the results stand (the
// best the quadrature reached), and the caller is told how many and how far.
// False when the warning is raised as an error (warnings filters).
[[gnu::cold]] bool warn_shortfall(const physics::Shortfall& shortfall, std::size_t points,
                                  double rtol) {
    char* asked = PyOS_double_to_string(rtol, 'r', 0, 0, nullptr);
    char* reached = PyOS_double_to_string(shortfall.worst * rtol, 'e', 1, 0, nullptr);
    const int status =
        asked && reached
            ? PyErr_WarnFormat(accuracy_warning, 1,
                               "rtol=%s was not met at %zu of %zu points (u, rho): the "
                               "estimated error reached %s relative",
                               asked, shortfall.count, points, reached)
            : -1;
    PyMem_Free(asked);
    PyMem_Free(reached);
    return status == 0;
}

// Tells the caller (AccuracyWarning) where a law's quadrature fell short of
// rtol, asked with the bands' largest cancellation kappa (basis_rtol); false
// when the warning is raised as an error.
bool report_shortfall(const physics::Batch& batch, double kappa, double rtol) {
    physics::Shortfall shortfall = physics::shortfall(batch);
    // Where the bands' cancellation asks the basis for more than it
    // promises (basis_rtol), every point reaches kappa times that at best:
    // power2's kappa reaches 4 / alpha for c far below 0 (the other laws'
    // stays small).
    if (const double reachable = physics::finest_basis_rtol * kappa;
        physics::descriptor(batch.basis.law).parametrised && reachable > rtol) {
        shortfall = {batch.geometry_count, std::max(shortfall.worst, reachable / rtol)};
    }
    return shortfall.count == 0 || warn_shortfall(shortfall, batch.geometry_count, rtol);
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
    bool centroid = false;
    std::size_t threads = 1;
    if (!u.convert(objects[0], "u") || !rho.convert(objects[1], "rho") || !check_rho(rho) ||
        !parse_flag(objects[2], "gradient", gradient) ||
        !parse_flag(objects[3], "centroid", centroid) || !parse_threads(objects[4], threads)) {
        return nullptr;
    }
    Owned shape = broadcast_shapes({u.shape(), rho.shape()});
    if (!shape) {
        const Named named[] = {{"u", &u}, {"rho", &rho}};
        not_broadcastable(named);
        return nullptr;
    }
    const std::size_t size = shape_size(shape.get());
    physics::Strided su, srho;
    if (!u.spread(shape.get(), size, su) || !rho.spread(shape.get(), size, srho)) return nullptr;
    // (A, shift, dA/du, dA/drho, dshift/du, dshift/drho) with both.
    std::array<Output, 6> outputs;
    const std::size_t results = (centroid ? 2 : 1) * (gradient ? 3 : 1);
    for (std::size_t i = 0; i < results; ++i) {
        if (!outputs[i].open(shape.get())) return nullptr;
    }
    double* data = outputs[0].data();
    if (centroid) {
        double* shift = outputs[1].data();
        std::array<double*, 4> slopes{};
        if (gradient) {
            for (std::size_t i = 0; i < 4; ++i) slopes[i] = outputs[2 + i].data();
        }
        if (!run_shared(threads, size, element_grain, 1, [&](std::size_t begin, std::size_t end) {
                physics::evaluate_uniform_centroid(su, srho, data, shift, begin, end, slopes);
            })) {
            return nullptr;
        }
        return finish_all(std::span<Output>(outputs.data(), results));
    }
    double* d_u = gradient ? outputs[1].data() : nullptr;
    double* d_rho = gradient ? outputs[2].data() : nullptr;
    if (!run_shared(threads, size, element_grain, 1, [&](std::size_t begin, std::size_t end) {
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

// The C-order multi-index of element `flat` of an array of shape `shape`.
std::vector<Py_ssize_t> unravel(std::size_t flat, PyObject* shape) {
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    std::vector<Py_ssize_t> index(static_cast<std::size_t>(ndim));
    for (Py_ssize_t axis = ndim - 1; axis >= 0; --axis) {
        const Py_ssize_t extent = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape, axis));
        if (extent <= 0) break;  // an empty array has no element to name
        index[static_cast<std::size_t>(axis)] = static_cast<Py_ssize_t>(flat) % extent;
        flat /= static_cast<std::size_t>(extent);
    }
    return index;
}

// "name[i, j] = value" for the element of `operand` that stands at `index`
// of the broadcast shape (axes aligned at the right, length-1 axes read at
// 0), or "name = value" for a single number.
std::string element_text(const char* name, const Operand& operand,
                         const std::vector<Py_ssize_t>& index, double value) {
    std::string text = name;
    const std::size_t ndim = operand.ndim();
    if (ndim > 0) {
        text += '[';
        for (std::size_t axis = 0; axis < ndim; ++axis) {
            const Py_ssize_t extent = PyLong_AsSsize_t(PyTuple_GET_ITEM(operand.shape(), axis));
            const Py_ssize_t at = extent == 1 ? 0 : index[index.size() - ndim + axis];
            text += (axis ? ", " : "") + std::to_string(at);
        }
        text += ']';
    }
    char* repr = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr) return text;
    text += " = ";
    text += repr;
    PyMem_Free(repr);
    return text;
}

// A refusal of array elements: the rule, then the elements it refuses.
[[gnu::cold]] void refuse_elements(const char* rule, const std::string& elements) {
    PyErr_Format(PyExc_ValueError, "%s (%s)", rule, elements.c_str());
}

bool parametric_bands(Law law, const char* const* names, std::span<Operand> coefficients,
                      std::span<const double> flux, Bands& bands) {
    // The coefficients, and a parametrised law's parameter after them.
    const physics::LawDescriptor& descriptor = physics::descriptor(law);
    const std::size_t n = descriptor.argument_count;
    bands.shape = broadcast_shapes({coefficients[0].shape()});
    for (std::size_t j = 1; bands.shape && j < n; ++j) {
        bands.shape = broadcast_shapes({bands.shape.get(), coefficients[j].shape()});
    }
    if (!bands.shape) {
        std::vector<Named> named;
        for (std::size_t j = 0; j < n; ++j) named.push_back({names[j], &coefficients[j]});
        not_broadcastable(named);
        return false;
    }
    const std::size_t size = shape_size(bands.shape.get());
    std::array<physics::Strided, physics::max_coefficients> spread{};
    for (std::size_t j = 0; j < n; ++j) {
        if (!coefficients[j].spread(bands.shape.get(), size, spread[j])) return false;
    }
    std::array<double, physics::max_coefficients> values{};
    for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t j = 0; j < n; ++j) values[j] = spread[j][i];
        const std::span<const double> set(values.data(), n);
        if (auto checked = physics::check_coefficients(law, set); !checked) {
            const std::vector<Py_ssize_t> index = unravel(i, bands.shape.get());
            std::string elements;
            for (std::size_t j = 0; j < n; ++j) {
                if (j > 0) elements += ", ";
                elements += element_text(names[j], coefficients[j], index, values[j]);
            }
            refuse_elements(checked.error().message, elements);
            return false;
        }
        bands.kappa = std::max(bands.kappa, physics::law_cancellation(law, set, flux));
    }
    return true;
}

// A parametrised law's geometry (power2: u, rho and alpha): each distinct
// pair of a (u, rho) point and a parameter value among the result's
// elements is evaluated once, so that bands sharing alpha share the
// quadrature, and bands of their own alpha each pay for theirs.
struct ParameterGeometry {
    std::vector<double> u, rho, parameter;
    std::vector<std::ptrdiff_t> index;  // per result element
};

void parameter_geometry(const physics::Batch& batch, physics::Strided parameter,
                        ParameterGeometry& out) {
    const std::size_t count = batch.count;
    const auto point = [&](std::size_t i) {
        return batch.geometry_index ? static_cast<std::size_t>(batch.geometry_index[i]) : i;
    };
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    // Parameters are positive and finite (checked): < orders them.
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const std::size_t pa = point(a), pb = point(b);
        return pa != pb ? pa < pb : parameter[a] < parameter[b];
    });
    out.index.resize(count);
    for (std::size_t r = 0; r < count; ++r) {
        const std::size_t i = order[r];
        if (r == 0 || point(i) != point(order[r - 1]) || parameter[i] != parameter[order[r - 1]]) {
            out.u.push_back(batch.u[point(i)]);
            out.rho.push_back(batch.rho[point(i)]);
            out.parameter.push_back(parameter[i]);
        }
        out.index[i] = static_cast<std::ptrdiff_t>(out.u.size() - 1);
    }
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
        const std::size_t j = checked.error().index;
        if (j == physics::Refusal::no_index) {
            value_error(checked.error().message);
        } else {
            refuse_elements(checked.error().message,
                            element_text("radii", radii, {static_cast<Py_ssize_t>(j)}, table[j]));
        }
        return false;
    }
    for (std::size_t row = 0; row < intensity.size(); row += table.size()) {
        if (auto checked = physics::check_intensity({intensity.values() + row, table.size()});
            !checked) {
            const std::size_t j = checked.error().index;
            if (j == physics::Refusal::no_index) {
                value_error(checked.error().message);
            } else {
                const std::size_t flat = row + j;
                refuse_elements(
                    checked.error().message,
                    element_text("intensity", intensity, unravel(flat, intensity.shape()),
                                 intensity.values()[flat]));
            }
            return false;
        }
    }
    // Non-negative weights on non-negative basis fluxes: no cancellation.
    bands.kappa = 1.0;
    bands.shape = Owned(PyTuple_GetSlice(intensity.shape(), 0, intensity.ndim() - 1));
    return static_cast<bool>(bands.shape);
}

PyObject* call_law(Law law, const Signature& signature, PyObject* const* objects) {
    const bool table = law == Law::tabulated;
    const std::size_t arguments = physics::descriptor(law).argument_count;
    const char* const* names = signature.keywords.data();
    Operand u, rho;
    // The coefficients, or radii and intensity.
    std::array<Operand, std::max<std::size_t>(physics::max_coefficients, 2)> extra;
    double rtol = 0.0;
    if (!u.convert(objects[0], "u") || !rho.convert(objects[1], "rho")) return nullptr;
    for (std::size_t j = 0; j < arguments; ++j) {
        if (!extra[j].convert(objects[2 + j], names[2 + j])) return nullptr;
    }
    bool gradient = false;
    bool centroid = false;
    std::size_t threads = 1;
    if (!check_rho(rho) || !parse_rtol(objects[2 + arguments], rtol) ||
        !parse_flag(objects[3 + arguments], "gradient", gradient) ||
        !parse_flag(objects[4 + arguments], "centroid", centroid) ||
        !parse_threads(objects[5 + arguments], threads)) {
        return nullptr;
    }

    Bands bands;
    physics::Basis basis{law, {}};
    const bool parametrised = physics::descriptor(law).parametrised;
    // The parameter's derivative takes one more profile.
    basis.slope = gradient && parametrised;
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
        std::vector<Named> named = {{"u", &u}, {"rho", &rho}};
        for (std::size_t j = table ? 1 : 0; j < arguments; ++j) {
            named.push_back({names[2 + j], &extra[j]});
        }
        not_broadcastable(named);
        return nullptr;
    }
    std::size_t geometry_count = shape_size(geometry.get());
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
    ParameterGeometry by_parameter;
    if (parametrised) {
        const physics::Strided parameter = batch.coefficients[arguments - 1];
        if (parameter.stride == 0) {
            batch.parameter = parameter;  // one for every point
        } else {
            parameter_geometry(batch, parameter, by_parameter);
            geometry_count = by_parameter.u.size();
            batch.geometry_count = geometry_count;
            batch.u = {by_parameter.u.data(), 1};
            batch.rho = {by_parameter.rho.data(), 1};
            batch.parameter = {by_parameter.parameter.data(), 1};
            batch.geometry_index = by_parameter.index.data();
        }
    }
    // F_k, then S_k, then F_k's slopes, then S_k's.
    std::vector<double> magnified(geometry_count * basis_size * (gradient ? 3 : 1) *
                                  (centroid ? 2 : 1));
    batch.magnified = magnified.data();
    std::vector<int> exponent(geometry_count);
    batch.exponent = exponent.data();
    // The results: A, then with centroid the shift, then with gradient
    // dA/du, dA/drho and the derivatives in the coefficients (or in the
    // intensity, with a trailing axis), and with both the shift's likewise.
    std::array<Output, 2 * (3 + physics::max_coefficients)> outputs;
    std::size_t results = 1;
    if (!outputs[0].open(shape.get())) return nullptr;
    batch.out = outputs[0].data();
    if (centroid) {
        if (!outputs[1].open(shape.get())) return nullptr;
        results = 2;
        batch.moment = batch.magnified + geometry_count * basis_size;
        batch.out_shift = outputs[1].data();
    }
    if (gradient) {
        batch.gradient = true;
        const std::size_t block = geometry_count * basis_size;
        batch.magnified_du = batch.magnified + (centroid ? 2 : 1) * block;
        batch.magnified_drho = batch.magnified_du + block;
        const std::size_t derivatives = table ? 3 : 2 + arguments;
        const std::size_t first = results;
        for (std::size_t of = 0; of < (centroid ? 2 : 1); ++of) {
            for (std::size_t j = 0; j < derivatives; ++j, ++results) {
                if (table && j == 2) {
                    Owned axis(Py_BuildValue("(n)", static_cast<Py_ssize_t>(basis_size)));
                    Owned rows = axis ? Owned(PySequence_Concat(shape.get(), axis.get())) : Owned();
                    if (!rows || !outputs[results].open(rows.get())) return nullptr;
                } else if (!outputs[results].open(shape.get())) {
                    return nullptr;
                }
            }
        }
        const auto slopes = [&](std::size_t at, double*& du, double*& drho, double*& dintensity,
                                std::array<double*, physics::max_coefficients>& dcoefficients) {
            du = outputs[at].data();
            drho = outputs[at + 1].data();
            if (table) {
                dintensity = outputs[at + 2].data();
            } else {
                for (std::size_t j = 0; j < arguments; ++j) {
                    dcoefficients[j] = outputs[at + 2 + j].data();
                }
            }
        };
        slopes(first, batch.out_du, batch.out_drho, batch.out_dintensity, batch.out_dcoefficients);
        if (centroid) {
            batch.moment_du = batch.magnified_drho + block;
            batch.moment_drho = batch.moment_du + block;
            slopes(first + derivatives, batch.out_shift_du, batch.out_shift_drho,
                   batch.out_shift_dintensity, batch.out_shift_dcoefficients);
        }
    }
    std::vector<double> worst(geometry_count, 0.0);
    batch.worst = worst.data();
    const std::size_t combine_grain = std::max<std::size_t>(1, element_grain / basis_size);
    // A point's units run in order on one thread: threads take whole points.
    const std::size_t point_units = physics::basis_units(basis);
    if (!run_shared(threads, physics::geometry_units(batch), geometry_grain, point_units,
                    [&](std::size_t begin, std::size_t end) {
                        physics::evaluate_geometry(batch, begin, end);
                    }) ||
        !run_shared(threads, count, combine_grain, 1, [&](std::size_t begin, std::size_t end) {
            physics::combine(batch, begin, end);
        })) {
        return nullptr;
    }
    if (!report_shortfall(batch, bands.kappa, rtol)) return nullptr;
    return finish_all(std::span<Output>(outputs.data(), results));
}

// ---- Calls on plain numbers ---------------------------------------------------------
//
// A call whose numeric arguments are all plain numbers (Python's float and
// int, float's subclasses such as NumPy's float64) is one point: it is
// computed here on the stack, with no NumPy array, no shape tuple and no
// workspace, by the routines the general path calls in the same order, so
// that its values are an array call's to the bit.  Whatever this path does
// not read at a glance (other types, a value to refuse, a table) goes to the
// general path, which gives the result or the error; reading has no side
// effect, so nothing is done twice.

// A plain number's value, read as Operand::convert reads it; false for
// anything else, and for an int beyond the double's range (the general
// path makes it an infinity).
bool plain_number(PyObject* object, double& value) {
    if (PyFloat_Check(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (!PyLong_CheckExact(object)) return false;
    value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The keywords, for the values parse_rtol, parse_flag and parse_threads
// take as they are; false for any other.
bool plain_rtol(PyObject* object, double& rtol) {
    rtol = physics::default_rtol;
    if (object == nullptr || object == Py_None) return true;
    return plain_number(object, rtol) && rtol >= physics::min_rtol && rtol <= physics::max_rtol;
}

bool plain_flag(PyObject* object, bool& flag) {
    flag = object == Py_True;
    return object == nullptr || object == Py_None || object == Py_True || object == Py_False;
}

// One point runs on the calling thread whatever the number asked.
bool plain_threads(PyObject* object) {
    if (object == nullptr || object == Py_None) return true;
    if (!PyLong_CheckExact(object)) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    return overflow > 0 || (overflow == 0 && value >= 0);
}

// A float, or the tuple of them.
PyObject* plain_result(std::span<const double> values) {
    if (values.size() == 1) return PyFloat_FromDouble(values[0]);
    Owned tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

// uniform() on plain numbers: true with `result` set (null with an
// exception) when taken, false to leave the call to call_uniform.
bool plain_uniform(PyObject* const* objects, PyObject*& result) {
    double u = 0.0, rho = 0.0;
    bool gradient = false, centroid = false;
    if (!plain_number(objects[0], u) || !plain_number(objects[1], rho) ||
        !(std::isfinite(rho) && rho >= physics::min_rho) || !plain_flag(objects[2], gradient) ||
        !plain_flag(objects[3], centroid) || !plain_threads(objects[4])) {
        return false;
    }
    const physics::Strided su{&u, 0}, srho{&rho, 0};
    // (A, shift, dA/du, dA/drho, dshift/du, dshift/drho) with both.
    std::array<double, 6> out{};
    if (centroid) {
        std::array<double*, 4> slopes{};
        for (std::size_t i = 0; gradient && i < slopes.size(); ++i) slopes[i] = &out[2 + i];
        physics::evaluate_uniform_centroid(su, srho, &out[0], &out[1], 0, 1, slopes);
    } else {
        physics::evaluate_uniform(su, srho, &out[0], 0, 1, gradient ? &out[1] : nullptr,
                                  gradient ? &out[2] : nullptr);
    }
    result = plain_result({out.data(), (centroid ? 2u : 1u) * (gradient ? 3u : 1u)});
    return true;
}

// The last coefficient set taken on this thread, with what call_law finds
// of it: a fit calls point after point with the same coefficients, and
// deciding them exactly (check_coefficients), the basis fluxes and the
// cancellation cost a tenth of a point's work at coarse rtol.
struct LastSet {
    Law law = Law::tabulated;  // none: the tabulated law is never kept
    bool slope = false;
    std::array<double, physics::max_coefficients> arguments{};
    std::array<double, physics::max_basis> flux{};
    double kappa = 1.0;
};
thread_local LastSet last_set;

// The set `arguments` of the basis' law, checked, with its basis fluxes and
// cancellation (as call_law finds them); null for a set to refuse.
const LastSet* take_set(const physics::Basis& basis,
                        const std::array<double, physics::max_coefficients>& arguments) {
    const std::size_t n = physics::descriptor(basis.law).argument_count;
    LastSet& last = last_set;
    // Compared bit for bit: -0.0 is not taken for 0.0.
    if (last.law == basis.law && last.slope == basis.slope &&
        std::memcmp(last.arguments.data(), arguments.data(), n * sizeof(double)) == 0) {
        return &last;
    }
    const std::span<const double> set(arguments.data(), n);
    if (!physics::check_coefficients(basis.law, set)) return nullptr;
    last.law = Law::tabulated;
    const std::span<double> flux(last.flux.data(), basis.size());
    physics::basis_flux(basis, flux);
    last.kappa = std::max(1.0, physics::law_cancellation(basis.law, set, flux));
    last.arguments = arguments;
    last.slope = basis.slope;
    last.law = basis.law;
    return &last;
}

// A parametric law on plain numbers, as plain_uniform; a law's gradient
// with its centroid goes to call_law.
bool plain_law(Law law, PyObject* const* objects, PyObject*& result) {
    const physics::LawDescriptor& d = physics::descriptor(law);
    const std::size_t n = d.argument_count;
    double u = 0.0, rho = 0.0, rtol = 0.0;
    std::array<double, physics::max_coefficients> arguments{};
    bool gradient = false, centroid = false;
    if (law == Law::tabulated || !plain_number(objects[0], u) || !plain_number(objects[1], rho) ||
        !(std::isfinite(rho) && rho >= physics::min_rho)) {
        return false;
    }
    for (std::size_t j = 0; j < n; ++j) {
        if (!plain_number(objects[2 + j], arguments[j])) return false;
    }
    if (!plain_rtol(objects[2 + n], rtol) || !plain_flag(objects[3 + n], gradient) ||
        !plain_flag(objects[4 + n], centroid) || !plain_threads(objects[5 + n]) ||
        (gradient && centroid)) {
        return false;
    }
    // call_law's steps for one point and one band.
    physics::Basis basis{law, {}};
    basis.slope = gradient && d.parametrised;
    const std::size_t size = basis.size();
    const LastSet* taken = take_set(basis, arguments);
    if (taken == nullptr) return false;
    const double kappa = taken->kappa;
    physics::Batch batch{};
    batch.basis = basis;
    batch.flux = std::span<const double>(taken->flux.data(), size);
    batch.rtol = physics::basis_rtol(rtol, kappa);
    batch.geometry_count = 1;
    batch.count = 1;
    batch.u = {&u, 0};
    batch.rho = {&rho, 0};
    for (std::size_t j = 0; j < n; ++j) batch.coefficients[j] = {&arguments[j], 0};
    if (d.parametrised) batch.parameter = batch.coefficients[n - 1];
    std::array<double, 3 * physics::max_basis> magnified{};
    batch.magnified = magnified.data();
    int exponent = 0;
    batch.exponent = &exponent;
    double worst = 0.0;
    batch.worst = &worst;
    // A, then the shift, or dA/du, dA/drho and the derivatives in the
    // law's arguments.
    std::array<double, 3 + physics::max_coefficients> out{};
    std::size_t results = 1;
    batch.out = &out[0];
    if (centroid) {
        batch.moment = magnified.data() + size;
        batch.out_shift = &out[1];
        results = 2;
    }
    if (gradient) {
        batch.gradient = true;
        batch.magnified_du = magnified.data() + size;
        batch.magnified_drho = magnified.data() + 2 * size;
        batch.out_du = &out[1];
        batch.out_drho = &out[2];
        for (std::size_t j = 0; j < n; ++j) batch.out_dcoefficients[j] = &out[3 + j];
        results = 3 + n;
    }
    physics::evaluate_geometry(batch, 0, physics::geometry_units(batch));
    physics::combine(batch, 0, 1);
    result = report_shortfall(batch, kappa, rtol) ? plain_result({out.data(), results}) : nullptr;
    return true;
}

// The arguments of the widest function: u, rho, the law's arguments, rtol,
// gradient, centroid and threads (absent ones stay null).
using Objects = std::array<PyObject*, 6 + std::max<std::size_t>(physics::max_coefficients, 2)>;

template <std::size_t... I>
bool parse(PyObject* args, PyObject* kwargs, const Signature& signature, Objects& objects,
           std::index_sequence<I...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, signature.format.c_str(),
                                       const_cast<char**>(signature.keywords.data()),
                                       &objects[I]...) != 0;
}

// The parameter a keyword names, or none.
std::optional<std::size_t> parameter_named(const Signature& signature, PyObject* keyword) {
    const std::vector<PyObject*>& names = signature.interned;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == keyword) return i;
    }
    if (!PyUnicode_Check(keyword)) return std::nullopt;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_Compare(names[i], keyword) == 0) return i;
    }
    PyErr_Clear();  // an unencodable name compares unequal with an error set
    return std::nullopt;
}

// A call's arguments bound to the function's parameters.  A complete call
// (every positional parameter given once, only known keywords) is bound
// here, with no tuple or dict made; any other goes to
// PyArg_ParseTupleAndKeywords, whose errors (missing, repeated and unknown
// names, too many positions) are the interpreter's own.  `held` keeps what
// that needs for the duration of the call.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Objects& objects, std::array<Owned, 2>& held) {
    const auto positional = static_cast<Py_ssize_t>(signature.positional);
    const Py_ssize_t nkeywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool complete = nargs <= positional;
    for (Py_ssize_t i = 0; complete && i < nargs; ++i) objects[i] = args[i];
    for (Py_ssize_t k = 0; complete && k < nkeywords; ++k) {
        const std::optional<std::size_t> at =
            parameter_named(signature, PyTuple_GET_ITEM(kwnames, k));
        complete = at && objects[*at] == nullptr;
        if (complete) objects[*at] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; complete && i < positional; ++i) complete = objects[i] != nullptr;
    if (complete) return true;
    objects = {};
    Owned tuple(PyTuple_New(nargs));
    if (!tuple) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple.get(), i, args[i]);
    }
    Owned dict;
    if (nkeywords > 0) {
        dict = Owned(PyDict_New());
        if (!dict) return false;
        for (Py_ssize_t k = 0; k < nkeywords; ++k) {
            if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
                return false;
            }
        }
    }
    const bool parsed = parse(tuple.get(), dict.get(), signature, objects,
                              std::make_index_sequence<std::tuple_size_v<Objects>>());
    held = {std::move(tuple), std::move(dict)};
    return parsed;
}

// The call entry of every function: no C++ exception leaves it (memory
// exhaustion in a workspace becomes MemoryError).
template <std::size_t Index>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Signature& signature = signatures()[Index];
    Objects objects{};
    std::array<Owned, 2> held;
    if (!bind(signature, args, nargs, kwnames, objects, held)) return nullptr;
    try {
        PyObject* result = nullptr;
        if constexpr (constexpr std::optional<Law> law = law_of(Index); law) {
            if (plain_law(*law, objects.data(), result)) return result;
            return call_law(*law, signature, objects.data());
        } else {
            if (plain_uniform(objects.data(), result)) return result;
            return call_uniform(objects.data());
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
    // Each entry is cast through void (*)(): a METH_FASTCALL | METH_KEYWORDS
    // function takes other arguments than PyCFunction, as the interpreter
    // expects.  Names and docstrings are filled in by make_module.
    return std::array<PyMethodDef, sizeof...(Index) + 1>{
        PyMethodDef{nullptr,
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Index>)),
                    METH_FASTCALL | METH_KEYWORDS, nullptr}...,
        PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

auto methods = method_table(std::make_index_sequence<function_count>());

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    // The functions' __module__: pickle finds them by this name.
    "tavlomer_physics._core",
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
    for (std::size_t i = 0; i < function_count; ++i) {
        Signature& signature = signatures()[i];
        methods[i].ml_name = signature.name.c_str();
        methods[i].ml_doc = signature.doc.c_str();
        // Kept for the life of the process, as the signatures are (a second
        // initialisation finds them made).
        for (std::size_t j = signature.interned.size(); j < signature.names.size(); ++j) {
            PyObject* name = PyUnicode_InternFromString(signature.names[j].c_str());
            if (name == nullptr) return nullptr;
            signature.interned.push_back(name);
        }
    }
    Owned module(PyModule_Create(&definition));
    if (!module) return nullptr;
    Owned all(PyList_New(0));
    if (!all) return nullptr;
    for (const Signature& signature : signatures()) {
        Owned name(PyUnicode_FromString(signature.name.c_str()));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
    }
    if (PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
    (void)all.release();  // the module holds it now
    if (accuracy_warning == nullptr) {
        accuracy_warning = PyErr_NewExceptionWithDoc(
            "tavlomer_physics.AccuracyWarning",
            "The quadrature could not meet the rtol asked at some points; the results\n"
            "there are the best it reached, and the warning says how far off.",
            PyExc_RuntimeWarning, nullptr);
        if (accuracy_warning == nullptr) return nullptr;
    }
    // PyModule_AddObject steals the reference it is given on success only
    // (PyModule_AddObjectRef is not in 3.9).
    Py_INCREF(accuracy_warning);
    if (PyModule_AddObject(module.get(), "AccuracyWarning", accuracy_warning) < 0) {
        Py_DECREF(accuracy_warning);
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace tavlomer::physics_boundary

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() noexcept {
    try {
        return tavlomer::physics_boundary::make_module();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
