// tavlomer_testing: a test-only extension that exposes the numerical kernels
// of tavlomer to pytest without widening the public module.  Built from the
// same sources as tavlomer, never installed with the package.
//
// The kernels of doubles are listed once, in one table (`kernels`); each
// entry NAME gives two functions:
//  - NAME(a, b, ...) returns a float (an int for the step counts) or raises
//    RuntimeError whose only argument is the kernel's exact failure text;
//  - NAME_many(out, a, b, ...) evaluates the kernel over buffers of doubles
//    (array('d'), numpy float64 arrays) of one length in a C++ loop and
//    writes the results to out, a failure as NaN: the sweeps of the tests
//    and bench/bench_kernels.py, without a Python call per evaluation.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "doubles.hpp"
#include "ellip/batch.hpp"
#include "ellip/carlson.hpp"
#include "ellip/detail/carlson_iterations.hpp"
#include "ellip/legendre.hpp"
#include "interp/interp.hpp"
#include "physics/disk_batch.hpp"
#include "physics/quarter_turn.hpp"
#include "quadrature/double_exponential.hpp"
#include "quadrature/gauss_jacobi.hpp"
#include "quadrature/gauss_kronrod.hpp"

namespace {

using tavlomer::Result;
using tavlomer_native::to_doubles;

namespace carlson = tavlomer::ellip::carlson;
namespace carlson_detail = tavlomer::ellip::carlson::detail;
namespace legendre = tavlomer::ellip::legendre;

// ---- The kernel table --------------------------------------------------------

// What a kernel's result is in Python.
enum class Returns { real, count };

// A kernel with its arguments taken from an array: one type for every arity.
using Kernel = Result<double> (*)(const double*);

struct KernelEntry {
    const char* name;
    const char* parameters;  // for the docstrings
    std::size_t arity;
    Kernel kernel;
    Returns returns;
};

template <class F>
struct Arity;
template <class R, class... A>
struct Arity<R (*)(A...) noexcept> : std::integral_constant<std::size_t, sizeof...(A)> {};

template <auto F, std::size_t... K>
Result<double> call_unpacked(const double* a, std::index_sequence<K...>) {
    const auto r = F(a[K]...);
    if constexpr (std::is_same_v<decltype(r), const Result<double>>) {
        return r;
    } else {
        return static_cast<double>(r);  // a step count, exact in a double
    }
}

template <auto F>
constexpr KernelEntry entry(const char* name, const char* parameters,
                            Returns returns = Returns::real) {
    constexpr std::size_t arity = Arity<decltype(F)>::value;
    return {name, parameters, arity,
            [](const double* a) { return call_unpacked<F>(a, std::make_index_sequence<arity>{}); },
            returns};
}

// The sine and cosine of the physics module's angular nodes.
double quarter_sin(double y) noexcept { return tavlomer::physics::detail::quarter_sin_cos(y).sin; }
double quarter_cos(double y) noexcept { return tavlomer::physics::detail::quarter_sin_cos(y).cos; }

// Every kernel of doubles the tests reach.  The last three are the step counts
// of the Carlson iterations (ellip/detail/carlson_iterations.hpp): the
// duplication of RF and RD, and the arithmetic-geometric mean of RF(0, y, z)
// and RD(0, y, z); a count one above the loop's limit means it did not finish.
constexpr std::array kernels = {
    entry<&carlson::elliprf>("elliprf", "x, y, z"),
    entry<&carlson::elliprc>("elliprc", "x, y"),
    entry<&carlson::elliprd>("elliprd", "x, y, z"),
    entry<&carlson::elliprj>("elliprj", "x, y, z, p"),
    entry<&legendre::ellipk>("ellipk", "m"),
    entry<&legendre::ellipe>("ellipe", "m"),
    entry<&legendre::ellippi>("ellippi", "n, m"),
    entry<&carlson_detail::elliprf_duplication_steps>("elliprf_steps", "x, y, z", Returns::count),
    entry<&carlson_detail::elliprd_duplication_steps>("elliprd_steps", "x, y, z", Returns::count),
    entry<&carlson_detail::agm_steps>("agm_steps", "y, z", Returns::count),
    entry<&quarter_sin>("quarter_sin", "y"),
    entry<&quarter_cos>("quarter_cos", "y"),
};
constexpr std::size_t max_arity = 4;
static_assert([] {
    for (const KernelEntry& k : kernels) {
        if (k.arity > max_arity) return false;
    }
    return true;
}());

// PyErr_SetObject with a str argument makes it the single element of args.
// (Its reference is not stolen; release ours afterwards.)
PyObject* raise_runtime(const char* text) {
    PyObject* message = PyUnicode_FromString(text);
    if (message != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

// NAME(a, b, ...): the arguments converted as PyArg_ParseTuple's "d" converts
// them (PyFloat_AsDouble), the result returned or the failure raised.
template <std::size_t I>
PyObject* call_one(PyObject*, PyObject* args) {
    constexpr KernelEntry k = kernels[I];
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != static_cast<Py_ssize_t>(k.arity)) {
        return PyErr_Format(PyExc_TypeError, "%s() takes exactly %d arguments (%zd given)", k.name,
                            static_cast<int>(k.arity), given);
    }
    double a[max_arity];
    for (std::size_t i = 0; i < k.arity; ++i) {
        a[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)));
        if (a[i] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    const Result<double> r = k.kernel(a);
    if (!r) return raise_runtime(r.error().text);
    return k.returns == Returns::count ? PyLong_FromDouble(*r) : PyFloat_FromDouble(*r);
}

// count buffers of doubles of one length, C-contiguous, from args[first]
// on; the first (the output) writable.  Released when it goes out of scope;
// false, with the exception set, when any is refused.
class DoubleBuffers {
public:
    DoubleBuffers(PyObject* args, Py_ssize_t first, Py_ssize_t count) noexcept {
        if (count > max_buffers) {
            PyErr_SetString(PyExc_TypeError, "too many buffers");
            return;
        }
        for (; acquired_ < count; ++acquired_) {
            const int flags =
                PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (acquired_ == 0 ? PyBUF_WRITABLE : 0);
            Py_buffer& view = views_[acquired_];
            if (PyObject_GetBuffer(PyTuple_GET_ITEM(args, first + acquired_), &view, flags) != 0)
                return;
            const bool doubles = view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                                 view.format != nullptr &&
                                 std::string_view(view.format).ends_with('d');
            if (!doubles || view.len != views_[0].len) {
                ++acquired_;
                PyErr_SetString(PyExc_TypeError, "expected buffers of doubles of one length");
                return;
            }
        }
        ok_ = true;
    }
    DoubleBuffers(const DoubleBuffers&) = delete;
    DoubleBuffers& operator=(const DoubleBuffers&) = delete;
    ~DoubleBuffers() {
        for (Py_ssize_t i = 0; i < acquired_; ++i) PyBuffer_Release(&views_[i]);
    }

    explicit operator bool() const noexcept { return ok_; }
    [[nodiscard]] std::size_t size() const noexcept {
        return static_cast<std::size_t>(views_[0].len) / sizeof(double);
    }
    [[nodiscard]] double* out() const noexcept { return static_cast<double*>(views_[0].buf); }
    [[nodiscard]] const double* in(std::size_t i) const noexcept {
        return static_cast<const double*>(views_[i].buf);
    }

private:
    static constexpr Py_ssize_t max_buffers = 5;
    Py_buffer views_[max_buffers];
    Py_ssize_t acquired_ = 0;
    bool ok_ = false;
};

// NAME_many(out, a, b, ...) over buffers of doubles of one length.
template <std::size_t I>
PyObject* call_many(PyObject*, PyObject* args) {
    constexpr KernelEntry k = kernels[I];
    constexpr Py_ssize_t count = k.arity + 1;
    if (PyTuple_GET_SIZE(args) != count) {
        PyErr_Format(PyExc_TypeError, "expected %d buffers of doubles", static_cast<int>(count));
        return nullptr;
    }
    DoubleBuffers views(args, 0, count);
    if (!views) return nullptr;
    double* out = views.out();
    const std::size_t n = views.size();
    const double* in[max_arity] = {};
    for (std::size_t j = 0; j < k.arity; ++j) in[j] = views.in(j + 1);
    double a[max_arity];
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < k.arity; ++j) a[j] = in[j][i];
        const Result<double> r = k.kernel(a);
        out[i] = r ? *r : Py_NAN;
    }
    Py_RETURN_NONE;
}

