// Representation texts made of labelled floats in the shortest form.
#pragma once

#include "binding/class_frame.hpp"
#include "repr/text_buffer.hpp"

#include <array>
#include <string_view>

namespace tervalin {

// `head`, then each label followed by its value, then ")":
// ("MitSetpoint(", {"q=", ", dq="}, {1, 2}) gives "MitSetpoint(q=1, dq=2)".
template <std::size_t N>
[[nodiscard]] Ref shortest_text(std::string_view head, const std::array<std::string_view, N>& labels,
                                const std::array<float, N>& values) {
    // Every head and label of the module's templates is far below 48 characters.
    repr::TextBuffer<48 * (N + 2) + N * repr::shortest_max_chars> text;
    text.append(head);
    for (std::size_t i = 0; i < N; ++i) text.append(labels[i]).shortest(values[i]);
    text.append(")");
    return Ref::steal(to_python_text(text.view()));
}

}  // namespace tervalin
