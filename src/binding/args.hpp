// Binding Python call arguments to parameters, and the strict converters
// from Python objects to native values.
#pragma once

#include "binding/error.hpp"

#include <Python.h>

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

namespace tervalin {

// The parameter list of one callable. Every parameter is positional-or-keyword;
// the first `required` must be supplied. Signatures are derived from the
// callables' descriptions and live in static storage for the whole process:
// the binders take them as template arguments, which a temporary cannot be,
// so the error producers below may keep a pointer to one.
struct CallSignature {
    std::span<const std::string_view> params;
    std::size_t required;
    // The fixed parts of the binding messages: "MitLimits.__new__()", and
    // "MitLimits.__new__() takes from 0 to 5 positional arguments but ".
    std::string_view display;
    std::string_view too_many;
    // The parameter names as interned str objects, filled when the owning
    // class or function is created; a null entry only disables the identity
    // check for that name.
    std::span<PyObject*> interned;
};

// Capacity of the stack buffer binding messages are built in.
inline constexpr std::size_t binding_message_capacity = 256;

// An upper bound of the longest binding message of a callable: its display
// name, the fixed words, three counts of up to 20 digits, and every
// parameter name quoted with its separator.
constexpr std::size_t longest_binding_message(std::string_view owner, std::string_view name,
                                              std::span<const std::string_view> params) {
    std::size_t size = owner.size() + name.size() + 3 + 64 + 3 * 20;
    for (const std::string_view param : params) size += param.size() + 6;
    return size;
}

// Interns the parameter names of `signature`; a name that cannot be made
// stays null and is matched by its text.
void intern_parameter_names(const CallSignature& signature) noexcept;

// The bound arguments of one call, one per parameter: each is empty (null)
// or refers to the supplied object. The binders hand them to their
// continuation as one of two accessors with operator[], so each callable's
// conversion code is made once for each and neither pays for the other:
// positional arguments alone are read where they are; with keywords, they
// are bound in an array.

// The first `count` arguments in place; every later one is empty. The items
// of an argument vector or tuple are never null, so an argument is bound
// exactly when its index lies below `count`.
struct InPlaceArgs {
    PyObject* const* args;
    std::size_t count;
    [[nodiscard]] bool filled(std::size_t i) const noexcept { return i < count; }
    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return args[i]; }
};

struct FilledArgs {
    PyObject* const* bound;
    [[nodiscard]] bool filled(std::size_t i) const noexcept { return bound[i] != nullptr; }
    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return bound[i]; }
};

// The bound arguments of a call with keywords. Values taken from a keyword dict
// are held as strong references until the call returns: converting an
// argument runs Python code, which can reach that dict and empty it.
// Positional values and vector-call keyword values are kept alive by the
// caller (the argument tuple, or the interpreter's argument vector).
template <std::size_t N>
struct BoundArray {
    static_assert(N <= 32, "owned arguments are tracked in a 32-bit set");
    BoundArray() noexcept = default;
    BoundArray(const BoundArray&) = delete;
    BoundArray& operator=(const BoundArray&) = delete;
    ~BoundArray() {
        if (owned != 0) [[unlikely]]
            for (std::size_t i = 0; i < N; ++i)
                if ((owned >> i) & 1U) release_ref(bound[i]);
    }
    std::array<PyObject*, N> bound{};
    std::uint32_t owned = 0;  // bit i: argument i is held as a strong reference
};

