// PyErr: the error value that native operations return instead of touching
// the interpreter's error state. Only a call boundary turns one into the
// pending Python exception.
#pragma once

#include "binding/ref.hpp"

#include <Python.h>

#include <expected>
#include <functional>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace tervalin {

class PyErr;

template <class T>
using Result = std::expected<T, PyErr>;

// Yields the argument of a described error's exception (a message str, or a
// tuple of arguments), or an empty Ref with the creation failure pending.
using Producer = std::move_only_function<Ref()>;

class PyErr {
public:
    // An error the module creates itself: nothing is built until it is raised
    // or rendered. `type` is borrowed (exception classes outlive every error).
    [[nodiscard]] static PyErr described(PyObject* type, Producer produce);
    // A described error with a fixed message.
    [[nodiscard]] static PyErr with_text(PyObject* type, const char* text);
    // An error that already has its exception object.
    [[nodiscard]] static PyErr materialised(Ref exception);

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr() = default;

    // The exception object, building it first for a described error.
    // Returns a borrowed reference owned by this error.
    [[nodiscard]] PyObject* exception();

    // "PyErr { type: ..., value: ..., traceback: ... }", for fault messages.
    [[nodiscard]] std::string render();

    // Sets this error as the interpreter's pending exception (consumes it).
    void restore() &&;

private:
    enum class State { described, normalizing, materialised };
    PyErr() = default;

    State state_ = State::described;
    PyObject* type_ = nullptr;  // borrowed, described state only
    Producer produce_;
    Ref exception_;
};

// Restores `error` as the pending exception.
void restore_error(PyErr error);

// The pending exception as an error, or nothing when none is pending. A
// PanicException coming back from Python code resumes its fault instead.
[[nodiscard]] std::optional<PyErr> take_error();

// Like take_error, for use right after a CPython call signalled failure: no
// pending exception becomes SystemError.
[[nodiscard]] PyErr fetch_error();

// str(object) for use inside a message; never fails.
[[nodiscard]] Ref object_text(PyObject* object);

// For CPython calls that can fail only for lack of memory (a short str, a
// float, an int), where the caller treats that as a fault.
[[noreturn]] void api_failure(std::source_location where = std::source_location::current());

// Treats an unexpected error as a fault whose message carries its rendering.
[[noreturn]] void unwrap_failed(PyErr error,
                                std::source_location where = std::source_location::current());

// A new reference from such a call; a null result is a fault.
inline PyObject* checked(PyObject* object,
                         std::source_location where = std::source_location::current()) {
    if (object == nullptr) api_failure(where);
    return object;
}

// Shorthand for returning an error from a function whose result is Result<T>.
[[nodiscard]] inline std::unexpected<PyErr> fail(PyErr error) noexcept {
    return std::unexpected<PyErr>(std::move(error));
}

inline constexpr const char* no_exception_text = "attempted to fetch exception but none was set";

}  // namespace tervalin