// The two functions of every table entry, with their names and docstrings,
// made once per process.
struct KernelMethods {
    std::array<std::string, 3 * kernels.size()> texts;  // NAME(...), NAME_many, NAME_many(...)
    std::array<PyMethodDef, 2 * kernels.size() + 1> defs;
};

PyMethodDef* kernel_methods() {
    static KernelMethods methods = [] {
        KernelMethods m{};
        for (std::size_t i = 0; i < kernels.size(); ++i) {
            const std::string name = kernels[i].name;
            m.texts[3 * i] = name + "(" + kernels[i].parameters + ")";
            m.texts[3 * i + 1] = name + "_many";
            m.texts[3 * i + 2] = name + "_many(out, " + kernels[i].parameters + ")";
        }
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((m.defs[2 * I] = {kernels[I].name, call_one<I>, METH_VARARGS, m.texts[3 * I].c_str()},
              m.defs[2 * I + 1] = {m.texts[3 * I + 1].c_str(), call_many<I>, METH_VARARGS,
                                   m.texts[3 * I + 2].c_str()}),
             ...);
        }(std::make_index_sequence<kernels.size()>{});
        m.defs.back() = {nullptr, nullptr, 0, nullptr};
        return m;
    }();
    return methods.defs.data();
}

// ---- Other entries -----------------------------------------------------------

