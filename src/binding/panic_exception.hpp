// PanicException: how a native fault appears in Python.
#pragma once

#include "binding/error.hpp"

#include <Python.h>

#include <string_view>

namespace tervalin {

// The process-wide PanicException class, created on first need.
[[nodiscard]] Result<PyObject*> panic_exception_type();

// A described PanicException whose single argument is `message`.
[[nodiscard]] PyErr panic_error(std::string_view message);

// A PanicException fetched from Python code is a fault that travelled through
// it: print it with a banner and continue it as a native fault here.
[[noreturn]] void resume_panic(Ref exception);

}  // namespace tervalin
