// The private module `_tervalin_native`, present only in the embedding test program.
#pragma once

#include <Python.h>

extern "C" PyObject* init_native_hooks();
