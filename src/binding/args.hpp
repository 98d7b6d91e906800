// Binding Python call arguments to parameter slots, and the strict converters
// from Python objects to native values.
#pragma once

#include "binding/class_frame.hpp"
#include "binding/error.hpp"

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace tervalin {

// The parameter list of one callable. Every parameter is positional-or-keyword;
// the first `required` must be supplied.
struct CallSignature {
    std::string_view name;   // "__new__" for constructors
    std::string_view owner;  // class name; empty for the module function
    std::span<const std::string_view> params;
    std::size_t required;
};

// Fills `slots` (one per parameter, initially null) with borrowed references.
[[nodiscard]] Result<void> bind_tuple_dict(const CallSignature& signature, PyObject* args,
                                           PyObject* kwargs, std::span<PyObject*> slots);
[[nodiscard]] Result<void> bind_fastcall(const CallSignature& signature, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames,
                                         std::span<PyObject*> slots);

// Values are narrowed to single precision with round-to-nearest-even;
// magnitudes beyond the single range become infinities without error.
[[nodiscard]] Result<float> extract_f32(PyObject* object);
// Read through the platform's 64-bit `long`: every int outside 0..65535 that
// fits a long is the module's own OverflowError.
[[nodiscard]] Result<std::uint16_t> extract_u16(PyObject* object);
[[nodiscard]] Result<std::uint64_t> extract_u64(PyObject* object);

// A copy of the value record of an instance of `Class` (or of a subtype).
template <class Class>
[[nodiscard]] Result<typename Class::Record> extract_instance(PyObject* object) {
    auto borrowed = ClassFrame<Class>::borrow(object);
    if (!borrowed) return fail(std::move(borrowed).error());
    return borrowed->value();
}

// A conversion failure reported under its parameter's name: a TypeError gets
// the "argument '{}': " prefix, any other error passes unchanged.
[[nodiscard]] PyErr wrap_argument_error(std::string_view param, PyErr error);

// Converts the filled slots to floats in parameter order; empty slots keep
// the value already in `fields`.
[[nodiscard]] Result<void> convert_floats(const CallSignature& signature,
                                          std::span<PyObject* const> slots,
                                          std::span<float* const> fields);

}  // namespace tervalin
