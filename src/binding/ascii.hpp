// New str objects from text the module knows to be ASCII.
#pragma once

#include "binding/ref.hpp"

#include <Python.h>

#include <cstring>
#include <string_view>

namespace tervalin {

// A new str holding `text`, every byte of which is below 0x80: the bytes are
// copied as they are, with no decoding. Null with MemoryError pending when
// the string cannot be allocated.
[[nodiscard]] inline Ref ascii_str(std::string_view text) noexcept {
    Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (str && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
    return str;
}

}  // namespace tervalin
