// tavlomer_testing: a test-only extension that exposes the numerical kernels
// of tavlomer to pytest without widening the public module.  Built from the
// same sources as tavlomer, never installed with the package.
//
// Each kernel wrapper returns a float or raises RuntimeError whose only
// argument is the kernel's exact failure text.
#include <Python.h>

#include <string_view>
#include <utility>
#include <vector>

#include "ellip/batch.hpp"
#include "ellip/carlson.hpp"
#include "ellip/detail/carlson_iterations.hpp"
#include "ellip/legendre.hpp"
#include "interp/interp.hpp"
#include "quadrature/double_exponential.hpp"
#include "lib/models/integrated.hpp"  // benchmark helpers below
#include "lib/models/ring.hpp"

#include <ctime>

namespace {

using tavlomer::Result;


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

PyObject* result(const Result<double>& r) {
    return r ? PyFloat_FromDouble(*r) : raise_runtime(r.error().text);
}

namespace carlson = tavlomer::ellip::carlson;
namespace legendre = tavlomer::ellip::legendre;

PyObject* py_elliprf(PyObject*, PyObject* args) {
    double x, y, z;
    if (!PyArg_ParseTuple(args, "ddd:elliprf", &x, &y, &z)) return nullptr;
    return result(carlson::elliprf(x, y, z));
}
PyObject* py_elliprc(PyObject*, PyObject* args) {
    double x, y;
    if (!PyArg_ParseTuple(args, "dd:elliprc", &x, &y)) return nullptr;
    return result(carlson::elliprc(x, y));
}
PyObject* py_elliprd(PyObject*, PyObject* args) {
    double x, y, z;
    if (!PyArg_ParseTuple(args, "ddd:elliprd", &x, &y, &z)) return nullptr;
    return result(carlson::elliprd(x, y, z));
}
PyObject* py_elliprj(PyObject*, PyObject* args) {
    double x, y, z, p;
    if (!PyArg_ParseTuple(args, "dddd:elliprj", &x, &y, &z, &p)) return nullptr;
    return result(carlson::elliprj(x, y, z, p));
}
PyObject* py_ellipk(PyObject*, PyObject* args) {
    double m;
    if (!PyArg_ParseTuple(args, "d:ellipk", &m)) return nullptr;
    return result(legendre::ellipk(m));
}
PyObject* py_ellipe(PyObject*, PyObject* args) {
    double m;
    if (!PyArg_ParseTuple(args, "d:ellipe", &m)) return nullptr;
    return result(legendre::ellipe(m));
}
PyObject* py_ellippi(PyObject*, PyObject* args) {
    double n, m;
    if (!PyArg_ParseTuple(args, "dd:ellippi", &n, &m)) return nullptr;
    return result(legendre::ellippi(n, m));
}

// Step counts of the Carlson iterations (see ellip/detail/carlson_iterations.hpp):
// elliprf_steps(x, y, z) and elliprd_steps(x, y, z) for the duplication,
// agm_steps_many(out, ys, zs) (below) for the arithmetic-geometric mean of
// RF(0, y, z) and RD(0, y, z).  A count one above the loop's limit means it
// did not finish.
namespace carlson_detail = tavlomer::ellip::carlson::detail;

PyObject* py_elliprf_steps(PyObject*, PyObject* args) {
    double x, y, z;
    if (!PyArg_ParseTuple(args, "ddd:elliprf_steps", &x, &y, &z)) return nullptr;
    return PyLong_FromLong(carlson_detail::elliprf_duplication_steps(x, y, z));
}
PyObject* py_elliprd_steps(PyObject*, PyObject* args) {
    double x, y, z;
    if (!PyArg_ParseTuple(args, "ddd:elliprd_steps", &x, &y, &z)) return nullptr;
    return PyLong_FromLong(carlson_detail::elliprd_duplication_steps(x, y, z));
}
Result<double> agm_steps_value(double y, double z) noexcept {
    return carlson_detail::agm_steps(y, z);
}

// Benchmark entries (bench/bench_kernels.py), also used by the sweeps of the
// tests: name_many(out, a, b, ...) evaluates the kernel over buffers of
// doubles (array('d'), numpy float64 arrays) of one length in a C++ loop and
// writes the results to out, a failure as NaN.  They time the kernels without
// the cost of a Python call per evaluation.
template <std::size_t Arity, class Kernel>
PyObject* map_kernel(PyObject* args, Kernel kernel) {
    constexpr Py_ssize_t count = Arity + 1;
    if (PyTuple_GET_SIZE(args) != count) {
        PyErr_Format(PyExc_TypeError, "expected %d buffers of doubles", static_cast<int>(count));
        return nullptr;
    }
    Py_buffer views[count];
    Py_ssize_t acquired = 0;
    const auto release = [&] {
        for (Py_ssize_t i = 0; i < acquired; ++i) PyBuffer_Release(&views[i]);
    };
    for (; acquired < count; ++acquired) {
        const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (acquired == 0 ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(PyTuple_GET_ITEM(args, acquired), &views[acquired], flags) != 0) {
            release();
            return nullptr;
        }
        const Py_buffer& view = views[acquired];
        const bool doubles = view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                             view.format != nullptr &&
                             std::string_view(view.format).ends_with('d');
        if (!doubles || view.len != views[0].len) {
            ++acquired;
            release();
            PyErr_SetString(PyExc_TypeError, "expected buffers of doubles of one length");
            return nullptr;
        }
    }
    double* out = static_cast<double*>(views[0].buf);
    const std::size_t n = static_cast<std::size_t>(views[0].len) / sizeof(double);
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        const double* in[] = {static_cast<const double*>(views[K + 1].buf)...};
        for (std::size_t i = 0; i < n; ++i) {
            const Result<double> r = kernel(in[K][i]...);
            out[i] = r ? *r : Py_NAN;
        }
    }(std::make_index_sequence<Arity>{});
    release();
    Py_RETURN_NONE;
}

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