// integrate(f, a, b, target) -> (error_estimate, integral, evaluations).
// A Python exception raised by f stops further calls of f (the quadrature
// then sees NaN, which it counts as zero) and is re-raised afterwards.
PyObject* py_integrate(PyObject*, PyObject* args) {
    PyObject* f;
    double a, b, target;
    if (!PyArg_ParseTuple(args, "Oddd:integrate", &f, &a, &b, &target)) return nullptr;
    bool failed = false;
    auto integrand = [&](double x) -> double {
        if (failed) return Py_NAN;
        PyObject* value = PyObject_CallFunction(f, "d", x);
        if (value == nullptr) {
            failed = true;
            return Py_NAN;
        }
        const double v = PyFloat_AsDouble(value);
        Py_DECREF(value);
        if (v == -1.0 && PyErr_Occurred()) {
            failed = true;
            return Py_NAN;
        }
        return v;
    };
    const auto q = tavlomer::quadrature::double_exponential::integrate(integrand, a, b, target);
    if (failed) return nullptr;
    return Py_BuildValue("(ddk)", q.error_estimate, q.integral,
                         static_cast<unsigned long>(q.evaluations));
}

// gauss_kronrod(f, tol, points) -> (integral, error_estimate, worst): f over
// [0, 1] as one piece, to relative accuracy tol, by the adaptive engine with
// the 21-, 15-, 7-, 5- or 3-point rule and QUADPACK's error model; worst as the engine
// reports it (at most 1 where tol was met).  A Python exception raised by f
// is re-raised afterwards (the engine sees NaN).
PyObject* py_gauss_kronrod(PyObject*, PyObject* args) {
    namespace gk = tavlomer::quadrature::gauss_kronrod;
    PyObject* f;
    double tol;
    int points;
    if (!PyArg_ParseTuple(args, "Odi:gauss_kronrod", &f, &tol, &points)) return nullptr;
    bool failed = false;
    const auto integrand = [&](std::size_t, double w, std::array<double, 1>& value) {
        value[0] = Py_NAN;
        if (failed) return;
        PyObject* result = PyObject_CallFunction(f, "d", w);
        const double v = result ? PyFloat_AsDouble(result) : -1.0;
        Py_XDECREF(result);
        if (result == nullptr || (v == -1.0 && PyErr_Occurred())) {
            failed = true;
            return;
        }
        value[0] = v;
    };
    constexpr gk::ErrorModel quadpack = {200.0, 1.5};
    gk::Sums<1> sums;
    if (points == 21) {
        gk::Panels<1, 10, decltype(integrand)> panels(gk::kronrod21, quadpack, integrand, 1);
        sums = panels.refine({tol});
    } else if (points == 15) {
        gk::Panels<1, 7, decltype(integrand)> panels(gk::kronrod15, quadpack, integrand, 1);
        sums = panels.refine({tol});
    } else if (points == 7) {
        gk::Panels<1, 3, decltype(integrand)> panels(gk::kronrod7, quadpack, integrand, 1);
        sums = panels.refine({tol});
    } else if (points == 5) {
        gk::Panels<1, 2, decltype(integrand)> panels(gk::kronrod5, quadpack, integrand, 1);
        sums = panels.refine({tol});
    } else if (points == 3) {
        gk::Panels<1, 1, decltype(integrand)> panels(gk::kronrod3, quadpack, integrand, 1);
        sums = panels.refine({tol});
    } else {
        PyErr_SetString(PyExc_ValueError, "points must be 3, 5, 7, 15 or 21");
        return nullptr;
    }
    if (failed) return nullptr;
    return Py_BuildValue("(ddd)", sums.value[0], sums.error[0], sums.worst);
}