namespace detail {
// The binders' failure paths and keyword matching stay out of line; the
// positional success path is inlined into each callable.
[[gnu::cold]] PyErr too_many_positional(const CallSignature* signature, std::size_t given);
// The bound arguments are `bound[0 .. filled)`; any later one is empty.
[[gnu::cold]] PyErr missing_arguments(const CallSignature* signature, std::size_t positional,
                                      PyObject* const* bound, std::size_t filled);
[[nodiscard]] Result<void> bind_keyword_dict(const CallSignature* signature, PyObject* kwargs,
                                             PyObject** bound, std::uint32_t* owned);
// Binds the keyword names of a vector call from index `first` on.
[[nodiscard]] Result<void> bind_keyword_names(const CallSignature* signature, PyObject* const* values,
                                              PyObject* kwnames, Py_ssize_t first, PyObject** bound);

// The binders' failures as the continuation's result, built in place: an
// entry's frame, which stays on the stack while a conversion runs Python
// code, then holds no error of its own for each way binding can fail.
template <class R>
[[gnu::cold, gnu::noinline]] R too_many_result(const CallSignature* signature, std::size_t given) {
    return fail(too_many_positional(signature, given));
}
template <class R>
[[gnu::cold, gnu::noinline]] R missing_result(const CallSignature* signature, std::size_t positional,
                                              PyObject* const* bound, std::size_t filled) {
    return fail(missing_arguments(signature, positional, bound, filled));
}
template <class R>
[[gnu::cold, gnu::noinline]] R error_result(Result<void>& failed) {
    return fail(std::move(failed).error());
}

// The parameter whose interned name is `key` (the same object), or N.
template <const CallSignature& Signature, std::size_t N>
[[gnu::always_inline]] inline std::size_t interned_index(PyObject* key) noexcept {
    std::size_t i = 0;
    while (i < N && Signature.interned[i] != key) ++i;
    return i;
}

// Whether a required argument after the positional ones is still unbound.
template <const CallSignature& Signature>
[[nodiscard]] bool any_missing(std::size_t given, PyObject* const* bound) noexcept {
    for (std::size_t i = given; i < Signature.required; ++i)
        if (bound[i] == nullptr) return true;
    return false;
}

// Narrowing to single precision. On an IEC 559 platform (checked here) the
// conversion rounds to nearest, ties to even, and a finite double beyond
// the single range becomes the infinity of its sign, as IEEE 754 specifies
// for a narrowing conversion; NaN stays NaN.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);
[[nodiscard]] inline float narrow(double value) noexcept { return static_cast<float>(value); }
}  // namespace detail

// Binds a tuple of positional arguments and a keyword dict (or null), then
// returns what `then` makes of the bound arguments.
template <const CallSignature& Signature, std::size_t N, class Then>
[[gnu::always_inline]] inline auto bind_tuple_dict(PyObject* args, PyObject* kwargs, Then&& then)
    -> decltype(then(InPlaceArgs{})) {
    using R = decltype(then(InPlaceArgs{}));
    static_assert(N == Signature.params.size());
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (given > N) [[unlikely]]
        return detail::too_many_result<R>(&Signature, given);
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        if (given < Signature.required) [[unlikely]]
            return detail::missing_result<R>(&Signature, given, positional, given);
        return then(InPlaceArgs{positional, given});
    }
    BoundArray<N> arguments;
    for (std::size_t i = 0; i < given; ++i) arguments.bound[i] = positional[i];
    if (auto done = detail::bind_keyword_dict(&Signature, kwargs, arguments.bound.data(), &arguments.owned); !done)
        return detail::error_result<R>(done);
    if (given < Signature.required && detail::any_missing<Signature>(given, arguments.bound.data())) [[unlikely]]
        return detail::missing_result<R>(&Signature, given, arguments.bound.data(), N);
    return then(FilledArgs{arguments.bound.data()});
}

// Binds a vector call, `nargs` positional values and then one value per name
// in `kwnames` (or null), then returns what `then` makes of the bound
// arguments. A null
// vector means no positional values.
template <const CallSignature& Signature, std::size_t N, class Then>
[[gnu::always_inline]] inline auto bind_vector(PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                                               Then&& then) -> decltype(then(InPlaceArgs{})) {
    using R = decltype(then(InPlaceArgs{}));
    static_assert(N == Signature.params.size());
    // The common call: every parameter given by position, so nothing is
    // missing and the vector holds them all (a vector is null only when it
    // holds no values).
    if (kwnames == nullptr && nargs == N) [[likely]]
        return then(InPlaceArgs{args, N});
    const std::size_t given = args == nullptr ? 0 : nargs;
    if (given > N) [[unlikely]]
        return detail::too_many_result<R>(&Signature, given);
    if (kwnames == nullptr) {
        if (given < Signature.required) [[unlikely]]
            return detail::missing_result<R>(&Signature, given, args, given);
        return then(InPlaceArgs{args, given});
    }
    std::array<PyObject*, N> bound{};
    for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];
    // The interpreter passes the interned names of the call's source, so most
    // names are found by identity; the rest go the general way.
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        const std::size_t i = detail::interned_index<Signature, N>(PyTuple_GET_ITEM(kwnames, k));
        if (i < N && bound[i] == nullptr) [[likely]] {
            bound[i] = args[nargs + k];
            continue;
        }
        if (auto done = detail::bind_keyword_names(&Signature, args + nargs, kwnames, k, bound.data()); !done)
            return detail::error_result<R>(done);
        break;
    }
    if (given < Signature.required && detail::any_missing<Signature>(given, bound.data())) [[unlikely]]
        return detail::missing_result<R>(&Signature, given, bound.data(), N);
    return then(FilledArgs{bound.data()});
}

