// placeholder: test-only module
#include <Python.h>

static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "tavlomer_testing", "Test-only access to the kernels of tavlomer.", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavlomer_testing() {
    return PyModule_Create2(&definition, 1013);
}
