// Fixed-capacity ASCII builder for representation text.
//
// Size it with text_capacity() from the literal pieces and the *_max_chars of
// each placeholder and it can never run out. If a buffer is sized wrong
// anyway, output is clipped at Capacity and overflowed() turns true, so a
// sizing mistake shows up as a short string in tests, never as a stray write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "repr/number_forms.hpp"

namespace tervalin::repr {

// Capacity for a text made of `literals` and one placeholder per entry of
// `placeholder_max_chars`, e.g.
//   text_capacity({"Foo(a=", ", b=", ")"}, {shortest_max_chars, hex_max_chars})
consteval std::size_t text_capacity(std::initializer_list<std::string_view> literals,
                                    std::initializer_list<std::size_t> placeholder_max_chars) {
    std::size_t total = 0;
    for (const std::string_view piece : literals) total += piece.size();
    for (const std::size_t max_chars : placeholder_max_chars) total += max_chars;
    return total;
}

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
