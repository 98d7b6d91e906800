// ASCII text built on the stack: representation texts and messages.
//
// Fixed texts (a representation template) are described once as a
// TextLayout, literal pieces and the Form of each placeholder, and written by
// render(). The buffer's capacity is computed from that same layout, so it
// always fits and nothing is checked while writing:
//
//   constexpr repr::TextLayout<2> damiao_text{
//       {{{"Damiao(motor_id=", repr::Form::hex}, {", master_id=", repr::Form::hex}}}, ")"};
//   const auto text = repr::render<damiao_text>(d.motor_id, d.master_id);
//   text.view();  // "Damiao(motor_id=0x1, master_id=0x11)"
//
// render() takes exactly one value per placeholder, a float for the float
// forms and an unsigned integer for the integer forms; anything else does
// not compile.
//
// Texts with pieces whose length is known only at run time (names in binding
// messages) go through TextBuffer<Capacity>, which appends piece by piece and
// clips at Capacity rather than write past it. text_capacity() sizes one from
// literal pieces and per-placeholder widths (max_chars of a Form, or a
// *_max_chars constant).
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>

#include "repr/number_forms.hpp"

namespace tervalin::repr {

// The number rules a placeholder can use.
enum class Form : std::uint8_t { shortest, four_decimal, decimal, hex };

// Longest text of a placeholder in `form`.
constexpr std::size_t max_chars(Form form) noexcept {
    switch (form) {
        case Form::shortest: return shortest_max_chars;
        case Form::four_decimal: return four_decimal_max_chars;
        case Form::decimal: return decimal_max_chars;
        case Form::hex: return hex_max_chars;
    }
    return 0;  // not reached: every Form is listed
}

// Capacity for a text made of `literals` and one placeholder per entry of
// `widths` (each the longest text of that placeholder).
consteval std::size_t text_capacity(std::span<const std::string_view> literals,
                                    std::span<const std::size_t> widths) {
    std::size_t total = 0;
    for (const std::string_view piece : literals) total += piece.size();
    for (const std::size_t width : widths) total += width;
    return total;
}

// The same from braced lists:
//   text_capacity({"Foo(a=", ", b=", ")"}, {shortest_max_chars, hex_max_chars})
consteval std::size_t text_capacity(std::initializer_list<std::string_view> literals,
                                    std::initializer_list<std::size_t> widths) {
    return text_capacity(std::span(literals.begin(), literals.size()),
                         std::span(widths.begin(), widths.size()));
}

// One placeholder of a fixed text and the literal text just before it.
struct Placeholder {
    std::string_view prefix;
    Form form;
};

// A fixed text: each placeholder after its prefix, then `tail`.
template <std::size_t N>
struct TextLayout {
    std::array<Placeholder, N> placeholders;
    std::string_view tail;

    consteval std::size_t capacity() const {
        std::size_t total = tail.size();
        for (const Placeholder& p : placeholders) total += p.prefix.size() + max_chars(p.form);
        return total;
    }
};

// The text written by render(). Not NUL-terminated: pair data() with size().
template <std::size_t Capacity>
class RenderedText {
public:
    std::string_view view() const noexcept { return {chars_, size_}; }
    const char* data() const noexcept { return chars_; }
    std::size_t size() const noexcept { return size_; }

private:
    template <const auto& Layout, class... Values>
    friend RenderedText<Layout.capacity()> render(Values... values) noexcept;

    char chars_[Capacity];
    std::size_t size_ = 0;
};

namespace detail {

inline char* put_literal(char* out, std::string_view text) noexcept {
    // An empty string_view may carry a null data(), which memcpy must not see.
    if (text.empty()) return out;
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

template <Form F, class Value>
char* put_value(char* out, Value v) noexcept {
    if constexpr (F == Form::shortest || F == Form::four_decimal) {
        static_assert(std::same_as<Value, float>, "the float forms take a float");
        return F == Form::shortest ? write_shortest(out, v) : write_four_decimal(out, v);
    } else {
        static_assert(std::unsigned_integral<Value> && !std::same_as<Value, bool>,
                      "the integer forms take an unsigned integer");
        return F == Form::decimal ? write_decimal(out, v) : write_hex_prefixed(out, v);
    }
}

}  // namespace detail

// Writes the text of `Layout` with `values` in its placeholders. Every piece
// and every value's longest form is counted in Layout.capacity(), so the
// writes need no checks.
template <const auto& Layout, class... Values>
[[nodiscard]] RenderedText<Layout.capacity()> render(Values... values) noexcept {
    static_assert(sizeof...(Values) == Layout.placeholders.size(), "one value per placeholder");
    RenderedText<Layout.capacity()> text;
    char* out = text.chars_;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((out = detail::put_literal(out, Layout.placeholders[I].prefix),
          out = detail::put_value<Layout.placeholders[I].form>(out, values)),
         ...);
    }(std::index_sequence_for<Values...>{});
    out = detail::put_literal(out, Layout.tail);
    text.size_ = static_cast<std::size_t>(out - text.chars_);
    return text;
}

// Piece-by-piece builder for texts with run-time pieces. Whatever does not
// fit is clipped, never written past Capacity; overflowed() tells whether
// that happened.
template <std::size_t Capacity>
class TextBuffer {
    static_assert(Capacity > 0, "a text buffer needs room for at least one character");

public:
    TextBuffer& append(std::string_view literal) noexcept {
        copy_clipped(literal.data(), literal.size());
        return *this;
    }
    TextBuffer& shortest(float v) noexcept { return emit<shortest_max_chars, write_shortest>(v); }
    TextBuffer& four_decimal(float v) noexcept {
        return emit<four_decimal_max_chars, write_four_decimal>(v);
    }
    TextBuffer& decimal(std::uint64_t v) noexcept {
        return emit<decimal_max_chars, write_decimal>(v);
    }
    TextBuffer& hex(std::uint64_t v) noexcept {
        return emit<hex_max_chars, write_hex_prefixed>(v);
    }

    // Not NUL-terminated: pair data() with size().
    std::string_view view() const noexcept { return {buffer_, size_}; }
    const char* data() const noexcept { return buffer_; }
    std::size_t size() const noexcept { return size_; }
    bool overflowed() const noexcept { return overflowed_; }

private:
    template <std::size_t MaxChars, auto Writer, class Value>
    TextBuffer& emit(Value v) noexcept {
        if (Capacity - size_ >= MaxChars) {
            // Common case: the writer's worst case fits, write in place.
            size_ = static_cast<std::size_t>(Writer(buffer_ + size_, v) - buffer_);
        } else {
            // Too little room for the worst case; this value may still fit,
            // so write it aside and keep whatever prefix has room.
            char scratch[MaxChars];
            const char* const end = Writer(scratch, v);
            copy_clipped(scratch, static_cast<std::size_t>(end - scratch));
        }
        return *this;
    }

    void copy_clipped(const char* text, std::size_t count) noexcept {
        const std::size_t room = Capacity - size_;
        if (count > room) {
            count = room;
            overflowed_ = true;
        }
        if (count == 0) return;  // an empty string_view may carry a null data()
        std::memcpy(buffer_ + size_, text, count);
        size_ += count;
    }

    char buffer_[Capacity];
    std::size_t size_ = 0;
    bool overflowed_ = false;
};

}  // namespace tervalin::repr