// The fast binders: the bindings above for a call that needs neither an
// error nor a strong reference (nothing missing, every keyword name the
// interned one of an unbound parameter), handed to `then`, whose answer is
// the result; any other call is declined (false), for the binders above.
// The values stay borrowed: their caller runs no Python code before it is
// done with them.
template <const CallSignature& Signature, std::size_t N, class Then>
[[gnu::always_inline]] inline bool bind_vector_fast(PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                                                    Then&& then) {
    static_assert(N == Signature.params.size());
    if (kwnames == nullptr && nargs == N) [[likely]]
        return then(InPlaceArgs{args, N});
    const std::size_t given = args == nullptr ? 0 : nargs;
    if (given > N) return false;
    if (kwnames == nullptr) return given >= Signature.required && then(InPlaceArgs{args, given});
    std::array<PyObject*, N> bound{};
    for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        const std::size_t i = detail::interned_index<Signature, N>(PyTuple_GET_ITEM(kwnames, k));
        if (i == N || bound[i] != nullptr) return false;
        bound[i] = args[nargs + k];
    }
    if (given < Signature.required && detail::any_missing<Signature>(given, bound.data())) return false;
    return then(FilledArgs{bound.data()});
}

template <const CallSignature& Signature, std::size_t N, class Then>
[[gnu::always_inline]] inline bool bind_tuple_dict_fast(PyObject* args, PyObject* kwargs, Then&& then) {
    static_assert(N == Signature.params.size());
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (given > N) return false;
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)
        return given >= Signature.required && then(InPlaceArgs{positional, given});
    std::array<PyObject*, N> bound{};
    for (std::size_t i = 0; i < given; ++i) bound[i] = positional[i];
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        const std::size_t i = detail::interned_index<Signature, N>(key);
        if (i == N || bound[i] != nullptr) return false;
        bound[i] = value;
    }
    if (given < Signature.required && detail::any_missing<Signature>(given, bound.data())) return false;
    return then(FilledArgs{bound.data()});
}

// Converters. Each has the native Value it produces, a fast path that may
// decline (`try_fast`, inlined) and the full conversion (`convert`).

// Values are narrowed to single precision with round-to-nearest-even;
// magnitudes beyond the single range become infinities without error.
struct AsF32 {
    using Value = float;
    [[gnu::always_inline]] static bool try_fast(PyObject* object, float& value) noexcept {
        if (!PyFloat_CheckExact(object)) return false;
        value = detail::narrow(PyFloat_AS_DOUBLE(object));
        return true;
    }
    static Result<float> convert(PyObject* object);
};

namespace detail {
// An exact int small enough to be stored compactly, read in place, when it
// lies in 0..max; no other object is looked at.
[[gnu::always_inline]] inline bool compact_int(PyObject* object, std::uint64_t max, std::uint64_t& value) noexcept {
    if (!PyLong_CheckExact(object) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object)))
        return false;
    const Py_ssize_t compact = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
    if (compact < 0 || static_cast<std::uint64_t>(compact) > max) return false;
    value = static_cast<std::uint64_t>(compact);
    return true;
}
}  // namespace detail

// Read through the platform's 64-bit `long`: every int outside 0..65535 that
// fits a long is the module's own OverflowError.
struct AsU16 {
    using Value = std::uint16_t;
    [[gnu::always_inline]] static bool try_fast(PyObject* object, std::uint16_t& value) noexcept {
        std::uint64_t wide = 0;
        if (!detail::compact_int(object, 0xFFFF, wide)) return false;
        value = static_cast<std::uint16_t>(wide);
        return true;
    }
    static Result<std::uint16_t> convert(PyObject* object);
};

struct AsU64 {
    using Value = std::uint64_t;
    [[gnu::always_inline]] static bool try_fast(PyObject* object, std::uint64_t& value) noexcept {
        return detail::compact_int(object, UINT64_MAX, value);
    }
    static Result<std::uint64_t> convert(PyObject* object);
};

// A conversion failure reported under its parameter's name: a TypeError gets
// the "argument '{}': " prefix, any other error passes unchanged.
[[nodiscard]] PyErr wrap_argument_error(std::string_view param, PyErr error);

}  // namespace tervalin
