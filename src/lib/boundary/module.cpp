// placeholder: module initialisation
#include <Python.h>

static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "tavlomer", "Finite-source point-lens magnification, implemented natively.", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavlomer() {
    return PyModule_Create2(&definition, 1013);
}