// gauss_jacobi(n, beta) -> ([radii], [weights]) of the n-point rule for
// t (1 - t)^beta computed at run time, or None where it was not.
PyObject* py_gauss_jacobi(PyObject*, PyObject* args) {
    namespace gj = tavlomer::quadrature::gauss_jacobi;
    Py_ssize_t n;
    double beta;
    if (!PyArg_ParseTuple(args, "nd:gauss_jacobi", &n, &beta)) return nullptr;
    if (n < 1) Py_RETURN_NONE;
    const std::optional<gj::Rule> computed = gj::compute(static_cast<std::size_t>(n), beta);
    if (!computed) Py_RETURN_NONE;
    const gj::Rule& rule = *computed;
    PyObject* x = PyList_New(n);
    PyObject* w = PyList_New(n);
    for (Py_ssize_t j = 0; x && w && j < n; ++j) {
        PyList_SET_ITEM(x, j, PyFloat_FromDouble(rule.x[static_cast<std::size_t>(j)]));
        PyList_SET_ITEM(w, j, PyFloat_FromDouble(rule.w[static_cast<std::size_t>(j)]));
    }
    if (x == nullptr || w == nullptr) {
        Py_XDECREF(x);
        Py_XDECREF(w);
        return nullptr;
    }
    return Py_BuildValue("(NN)", x, w);
}

// interp(x, y, xp, tag, value) -> float
PyObject* py_interp(PyObject*, PyObject* args) {
    PyObject *xs, *ys;
    double xp, value;
    unsigned int tag;
    if (!PyArg_ParseTuple(args, "OOdId:interp", &xs, &ys, &xp, &tag, &value)) return nullptr;
    std::vector<double> x, y;
    if (!to_doubles(xs, x) || !to_doubles(ys, y)) return nullptr;
    return PyFloat_FromDouble(tavlomer::interp::interp(x, y, xp, {tag, value}));
}

// Besides the kernel table.
// ---- Batch kernels (ellip/batch.hpp), every target this build and processor have.
// batch_targets() -> tuple of target names, narrowest first ("scalar" first).
// batch_kernel(target, kernel, out, *args): evaluates the batch kernel over
// buffers of doubles of one length (array('d'), numpy float64 arrays), writes
// the values to out (0.0 where an evaluation failed) and returns the failures
// as a list of (index, message).
namespace batch = tavlomer::ellip::batch;

struct BatchEntry {
    const char* name;
    std::size_t arity;
    void (*call)(const batch::Kernels&, const batch::In*, batch::Out);
};

constexpr BatchEntry batch_entries[] = {
    {"elliprf", 3,
     [](const batch::Kernels& k, const batch::In* a, batch::Out o) {
         k.elliprf(a[0], a[1], a[2], o);
     }},
    {"elliprc", 2,
     [](const batch::Kernels& k, const batch::In* a, batch::Out o) { k.elliprc(a[0], a[1], o); }},
    {"elliprd", 3,
     [](const batch::Kernels& k, const batch::In* a, batch::Out o) {
         k.elliprd(a[0], a[1], a[2], o);
     }},
    {"elliprj", 4,
     [](const batch::Kernels& k, const batch::In* a, batch::Out o) {
         k.elliprj(a[0], a[1], a[2], a[3], o);
     }},
    {"ellipk", 1,
     [](const batch::Kernels& k, const batch::In* a, batch::Out o) { k.ellipk(a[0], o); }},
    {"ellipe", 1,
     [](const batch::Kernels& k, const batch::In* a, batch::Out o) { k.ellipe(a[0], o); }},
    {"ellippi", 2,
     [](const batch::Kernels& k, const batch::In* a, batch::Out o) { k.ellippi(a[0], a[1], o); }},
};

