// ASCII text built on the stack: representation texts and binding messages.
//
// TextBuffer<Capacity> appends literal pieces and numbers in the module's
// forms, and clips at Capacity rather than write past it. Callers size it
// from the same pieces they append, with the *_max_chars constants as the
// width of a number (fields_text in representation.hpp; binding messages
// are bounded by longest_binding_message in args.hpp), so in the module it
// never clips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "repr/number_forms.hpp"

namespace tervalin::repr {

// Piece-by-piece builder for texts with run-time pieces. Whatever does not
// fit is clipped, never written past Capacity.
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

    // Clipping takes a path of its own, so that the common path copies the
    // count as the caller knows it (a literal's length, which the compiler
    // turns into a few moves): repr texts take 50 to 140 fewer instructions
    // than with one copy of the smaller count.
    void copy_clipped(const char* text, std::size_t count) noexcept {
        const std::size_t room = Capacity - size_;
        if (count > room) [[unlikely]]
            return copy(text, room);
        copy(text, count);
    }

    void copy(const char* text, std::size_t count) noexcept {
        if (count == 0) return;  // an empty string_view may carry a null data()
        std::memcpy(buffer_ + size_, text, count);
        size_ += count;
    }

    char buffer_[Capacity];
    std::size_t size_ = 0;
};

}  // namespace tervalin::repr
