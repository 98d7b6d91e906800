// Binding Python call arguments to parameter slots, and the strict converters
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
    std::string_view name;   // "__new__" for constructors
    std::string_view owner;  // class name; empty for the module function
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

// The bound arguments of one call, one slot per parameter. A slot is empty
// (null) or refers to the supplied object. Values taken from a keyword dict
// are held as strong references until the call returns: converting an
// argument runs Python code, which can reach that dict and empty it.
// Positional values and fast-call keyword values are kept alive by the
// caller (the argument tuple, or the interpreter's argument vector).
//
// A call with positional arguments only reads them where they are: no slot
// array is filled.
template <std::size_t N, bool Owning = false>
class BoundArgs {
    static_assert(N <= 32, "owned slots are tracked in a 32-bit set");

public:
    BoundArgs() noexcept = default;
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;
    ~BoundArgs() {
        if constexpr (Owning) {
            if (owned_.set != 0) [[unlikely]]
                for (std::size_t i = 0; i < N; ++i)
                    if ((owned_.set >> i) & 1U) Py_DECREF(slots_[i]);
        }
    }

    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return i < count_ ? source_[i] : nullptr; }

    // Calls `f` with the slots as one of two accessors with operator[]: the
    // positional arguments in place, or the filled slot array. Each caller's
    // conversion code is made once for each, so neither pays for the other.
    template <class F>
    [[gnu::always_inline]] decltype(auto) visit(F&& f) const {
        if (source_ != slots_.data()) return f(InPlace{source_, count_});
        return f(Filled{slots_.data()});
    }
    struct InPlace {
        PyObject* const* args;
        std::size_t count;
        [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return i < count ? args[i] : nullptr; }
    };
    struct Filled {
        PyObject* const* slots;
        [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return slots[i]; }
    };

    // The slots that may be filled; every later one is empty.
    [[nodiscard]] PyObject* const* data() const noexcept { return source_; }
    [[nodiscard]] std::size_t count() const noexcept { return count_; }

    // The first `count` of `args` are the slots; the rest are empty.
    void view(PyObject* const* args, std::size_t count) noexcept {
        source_ = args;
        count_ = count;
    }

    // The slot array for the keyword binders, every slot empty.
    [[nodiscard]] PyObject** fill() noexcept {
        slots_ = {};
        source_ = slots_.data();
        count_ = N;
        return slots_.data();
    }
    // Bit i set: slot i holds a strong reference (a value from a keyword dict).
    [[nodiscard]] std::uint32_t* owned() noexcept
        requires Owning
    {
        return &owned_.set;
    }

private:
    struct NoOwned {};
    struct Owned {
        std::uint32_t set = 0;
    };
    PyObject* const* source_ = nullptr;
    std::size_t count_ = 0;
    std::array<PyObject*, N> slots_;
    [[no_unique_address]] std::conditional_t<Owning, Owned, NoOwned> owned_;
};

namespace detail {
// The binders' failure paths and keyword matching stay out of line; the
// positional success path is inlined into each callable.
[[gnu::cold]] PyErr too_many_positional(const CallSignature* signature, std::size_t given);
// Slots are `slots[0 .. filled)`; any later one is empty.
[[gnu::cold]] PyErr missing_arguments(const CallSignature* signature, std::size_t positional,
                                      PyObject* const* slots, std::size_t filled);
[[nodiscard]] Result<void> bind_keyword_dict(const CallSignature* signature, PyObject* kwargs,
                                             PyObject** slots, std::uint32_t* owned);
// Binds the keyword names of a vector call from index `first` on.
[[nodiscard]] Result<void> bind_keyword_names(const CallSignature* signature, PyObject* const* values,
                                              PyObject* kwnames, Py_ssize_t first, PyObject** slots);
[[nodiscard]] Result<float> extract_f32_slow(PyObject* object);

// Whether a required slot after the positional ones is still empty.
template <const CallSignature& Signature, std::size_t N, bool Owning>
[[nodiscard]] bool any_missing(std::size_t given, const BoundArgs<N, Owning>& bound) noexcept {
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

// Binds a tuple of positional arguments and a keyword dict (or null).
template <const CallSignature& Signature, std::size_t N>
[[nodiscard, gnu::always_inline]] inline Result<void> bind_tuple_dict(PyObject* args, PyObject* kwargs,
                                                                      BoundArgs<N, true>& bound) {
    static_assert(N == Signature.params.size());
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (given > N) [[unlikely]]
        return fail(detail::too_many_positional(&Signature, given));
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        bound.view(&PyTuple_GET_ITEM(args, 0), given);
    } else {
        PyObject** slots = bound.fill();
        for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
        if (auto done = detail::bind_keyword_dict(&Signature, kwargs, slots, bound.owned()); !done) return done;
    }
    if (given < Signature.required && detail::any_missing<Signature>(given, bound)) [[unlikely]]
        return fail(detail::missing_arguments(&Signature, given, bound.data(), bound.count()));
    return {};
}

// Binds a vector call: `nargs` positional values, then one value per name in
// `kwnames` (or null). A null vector means no positional values.
template <const CallSignature& Signature, std::size_t N>
[[nodiscard, gnu::always_inline]] inline Result<void> bind_vector(PyObject* const* args, std::size_t nargs,
                                                                  PyObject* kwnames, BoundArgs<N>& bound) {
    static_assert(N == Signature.params.size());
    const std::size_t given = args == nullptr ? 0 : nargs;
    if (given > N) [[unlikely]]
        return fail(detail::too_many_positional(&Signature, given));
    if (kwnames == nullptr) {
        bound.view(args, given);
    } else {
        PyObject** slots = bound.fill();
        for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
        // The interpreter passes the interned names of the call's source, so
        // most names are found by identity; the rest go the general way.
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* const key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t i = 0;
            while (i < N && Signature.interned[i] != key) ++i;
            if (i < N && slots[i] == nullptr) [[likely]] {
                slots[i] = args[nargs + k];
                continue;
            }
            if (auto done = detail::bind_keyword_names(&Signature, args + nargs, kwnames, k, slots); !done)
                return done;
            break;
        }
    }
    if (given < Signature.required && detail::any_missing<Signature>(given, bound)) [[unlikely]]
        return fail(detail::missing_arguments(&Signature, given, bound.data(), bound.count()));
    return {};
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
    static Result<float> convert(PyObject* object) { return detail::extract_f32_slow(object); }
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

[[nodiscard]] inline Result<float> extract_f32(PyObject* object) {
    float value = 0;
    if (AsF32::try_fast(object, value)) [[likely]]
        return value;
    return AsF32::convert(object);
}

// A conversion failure reported under its parameter's name: a TypeError gets
// the "argument '{}': " prefix, any other error passes unchanged.
[[nodiscard]] PyErr wrap_argument_error(std::string_view param, PyErr error);

}  // namespace tervalin
