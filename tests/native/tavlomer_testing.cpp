// tavlomer_testing: a test-only extension that exposes the numerical kernels
// of tavlomer to pytest without widening the public module.  Built from the
// same sources as tavlomer, never installed with the package.
//
// Each kernel wrapper returns a float or raises RuntimeError whose only
// argument is the kernel's exact failure text.
#include <Python.h>

#include <vector>

#include "ellip/carlson.hpp"
#include "ellip/legendre.hpp"
#include "interp/interp.hpp"
#include "quadrature/double_exponential.hpp"

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

PyMethodDef methods[] = {
    {"elliprf", py_elliprf, METH_VARARGS, "elliprf(x, y, z)"},
    {"elliprc", py_elliprc, METH_VARARGS, "elliprc(x, y)"},
    {"elliprd", py_elliprd, METH_VARARGS, "elliprd(x, y, z)"},
    {"elliprj", py_elliprj, METH_VARARGS, "elliprj(x, y, z, p)"},
    {"ellipk", py_ellipk, METH_VARARGS, "ellipk(m)"},
    {"ellipe", py_ellipe, METH_VARARGS, "ellipe(m)"},
    {"ellippi", py_ellippi, METH_VARARGS, "ellippi(n, m)"},
    {"integrate", py_integrate, METH_VARARGS,
     "integrate(f, a, b, target) -> (error_estimate, integral, evaluations)"},
    {"interp", py_interp, METH_VARARGS, "interp(x, y, xp, tag, value)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "tavlomer_testing", "Test-only access to the kernels of tavlomer.",
    0, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavlomer_testing() {
    return PyModule_Create2(&definition, 1013);
}
