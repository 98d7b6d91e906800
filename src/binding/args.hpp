// Binding Python call arguments to parameter slots, and the strict converters
// from Python objects to native values.
#pragma once

#include "binding/class_frame.hpp"
#include "binding/error.hpp"

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

namespace detail {
// The binders' failure paths and keyword matching stay out of line; the
// positional-only success path is inlined into each callable.
[[gnu::cold]] PyErr too_many_positional(const CallSignature& signature, std::size_t given);
[[gnu::cold]] Result<void> check_required(const CallSignature& signature, std::size_t positional,
                                          std::span<PyObject* const> slots);
[[nodiscard]] Result<void> bind_keyword_dict(const CallSignature& signature, PyObject* kwargs,
                                             std::span<PyObject*> slots);
[[nodiscard]] Result<void> bind_keyword_names(const CallSignature& signature, PyObject* const* values,
                                              PyObject* kwnames, std::span<PyObject*> slots);
[[nodiscard]] Result<float> extract_f32_slow(PyObject* object);
[[gnu::cold]] PyErr argument_error(const CallSignature& signature, std::size_t param, PyErr error);

// Round-to-nearest-even narrowing; done by hand beyond the single range,
// where a plain conversion is undefined.
[[nodiscard]] inline float narrow(double value) noexcept {
    constexpr double largest = std::numeric_limits<float>::max();
    // Halfway between the largest single and 2^128: ties go to the even
    // neighbour, which is infinity.
    constexpr double halfway = 0x1.ffffffp+127;
    if (std::fabs(value) > largest && std::isfinite(value)) [[unlikely]] {
        const float magnitude = std::fabs(value) >= halfway ? std::numeric_limits<float>::infinity()
                                                            : std::numeric_limits<float>::max();
        return std::signbit(value) ? -magnitude : magnitude;
    }
    return static_cast<float>(value);
}
}  // namespace detail

// Fills `slots` (one per parameter, initially null) with borrowed references.
[[nodiscard]] inline Result<void> bind_tuple_dict(const CallSignature& signature, PyObject* args,
                                                  PyObject* kwargs, std::span<PyObject*> slots) {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (given > signature.params.size()) [[unlikely]]
        return fail(detail::too_many_positional(signature, given));
    for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    if (kwargs != nullptr) {
        if (auto bound = detail::bind_keyword_dict(signature, kwargs, slots); !bound) return bound;
    }
    if (given < signature.required) return detail::check_required(signature, given, slots);
    return {};
}

[[nodiscard]] inline Result<void> bind_fastcall(const CallSignature& signature, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames,
                                                std::span<PyObject*> slots) {
    const auto given = args == nullptr ? 0 : static_cast<std::size_t>(nargs);
    if (given > signature.params.size()) [[unlikely]]
        return fail(detail::too_many_positional(signature, given));
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        if (auto bound = detail::bind_keyword_names(signature, args + nargs, kwnames, slots); !bound)
            return bound;
    }
    if (given < signature.required) return detail::check_required(signature, given, slots);
    return {};
}

// Values are narrowed to single precision with round-to-nearest-even;
// magnitudes beyond the single range become infinities without error.
[[nodiscard]] inline Result<float> extract_f32(PyObject* object) {
    if (PyFloat_CheckExact(object)) [[likely]]
        return detail::narrow(PyFloat_AS_DOUBLE(object));
    return detail::extract_f32_slow(object);
}
// Read through the platform's 64-bit `long`: every int outside 0..65535 that
// fits a long is the module's own OverflowError.
[[nodiscard]] Result<std::uint16_t> extract_u16(PyObject* object);
[[nodiscard]] Result<std::uint64_t> extract_u64(PyObject* object);

// A copy of the value record of an instance of `Class` (or of a subtype).
template <class Class>
[[nodiscard]] Result<typename Class::Record> extract_instance(PyObject* object) {
    return ClassFrame<Class>::read(object, [](const typename Class::Record& record) { return record; });
}

// A conversion failure reported under its parameter's name: a TypeError gets
// the "argument '{}': " prefix, any other error passes unchanged.
[[nodiscard]] PyErr wrap_argument_error(std::string_view param, PyErr error);

// Converts the filled slots to floats in parameter order; empty slots keep
// the value already in `fields`.
[[nodiscard]] inline Result<void> convert_floats(const CallSignature& signature,
                                                 std::span<PyObject* const> slots,
                                                 std::span<float* const> fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (slots[i] == nullptr) continue;
        Result<float> value = extract_f32(slots[i]);
        if (!value) [[unlikely]]
            return fail(detail::argument_error(signature, i, std::move(value).error()));
        *fields[i] = *value;
    }
    return {};
}

}  // namespace tervalin