bool to_doubles(PyObject* sequence, std::vector<double>& out) {
    PyObject* fast = PySequence_Fast(sequence, "expected a sequence of floats");
    if (fast == nullptr) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast, i));
        if (v == -1.0 && PyErr_Occurred()) {
            Py_DECREF(fast);
            return false;
        }
        out.push_back(v);
    }
    Py_DECREF(fast);
    return true;
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

// Benchmark helpers (bench/bench_integrated.py): the work that one separation
// of an integrated model cannot avoid, timed in isolation, in seconds of thread
// CPU time for the whole list.  ring_evaluation_seconds(l, re, rstar): the 1155 ring
// evaluations per separation at the quadrature's points x, x + e, x - e.
// quadrature_seconds(count): count 385-point quadratures of (x 2pi s) P(x) from
// stored values, the least a disk integrand can be.
// profile_seconds(bl, bf, count): count tabulations of a flux map at the 385
// points (the fixed profile when bl and bf are empty).
namespace models = tavlomer::models;
// CPU time of the calling thread: on a shared machine, time spent descheduled
// is not the code's.
double thread_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}
volatile double bench_sink;

PyObject* py_ring_evaluation_seconds(PyObject*, PyObject* args) {
    PyObject* ls;
    double re, rstar;
    std::vector<double> l;
    if (!PyArg_ParseTuple(args, "Odd:ring_evaluation_seconds", &ls, &re, &rstar)) return nullptr;
    if (!to_doubles(ls, l)) return nullptr;
    const models::NodeTable nodes = models::make_node_table([](double) { return 1.0; });
    const double start = thread_seconds();
    const models::RingLens lens = models::RingLens::from_radii(re, rstar);
    double sum = 0.0;
    for (const double li : l) {
        for (const models::NodeSample& s : nodes) {
            for (const double r : {s.x, s.x_plus_e, s.x_minus_e}) {
                const Result<double> a = models::ring_magnification(lens, li, r);
                sum += a ? *a : 0.0;
            }
        }
    }
    bench_sink = sum;
    return PyFloat_FromDouble(thread_seconds() - start);
}

