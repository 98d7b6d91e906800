// Runs a Python command line (usually "-m pytest ...") in an interpreter that
// has tervalin as a built-in module, next to the private `_tervalin_native`
// module whose hooks reach what Python alone cannot.
#include "native_hooks.hpp"
#include "python/module_body.hpp"

#include <Python.h>

#include <cstdio>

#ifndef TERVALIN_TEST_PYTHON
#error "TERVALIN_TEST_PYTHON names the interpreter whose environment the tests use"
#endif

int main(int argc, char** argv) {
    if (PyImport_AppendInittab("tervalin", PyInit_tervalin) < 0 ||
        PyImport_AppendInittab("_tervalin_native", init_native_hooks) < 0) {
        std::fputs("could not register the built-in modules\n", stderr);
        return 2;
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // Taking the virtual environment's interpreter as program name makes its
    // site-packages (pytest, hypothesis) visible.
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, TERVALIN_TEST_PYTHON);
    if (!PyStatus_Exception(status)) status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    return Py_RunMain();
}
