// The declarative description of a callable: its parameters, where each
// converted argument goes, the defaults, and everything derived from them
// (the CallSignature, the default record, the conversion code and the
// documentation text with its text signature).
#pragma once

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/static_text.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tervalin {

// Stores the converted argument as the whole record (rather than a member).
struct Whole {};
inline constexpr Whole whole{};

// One parameter of a callable or one attribute of a class, or both. `Store`
// says where the value goes in the record: a data member, `whole`, or a
// function `void(Record&, Value)`. `Converter` is void for an attribute
// that no callable fills.
template <auto Store, class Converter = void>
struct Field {
    std::string_view name;
    // The default as Python shows it in the text signature ("12.5", "None");
    // empty for a required parameter. The native default is parsed from it.
    std::string_view default_text = {};
    // The attribute's documentation.
    std::string_view doc = {};

    static constexpr auto store = Store;
    using converter = Converter;

    [[nodiscard]] constexpr bool has_default() const noexcept { return !default_text.empty(); }
};

template <auto Store, class Record, class Value>
[[gnu::always_inline]] constexpr void store_value(Record& record, const Value& value) {
    if constexpr (std::is_same_v<std::remove_cv_t<decltype(Store)>, Whole>) {
        record = value;
    } else if constexpr (std::is_member_object_pointer_v<decltype(Store)>) {
        record.*Store = value;
    } else {
        Store(record, value);
    }
}

// A callable: the record its parameters fill, the names under which it
// reports errors, its docstring and its parameters in declaration order.
template <class Record_, class... Fields>
struct Callable {
    using Record = Record_;
    std::string_view owner;  // class name; empty for a module function
    std::string_view name;   // "__new__" for a constructor
    std::string_view doc;
    std::tuple<Fields...> params;

    static constexpr std::size_t size = sizeof...(Fields);
};

template <class Record, class... Fields>
[[nodiscard]] constexpr Callable<Record, Fields...> callable(std::string_view owner, std::string_view name,
                                                             std::string_view doc,
                                                             std::tuple<Fields...> params) {
    return {owner, name, doc, params};
}

// Default values, parsed at compile time from the texts shown in signatures.
namespace literal {

// A decimal such as "12.5" or "30.0" whose value a single holds exactly:
// the text and the stored default cannot disagree.
constexpr float exact_single(std::string_view text) {
    std::uint64_t digits = 0;
    std::uint64_t scale = 1;
    bool after_point = false;
    for (const char c : text) {
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (c < '0' || c > '9') throw "a default must be a plain decimal";
        digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
        if (after_point) scale *= 10;
    }
    const auto value = static_cast<float>(static_cast<double>(digits) / static_cast<double>(scale));
    if (static_cast<double>(value) * static_cast<double>(scale) != static_cast<double>(digits))
        throw "a default must be exactly representable as a single";
    return value;
}

// Appends the decimal digits of `value` to `text`.
constexpr void append_decimal(std::string& text, std::size_t value) {
    char digits[20]{};
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) text += digits[--count];
}

constexpr std::uint64_t integer(std::string_view text) {
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') throw "a default must be a plain integer";
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

}  // namespace literal

// How a converter's default text becomes its native value; specialised by
// converters that can have a default. Parsed only in constant evaluation,
// where a throw is a compile error.
template <class Converter>
struct DefaultOf {
    static constexpr typename Converter::Value parse(std::string_view) {
        throw "this kind of parameter has no default";
    }
};

template <>
struct DefaultOf<AsF32> {
    static constexpr float parse(std::string_view text) { return literal::exact_single(text); }
};

template <>
struct DefaultOf<AsU64> {
    static constexpr std::uint64_t parse(std::string_view text) { return literal::integer(text); }
};

// Derived facts of the callable `C` (a constant with static storage).
template <const auto& C>
struct Described {
    using Record = typename std::remove_cvref_t<decltype(C)>::Record;
    static constexpr std::size_t size = std::remove_cvref_t<decltype(C)>::size;

    template <std::size_t I>
    using FieldAt = std::remove_cvref_t<decltype(std::get<I>(C.params))>;

private:
    template <class F>
    static constexpr void apply_default(Record& record, const F& field) {
        if (field.has_default())
            store_value<F::store>(record, DefaultOf<typename F::converter>::parse(field.default_text));
    }

    // The value of argument I, from its fast path only: false when that path
    // declines (it runs no Python code and cannot fail).
    template <std::size_t I, class Bound>
    [[gnu::always_inline]] static bool fast_one(const Bound& bound, Record& record) {
        using F = FieldAt<I>;
        if (!bound.filled(I)) return true;
        // Written by a fast path that succeeds, and read only then.
        typename F::converter::Value value;
        if (!F::converter::try_fast(bound[I], value)) return false;
        store_value<F::store>(record, value);
        return true;
    }

    // The full conversion of argument I; on failure `error` holds its error.
    template <std::size_t I, class Bound>
    [[gnu::always_inline]] static bool convert_one(const Bound& bound, Record& record, std::optional<PyErr>& error) {
        using F = FieldAt<I>;
        if (fast_one<I>(bound, record)) return true;
        auto converted = F::converter::convert(bound[I]);
        if (!converted) {
            error.emplace(wrap_argument_error(names[I], std::move(converted).error()));
            return false;
        }
        store_value<F::store>(record, *converted);
        return true;
    }

public:
    static constexpr std::array<std::string_view, size> names = [] {
        std::array<std::string_view, size> out{};
        std::apply([&](const auto&... field) {
            std::size_t i = 0;
            ((out[i++] = field.name), ...);
        }, C.params);
        return out;
    }();

    // The leading parameters without a default; none may follow a default.
    static constexpr std::size_t required = [] {
        std::size_t count = 0;
        bool seen_default = false;
        std::apply([&](const auto&... field) {
            ((field.has_default() ? void(seen_default = true)
                                  : (seen_default ? throw "a required parameter follows a default"
                                                  : void(++count))),
             ...);
        }, C.params);
        return count;
    }();

    // "MitLimits.__new__()", "mit_setpoint()": the name the messages use.
    struct Display {
        static constexpr std::string text() {
            std::string text;
            if (!C.owner.empty()) {
                text += C.owner;
                text += '.';
            }
            text += C.name;
            text += "()";
            return text;
        }
    };
    // The too-many-positional message up to the number given. Its fixed word
    // is "arguments" even for one parameter.
    struct TooMany {
        static constexpr std::string text() {
            std::string text = Display::text();
            text += " takes ";
            if (required != size) {
                text += "from ";
                literal::append_decimal(text, required);
                text += " to ";
            }
            literal::append_decimal(text, size);
            text += " positional arguments but ";
            return text;
        }
    };

    static inline std::array<PyObject*, size> interned{};
    static constexpr CallSignature signature{names, required, static_text<Display>(), static_text<TooMany>(),
                                             interned};
    static_assert(longest_binding_message(C.owner, C.name, names) <= binding_message_capacity,
                  "the binding messages of this callable would not fit their buffer");

    // One required parameter that is stored as the whole record.
    static constexpr bool fills_whole_record =
        size == 1 && required == 1 && std::is_same_v<std::remove_cv_t<decltype(FieldAt<0>::store)>, Whole>;

    // The record before any argument is converted: every default applied.
    static constexpr Record defaults = [] {
        Record record{};
        std::apply([&](const auto&... field) { (apply_default(record, field), ...); }, C.params);
        return record;
    }();

    // Whether the fast paths converted every argument into `record`.
    template <class Bound>
    [[gnu::always_inline]] static bool convert_fast(const Bound& bound, Record& record) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (fast_one<I>(bound, record) && ...);
        }(std::make_index_sequence<size>{});
    }

    // Converts every argument in parameter order, then hands the record to
    // `finish`; the first failing conversion is the result. Taken when an
    // argument needs more than its fast path, by an entry's full stage
    // (class_builder.hpp), which counts the level of C recursion: the arguments
    // before that one take their fast paths again, which only read objects
    // of exact built-in types or of this module's classes and run no Python
    // code, so they give the same values.
    template <class Bound, class Finish>
    [[gnu::always_inline]] static Result<Ref> convert_all(const Bound& bound, Finish& finish) {
        Record converted = defaults;
        std::optional<PyErr> error;
        const bool all = [&]<std::size_t... I>(std::index_sequence<I...>) __attribute__((always_inline)) {
            return (convert_one<I>(bound, converted, error) && ...);
        }(std::make_index_sequence<size>{});
        if (!all) [[unlikely]]
            return fail(std::move(*error));
        return finish(converted);
    }

    // "(p_max=12.5, v_max=30.0)": parameter names with their default texts.
    static constexpr std::string text_signature() {
        std::string text = "(";
        std::apply([&](const auto&... field) {
            bool first = true;
            ((text += first ? "" : ", ", first = false, text += field.name,
              text += field.has_default() ? "=" : "", text += field.default_text),
             ...);
        }, C.params);
        text += ")";
        return text;
    }

    // The documentation text CPython splits into __text_signature__ and
    // __doc__: "{name}{signature}\n--\n\n{doc}", a constructor showing its
    // class name.
    struct Doc {
        static constexpr std::string text() {
            return concat({C.name == "__new__" ? C.owner : C.name, text_signature(), "\n--\n\n", C.doc});
        }
    };
    struct Name {
        static constexpr std::string text() { return std::string(C.name); }
    };

};

}  // namespace tervalin