// The names of a batch's targets, narrowest first.
template <class Kernels>
PyObject* target_names(std::span<const Kernels* const> targets) {
    PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(targets.size()));
    if (names == nullptr) return nullptr;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        PyObject* name = PyUnicode_FromString(targets[i]->name);
        if (name == nullptr) {
            Py_DECREF(names);
            return nullptr;
        }
        PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(i), name);
    }
    return names;
}

PyObject* py_batch_targets(PyObject*, PyObject*) { return target_names(batch::available()); }

PyObject* py_batch_kernel(PyObject*, PyObject* args) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given < 3) {
        PyErr_SetString(PyExc_TypeError, "batch_kernel(target, kernel, out, *args)");
        return nullptr;
    }
    const char* target_name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 0));
    const char* kernel_name = target_name ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 1)) : nullptr;
    if (kernel_name == nullptr) return nullptr;
    const batch::Kernels* target = nullptr;
    for (const batch::Kernels* k : batch::available())
        if (std::string_view(k->name) == target_name) target = k;
    const BatchEntry* entry = nullptr;
    for (const BatchEntry& e : batch_entries)
        if (std::string_view(e.name) == kernel_name) entry = &e;
    if (target == nullptr || entry == nullptr) {
        PyErr_Format(PyExc_ValueError, "no batch kernel %s for target %s", kernel_name,
                     target_name);
        return nullptr;
    }
    if (given != static_cast<Py_ssize_t>(3 + entry->arity)) {
        PyErr_Format(PyExc_TypeError, "%s takes %d argument buffers", entry->name,
                     static_cast<int>(entry->arity));
        return nullptr;
    }
    DoubleBuffers views(args, 2, given - 2);
    if (!views) return nullptr;
    const std::size_t n = views.size();
    batch::In in[4];
    for (std::size_t a = 0; a < entry->arity; ++a) in[a] = batch::In(views.in(a + 1), n);
    std::vector<Result<double>> results(n);
    entry->call(*target, in, results);
    double* out = views.out();
    PyObject* failures = PyList_New(0);
    for (std::size_t i = 0; i < n && failures != nullptr; ++i) {
        out[i] = results[i] ? *results[i] : 0.0;
        if (results[i]) continue;
        PyObject* item = Py_BuildValue("(ns)", static_cast<Py_ssize_t>(i), results[i].error().text);
        if (item == nullptr || PyList_Append(failures, item) != 0) Py_CLEAR(failures);
        Py_XDECREF(item);
    }
    return failures;
}
// ---- end of the batch kernels

// ---- The batch uniform disk (physics/disk_batch.hpp), every target.
// disk_targets() -> tuple of target names, narrowest first ("scalar" first).
// disk_batch(target, out, u, rho, delta): out[i] = the disk of (u[i], rho[i],
// delta[i]) through that target, over buffers of doubles of one length.
namespace disk_batch = tavlomer::physics::disk_batch;

PyObject* py_disk_targets(PyObject*, PyObject*) { return target_names(disk_batch::available()); }

PyObject* py_disk_batch(PyObject*, PyObject* args) {
    const char* target_name = nullptr;
    if (PyTuple_GET_SIZE(args) != 5 ||
        (target_name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 0))) == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "disk_batch(target, out, u, rho, delta)");
        return nullptr;
    }
    const disk_batch::Kernels* target = nullptr;
    for (const disk_batch::Kernels* k : disk_batch::available())
        if (std::string_view(k->name) == target_name) target = k;
    if (target == nullptr) {
        PyErr_Format(PyExc_ValueError, "no batch disk for target %s", target_name);
        return nullptr;
    }
    DoubleBuffers views(args, 1, 4);
    if (!views) return nullptr;
    target->disks(views.in(1), views.in(2), views.in(3), views.out(), views.size());
    Py_RETURN_NONE;
}

// The target and the result asked of disk_batch_slopes and
// disk_batch_centroids, (target, which, out, ...) with `count` arguments:
// null with the error set if any is wrong.
const disk_batch::Kernels* disk_target(PyObject* args, Py_ssize_t count, long results,
                                       const char* usage, long& which) {
    const char* target_name = nullptr;
    if (PyTuple_GET_SIZE(args) != count ||
        (target_name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 0))) == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, usage);
        return nullptr;
    }
    which = PyLong_AsLong(PyTuple_GET_ITEM(args, 1));
    if (which == -1 && PyErr_Occurred()) return nullptr;
    const disk_batch::Kernels* target = nullptr;
    for (const disk_batch::Kernels* k : disk_batch::available())
        if (std::string_view(k->name) == target_name) target = k;
    if (target == nullptr || which < 0 || which >= results) {
        PyErr_Format(PyExc_ValueError, "no batch disk for target %s, result %ld", target_name,
                     which);
        return nullptr;
    }
    return target;
}

