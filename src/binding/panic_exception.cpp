#include "binding/panic_exception.hpp"

#include "binding/fault.hpp"

#include <atomic>
#include <cstdio>
#include <string>

namespace tervalin {
namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when C++ code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

std::atomic<PyObject*> panic_type{nullptr};

}  // namespace

Result<PyObject*> panic_exception_type() {
    if (PyObject* existing = panic_type.load(std::memory_order_acquire)) return existing;
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                  PyExc_BaseException, nullptr);
    // The failure is taken without take_error: that would ask for this very
    // type again while it cannot be created.
    if (created == nullptr) {
        PyObject* raised = PyErr_GetRaisedException();
        if (raised == nullptr) return fail(PyErr::with_text(PyExc_SystemError, no_exception_text));
        return fail(PyErr::materialised(Ref::steal(raised)));
    }
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Ref discarded = Ref::steal(created);
        return expected;
    }
    return created;
}

PyErr panic_error(std::string_view message) {
    Result<PyObject*> type = panic_exception_type();
    // Without memory for the type itself, the creation failure (a
    // MemoryError) is raised instead of ending the process.
    if (!type) return std::move(type).error();
    return PyErr::described(*type, [text = std::string(message)] {
        Ref str = Ref::steal(PyUnicode_FromStringAndSize(text.data(),
                                                         static_cast<Py_ssize_t>(text.size())));
        if (!str) return Ref();
        return Ref::steal(PyTuple_Pack(1, str.get()));
    });
}

void resume_panic(Ref exception) {
    std::string message = "Unwrapped panic from Python code";
    if (Ref text = Ref::steal(interpreter_call([&] { return PyObject_Str(exception.get()); }))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
            message.assign(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    std::fputs(
        "--- tervalin's binding layer is resuming a panic after fetching a PanicException "
        "from Python. ---\nPython stack trace below:\n",
        stderr);
    PyErr_SetRaisedException(exception.release());
    interpreter_call([] { PyErr_PrintEx(0); });
    fault(std::move(message));
}

}  // namespace tervalin
