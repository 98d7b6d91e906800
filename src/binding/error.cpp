#include "binding/error.hpp"

#include "binding/boundary.hpp"
#include "binding/fault.hpp"
#include "binding/panic_exception.hpp"

#include <cstdio>

namespace tervalin {

PyErr PyErr::described(PyObject* type, Producer produce) {
    PyErr error;
    error.state_ = State::described;
    error.type_ = type;
    error.produce_ = std::move(produce);
    return error;
}

PyErr PyErr::with_text(PyObject* type, const char* text) {
    return described(type, [text] { return Ref::steal(PyUnicode_FromString(text)); });
}

PyErr PyErr::materialised(Ref exception) {
    PyErr error;
    error.state_ = State::materialised;
    error.exception_ = std::move(exception);
    return error;
}

namespace {

// Sets the exception of a described error as pending. When the argument
// cannot be built (no memory for the message, say), the failure of building
// it stays pending instead: the caller still gets an exception.
void raise_described(PyObject* type, Producer& produce) {
    Ref argument = produce ? produce() : Ref::steal(Py_NewRef(Py_None));
    if (!argument) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, no_exception_text);
        return;
    }
    if (PyType_Check(type) && PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type),
                                                  Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        PyErr_SetObject(type, argument.get());
        // Out of memory, CPython can fail to build the exception and leave
        // nothing pending; the caller must still see an exception.
        if (!PyErr_Occurred()) PyErr_NoMemory();
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

}  // namespace

PyObject* PyErr::exception() {
    switch (state_) {
        case State::materialised:
            if (!exception_) fault("PyErr state should never be invalid outside of normalization");
            return exception_.get();
        case State::normalizing:
            fault("Cannot normalize a PyErr while already normalizing it.");
        case State::described:
            break;
    }
    state_ = State::normalizing;
    raise_described(type_, produce_);
    produce_ = nullptr;
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) fault("exception missing after writing to the interpreter");
    exception_ = Ref::steal(raised);
    state_ = State::materialised;
    return exception_.get();
}

void PyErr::restore() && {
    if (state_ == State::described) {
        raise_described(type_, produce_);
        produce_ = nullptr;
        return;
    }
    if (state_ != State::materialised || !exception_)
        fault("PyErr state should never be invalid outside of normalization");
    PyErr_SetRaisedException(exception_.release());
}

namespace {

std::string repr_text(PyObject* object) {
    Ref text = Ref::steal(interpreter_call([object] { return PyObject_Repr(object); }));
    if (!text) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

std::string PyErr::render() {
    LockGuard lock = acquire_lock();
    PyObject* exc = exception();
    std::string text = "PyErr { type: ";
    text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    text += ", value: ";
    text += repr_text(exc);
    text += ", traceback: ";
    Ref traceback = Ref::steal(PyException_GetTraceback(exc));
    if (traceback) {
        text += "Some(" + repr_text(traceback.get()) + ")";
    } else {
        text += "None";
    }
    text += " }";
    return text;
}

void restore_error(PyErr error) { std::move(error).restore(); }

std::optional<PyErr> take_error() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return std::nullopt;
    Ref exception = Ref::steal(raised);
    // The type is made here on first need; if it cannot be made, no
    // exception can be of that type, and the one taken is returned.
    Result<PyObject*> panic_type = panic_exception_type();
    if (panic_type && reinterpret_cast<PyObject*>(Py_TYPE(raised)) == *panic_type)
        resume_panic(std::move(exception));
    return PyErr::materialised(std::move(exception));
}

PyErr fetch_error() {
    if (std::optional<PyErr> error = take_error()) return std::move(*error);
    return PyErr::with_text(PyExc_SystemError, no_exception_text);
}

Ref object_text(PyObject* object) {
    Ref text = Ref::steal(interpreter_call([object] { return PyObject_Str(object); }));
    if (text) return text;
    interpreter_call([object] { PyErr_WriteUnraisable(object); });
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (name) text = Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", name.get()));
    if (!text) {
        PyErr_Clear();
        text = Ref::steal(PyUnicode_FromString("<unprintable object>"));
    }
    return text;
}

void api_failure(std::source_location where) {
    if (PyErr_Occurred()) interpreter_call([] { PyErr_Print(); });
    fault("Python API call failed", where);
}

void unwrap_failed(PyErr error, std::source_location where) {
    fault("called `Result::unwrap()` on an `Err` value: " + error.render(), where);
}

}  // namespace tervalin
