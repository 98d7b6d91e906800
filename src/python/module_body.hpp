// What the module holds: run once per successful start-up.
#pragma once

#include "binding/error.hpp"

#include <Python.h>

extern "C" PyObject* PyInit_tervalin();

namespace tervalin {

// Fills a new module object with its attributes, in their fixed order.
[[nodiscard]] Result<void> run_module_body(PyObject* module);

}  // namespace tervalin