// disk_batch_slopes(target, which, out, u, r, x, delta): the nested disks'
// value (which = 0), derivative in u (1) or in rho (2) through that target.
PyObject* py_disk_batch_slopes(PyObject*, PyObject* args) {
    long which = 0;
    const disk_batch::Kernels* target =
        disk_target(args, 7, 3, "disk_batch_slopes(target, which, out, u, r, x, delta)", which);
    if (target == nullptr) return nullptr;
    DoubleBuffers views(args, 2, 5);
    if (!views) return nullptr;
    const std::size_t n = views.size();
    std::vector<double> results[3] = {std::vector<double>(n), std::vector<double>(n),
                                      std::vector<double>(n)};
    target->nested_slopes(views.in(1), views.in(2), views.in(3), views.in(4), results[0].data(),
                          results[1].data(), results[2].data(), n);
    std::copy(results[which].begin(), results[which].end(), views.out());
    Py_RETURN_NONE;
}

// disk_batch_centroids(target, which, out, u, rho, delta): the disks'
// magnification (which = 0) or centroid moment (1) through that target.
PyObject* py_disk_batch_centroids(PyObject*, PyObject* args) {
    long which = 0;
    const disk_batch::Kernels* target =
        disk_target(args, 6, 2, "disk_batch_centroids(target, which, out, u, rho, delta)", which);
    if (target == nullptr) return nullptr;
    DoubleBuffers views(args, 2, 4);
    if (!views) return nullptr;
    const std::size_t n = views.size();
    std::vector<double> results[2] = {std::vector<double>(n), std::vector<double>(n)};
    target->centroids(views.in(1), views.in(2), views.in(3), results[0].data(), results[1].data(),
                      n);
    std::copy(results[which].begin(), results[which].end(), views.out());
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"integrate", py_integrate, METH_VARARGS,
     "integrate(f, a, b, target) -> (error_estimate, integral, evaluations)"},
    {"gauss_kronrod", py_gauss_kronrod, METH_VARARGS,
     "gauss_kronrod(f, tol, points) -> (integral, error_estimate, worst)"},
    {"gauss_jacobi", py_gauss_jacobi, METH_VARARGS,
     "gauss_jacobi(n, beta) -> (radii, weights) of the run-time Gauss-Jacobi rule, or None"},
    {"interp", py_interp, METH_VARARGS, "interp(x, y, xp, tag, value)"},
    {"batch_targets", py_batch_targets, METH_NOARGS, "batch_targets() -> tuple of target names"},
    {"batch_kernel", py_batch_kernel, METH_VARARGS,
     "batch_kernel(target, kernel, out, *args) -> [(index, message), ...]"},
    {"disk_targets", py_disk_targets, METH_NOARGS, "disk_targets() -> tuple of target names"},
    {"disk_batch", py_disk_batch, METH_VARARGS, "disk_batch(target, out, u, rho, delta)"},
    {"disk_batch_slopes", py_disk_batch_slopes, METH_VARARGS,
     "disk_batch_slopes(target, which, out, u, r, x, delta)"},
    {"disk_batch_centroids", py_disk_batch_centroids, METH_VARARGS,
     "disk_batch_centroids(target, which, out, u, rho, delta)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tavlomer_testing",
    "Test-only access to the kernels of tavlomer.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavlomer_testing() {
    PyObject* module = PyModule_Create2(&definition, 1013);
    if (module == nullptr) return nullptr;
    // The iteration bounds, for the tests of the step counts.
    if (PyModule_AddFunctions(module, kernel_methods()) != 0 ||
        PyModule_AddIntConstant(module, "ELLIPRF_STEP_LIMIT", carlson_detail::elliprf_step_limit) !=
            0 ||
        PyModule_AddIntConstant(module, "ELLIPRD_STEP_LIMIT", carlson_detail::elliprd_step_limit) !=
            0 ||
        PyModule_AddIntConstant(module, "AGM_STEP_LIMIT", carlson_detail::agm_step_limit) != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
