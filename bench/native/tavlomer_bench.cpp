// tavlomer_bench: a benchmark-only extension (bench/bench_integrated.py) that
// times, in C++, the work one separation of an integrated model cannot
// avoid.  Built from the same sources as tavlomer by the benchmarks only;
// never installed, never loaded by the tests.
#include <Python.h>

#include <ctime>
#include <vector>

#include "doubles.hpp"
#include "lib/models/integrated.hpp"
#include "lib/models/ring.hpp"

namespace {

using tavlomer::Result;
using tavlomer_native::to_doubles;

// Each returns seconds of thread CPU time for the whole work:
//  - ring_evaluation_seconds(l, re, rstar): the 1155 ring evaluations per
//    separation at the quadrature's points x, x + e, x - e;
//  - quadrature_seconds(count): count 385-point quadratures of (x 2pi s) P(x)
//    from stored values, the least a disk integrand can be;
//  - profile_seconds(bl, bf, count): count tabulations of a flux map at the
//    385 points (the fixed profile when bl and bf are empty).
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

PyMethodDef methods[] = {
    {"ring_evaluation_seconds", py_ring_evaluation_seconds, METH_VARARGS,
     "ring_evaluation_seconds(l, re, rstar)"},
    {"quadrature_seconds", py_quadrature_seconds, METH_VARARGS, "quadrature_seconds(count)"},
    {"profile_seconds", py_profile_seconds, METH_VARARGS, "profile_seconds(bl, bf, count)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tavlomer_bench",
    "Benchmark-only timing of the work of tavlomer's models.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavlomer_bench() {
    return PyModule_Create2(&definition, 1013);
}
