// Texts composed at compile time and kept in static storage: documentation
// texts, qualified names and stub type texts derived from one description.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tervalin {

// `Compose::text()` is a constexpr function returning std::string; its value
// is copied into a NUL-terminated array that lives for the whole process.
template <class Compose>
inline constexpr auto static_text_storage = [] {
    constexpr std::size_t size = Compose::text().size();
    std::array<char, size + 1> out{};
    const std::string text = Compose::text();
    for (std::size_t i = 0; i < size; ++i) out[i] = text[i];
    return out;
}();

template <class Compose>
[[nodiscard]] constexpr const char* static_c_str() noexcept {
    return static_text_storage<Compose>.data();
}

template <class Compose>
[[nodiscard]] constexpr std::string_view static_text() noexcept {
    return {static_text_storage<Compose>.data(), static_text_storage<Compose>.size() - 1};
}

// The pieces one after the other. Built by appending to one string: this
// compiler's constant evaluation mishandles chains of temporary strings.
constexpr std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (const std::string_view piece : pieces) text += piece;
    return text;
}

}  // namespace tervalin