PyObject* py_quadrature_seconds(PyObject*, PyObject* args) {
    unsigned long count;
    if (!PyArg_ParseTuple(args, "k:quadrature_seconds", &count)) return nullptr;
    const models::NodeTable nodes =
        models::make_node_table([](double x) { return models::fixed_profile(x); });
    const double start = thread_seconds();
    double sum = 0.0;
    for (unsigned long c = 0; c < count; ++c) {
        const double scale = 1.0 + static_cast<double>(c);
        sum += models::integrate_over_nodes(
            [&nodes, scale](std::size_t i) { return (nodes[i].x_2pi * scale) * nodes[i].profile; });
    }
    bench_sink = sum;
    return PyFloat_FromDouble(thread_seconds() - start);
}

PyObject* py_profile_seconds(PyObject*, PyObject* args) {
    PyObject *bls, *bfs;
    unsigned long count;
    std::vector<double> bl, bf;
    if (!PyArg_ParseTuple(args, "OOk:profile_seconds", &bls, &bfs, &count)) return nullptr;
    if (!to_doubles(bls, bl) || !to_doubles(bfs, bf)) return nullptr;
    const double start = thread_seconds();
    double sum = 0.0;
    for (unsigned long c = 0; c < count; ++c) {
        const models::NodeTable nodes =
            bl.empty() ? models::make_node_table([](double x) { return models::fixed_profile(x); })
                       : models::flux_map_node_table(bl, bf);
        sum += nodes[c % nodes.size()].profile;
    }
    bench_sink = sum;
    return PyFloat_FromDouble(thread_seconds() - start);
}

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

PyObject* py_batch_targets(PyObject*, PyObject*) {
    const auto targets = batch::available();
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
    Py_buffer views[5];
    Py_ssize_t acquired = 0;
    const auto release = [&] {
        for (Py_ssize_t i = 0; i < acquired; ++i) PyBuffer_Release(&views[i]);
    };
    for (; acquired < given - 2; ++acquired) {
        const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (acquired == 0 ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(PyTuple_GET_ITEM(args, acquired + 2), &views[acquired], flags) !=
            0) {
            release();
            return nullptr;
        }
        const Py_buffer& view = views[acquired];
        const bool doubles = view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                             view.format != nullptr && std::string_view(view.format).ends_with('d');
        if (!doubles || view.len != views[0].len) {
            ++acquired;
            release();
            PyErr_SetString(PyExc_TypeError, "expected buffers of doubles of one length");
            return nullptr;
        }
    }
    const std::size_t n = static_cast<std::size_t>(views[0].len) / sizeof(double);
    batch::In in[4];
    for (std::size_t a = 0; a < entry->arity; ++a)
        in[a] = batch::In(static_cast<const double*>(views[a + 1].buf), n);
    std::vector<Result<double>> results(n);
    entry->call(*target, in, results);
    double* out = static_cast<double*>(views[0].buf);
    PyObject* failures = PyList_New(0);
    for (std::size_t i = 0; i < n && failures != nullptr; ++i) {
        out[i] = results[i] ? *results[i] : 0.0;
        if (results[i]) continue;
        PyObject* item = Py_BuildValue("(ns)", static_cast<Py_ssize_t>(i), results[i].error().text);
        if (item == nullptr || PyList_Append(failures, item) != 0) Py_CLEAR(failures);
        Py_XDECREF(item);
    }
    release();
    return failures;
}
// ---- end of the batch kernels

