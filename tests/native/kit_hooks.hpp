// Hooks of `_tervalin_native` that log through the kit's <tervalin/log.hpp>,
// as a separately built extension does, so that the sanitizer builds check
// that path too. Apart from the other hooks: the kit header and the module's
// own logging header both define namespace tervalin::log.
#pragma once

#include <Python.h>

// kit_log_from_threads(threads, records, target, level): native threads
// without the interpreter lock emit `records` records each through the kit,
// with the message "<thread>:<index>"; the last thread's records go through
// the printf-style call of that level.
PyObject* kit_log_from_threads(PyObject*, PyObject* args);
