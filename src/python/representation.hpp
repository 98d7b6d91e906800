// Representation texts of the form "Head(name=value, name=value)", derived
// from the fields a class describes: their names are the labels, and their
// types choose the number form.
#pragma once

#include "binding/ascii.hpp"
#include "binding/static_text.hpp"
#include "repr/text_buffer.hpp"

#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tervalin {

enum class FloatForm { shortest, four_decimal };
enum class IntegerForm { decimal, hex };

struct NumberForms {
    FloatForm floats = FloatForm::shortest;
    IntegerForm integers = IntegerForm::decimal;
};

// Whether each value is preceded by "name=".
enum class Labels { shown, hidden };

namespace detail {

template <NumberForms Forms, class Value>
consteval std::size_t value_width() {
    if constexpr (std::is_floating_point_v<Value>)
        return Forms.floats == FloatForm::shortest ? repr::shortest_max_chars : repr::four_decimal_max_chars;
    else
        return Forms.integers == IntegerForm::decimal ? repr::decimal_max_chars : repr::hex_max_chars;
}

template <NumberForms Forms, class Buffer, class Value>
void append_value(Buffer& text, Value value) {
    if constexpr (std::is_floating_point_v<Value>) {
        if constexpr (Forms.floats == FloatForm::shortest)
            text.shortest(value);
        else
            text.four_decimal(value);
    } else if constexpr (Forms.integers == IntegerForm::decimal) {
        text.decimal(value);
    } else {
        text.hex(value);
    }
}

// "name=" for the first field, ", name=" for the others: one piece each.
template <const auto& Fields, std::size_t I>
struct Label {
    static constexpr std::string text() { return concat({I > 0 ? ", " : "", std::get<I>(Fields).name, "="}); }
};

}  // namespace detail

// The text of `record`: `Head` (a static_text composition such as
// "MitLimits("), then each field of `Fields` as "name=value" separated by
// ", ", then ")". The buffer is sized from the same fields, so it always
// holds the longest text. Null with MemoryError pending when the str
// cannot be allocated.
template <class Head, const auto& Fields, NumberForms Forms, Labels Shown = Labels::shown, class Record>
[[nodiscard]] Ref fields_text(const Record& record) {
    constexpr std::size_t capacity = std::apply(
        [](const auto&... field) {
            return static_text<Head>().size() + 1 +
                   (0 + ... + (2 + (Shown == Labels::shown ? field.name.size() + 1 : 0) +
                               detail::value_width<Forms, std::remove_cvref_t<decltype(record.*
                                                                                      field.store)>>()));
        },
        Fields);
    repr::TextBuffer<capacity> text;
    text.append(static_text<Head>());
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                if constexpr (Shown == Labels::shown)
                    text.append(static_text<detail::Label<Fields, I>>());
                else if constexpr (I > 0)
                    text.append(", ");
                detail::append_value<Forms>(text, record.*(std::get<I>(Fields).store));
            }(),
            ...);
    }(std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(Fields)>>>{});
    text.append(")");
    return ascii_str(text.view());
}

// "Name(": the head of a class's own text.
template <const std::string_view& Name>
struct CallHead {
    static constexpr std::string text() { return concat({Name, "("}); }
};

}  // namespace tervalin