PyMethodDef methods[] = {
    {"elliprf", py_elliprf, METH_VARARGS, "elliprf(x, y, z)"},
    {"elliprc", py_elliprc, METH_VARARGS, "elliprc(x, y)"},
    {"elliprd", py_elliprd, METH_VARARGS, "elliprd(x, y, z)"},
    {"elliprj", py_elliprj, METH_VARARGS, "elliprj(x, y, z, p)"},
    {"ellipk", py_ellipk, METH_VARARGS, "ellipk(m)"},
    {"ellipe", py_ellipe, METH_VARARGS, "ellipe(m)"},
    {"ellippi", py_ellippi, METH_VARARGS, "ellippi(n, m)"},
    {"elliprf_steps", py_elliprf_steps, METH_VARARGS, "elliprf_steps(x, y, z)"},
    {"elliprd_steps", py_elliprd_steps, METH_VARARGS, "elliprd_steps(x, y, z)"},
    {"elliprf_many", [](PyObject*, PyObject* a) { return map_kernel<3>(a, carlson::elliprf); },
     METH_VARARGS, "elliprf_many(out, x, y, z)"},
    {"elliprc_many", [](PyObject*, PyObject* a) { return map_kernel<2>(a, carlson::elliprc); },
     METH_VARARGS, "elliprc_many(out, x, y)"},
    {"elliprd_many", [](PyObject*, PyObject* a) { return map_kernel<3>(a, carlson::elliprd); },
     METH_VARARGS, "elliprd_many(out, x, y, z)"},
    {"elliprj_many", [](PyObject*, PyObject* a) { return map_kernel<4>(a, carlson::elliprj); },
     METH_VARARGS, "elliprj_many(out, x, y, z, p)"},
    {"ellipk_many", [](PyObject*, PyObject* a) { return map_kernel<1>(a, legendre::ellipk); },
     METH_VARARGS, "ellipk_many(out, m)"},
    {"ellipe_many", [](PyObject*, PyObject* a) { return map_kernel<1>(a, legendre::ellipe); },
     METH_VARARGS, "ellipe_many(out, m)"},
    {"ellippi_many", [](PyObject*, PyObject* a) { return map_kernel<2>(a, legendre::ellippi); },
     METH_VARARGS, "ellippi_many(out, n, m)"},
    {"agm_steps_many", [](PyObject*, PyObject* a) { return map_kernel<2>(a, agm_steps_value); },
     METH_VARARGS, "agm_steps_many(out, y, z)"},
    {"integrate", py_integrate, METH_VARARGS,
     "integrate(f, a, b, target) -> (error_estimate, integral, evaluations)"},
    {"interp", py_interp, METH_VARARGS, "interp(x, y, xp, tag, value)"},
    {"ring_evaluation_seconds", py_ring_evaluation_seconds, METH_VARARGS,
     "ring_evaluation_seconds(l, re, rstar)"},
    {"quadrature_seconds", py_quadrature_seconds, METH_VARARGS, "quadrature_seconds(count)"},
    {"profile_seconds", py_profile_seconds, METH_VARARGS, "profile_seconds(bl, bf, count)"},
    {"batch_targets", py_batch_targets, METH_NOARGS, "batch_targets() -> tuple of target names"},
    {"batch_kernel", py_batch_kernel, METH_VARARGS,
     "batch_kernel(target, kernel, out, *args) -> [(index, message), ...]"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "tavlomer_testing", "Test-only access to the kernels of tavlomer.",
    0, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavlomer_testing() {
    PyObject* module = PyModule_Create2(&definition, 1013);
    if (module == nullptr) return nullptr;
    // The iteration bounds, for the tests of the step counts.
    if (PyModule_AddIntConstant(module, "ELLIPRF_STEP_LIMIT", carlson_detail::elliprf_step_limit) != 0 ||
        PyModule_AddIntConstant(module, "ELLIPRD_STEP_LIMIT", carlson_detail::elliprd_step_limit) != 0 ||
        PyModule_AddIntConstant(module, "AGM_STEP_LIMIT", carlson_detail::agm_step_limit) != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
