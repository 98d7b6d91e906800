#include "binding/args.hpp"

#include "repr/text_buffer.hpp"

#include <cstdint>
#include <limits>
#include <string_view>

namespace tervalin {
namespace {

// Binding messages are built on the stack: every name in them is a
// parameter or class name of this module, far shorter than the buffer (a
// longer text would be clipped, never overrun).
using Message = repr::TextBuffer<256>;

void append_display_name(Message& text, const CallSignature& signature) {
    if (!signature.owner.empty()) text.append(signature.owner).append(".");
    text.append(signature.name).append("()");
}

Ref message_object(const Message& text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// `prefix`, then the str `text`, then `suffix`.
Ref message_around(const Message& prefix, PyObject* text, const char* suffix) {
    Ref start = message_object(prefix);
    if (!start) return start;
    return Ref::steal(PyUnicode_FromFormat("%U%U%s", start.get(), text, suffix));
}

PyErr binding_error(Producer produce) { return PyErr::described(PyExc_TypeError, std::move(produce)); }

PyErr multiple_values(const CallSignature& signature, std::size_t param) {
    return binding_error([&signature, param] {
        Message text;
        append_display_name(text, signature);
        text.append(" got multiple values for argument '").append(signature.params[param]).append("'");
        return message_object(text);
    });
}

PyErr unexpected_keyword(const CallSignature& signature, PyObject* key) {
    return binding_error([&signature, key = Ref::borrow(key)] {
        Ref text = object_text(key.get());
        if (!text) return Ref();
        Message prefix;
        append_display_name(prefix, signature);
        prefix.append(" got an unexpected keyword argument '");
        return message_around(prefix, text.get(), "'");
    });
}

// Bit i set: required parameter i was not supplied (parameter lists are far
// shorter than 64).
using MissingSet = std::uint64_t;

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void append_name_list(Message& text, const CallSignature& signature, MissingSet missing, std::size_t count) {
    std::size_t listed = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if ((missing & (MissingSet{1} << i)) == 0) continue;
        if (listed > 0) {
            if (count > 2) text.append(",");
            text.append(listed + 1 == count ? " and " : " ");
        }
        text.append("'").append(signature.params[i]).append("'");
        ++listed;
    }
}

PyErr missing_arguments(const CallSignature& signature, MissingSet missing, std::size_t count) {
    return binding_error([&signature, missing, count] {
        Message text;
        append_display_name(text, signature);
        text.append(" missing ").decimal(count).append(" required positional ");
        text.append(count == 1 ? "argument: " : "arguments: ");
        append_name_list(text, signature, missing, count);
        return message_object(text);
    });
}

// Index of the parameter named by `key`, compared in place as UTF-8; a key
// whose text cannot be had matches nothing.
std::size_t match_keyword(const CallSignature& signature, PyObject* key) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (text == nullptr) {
        if (PyErr_Occurred()) std::optional<PyErr> discarded = take_error();
        return signature.params.size();
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < signature.params.size(); ++i)
        if (signature.params[i] == name) return i;
    return signature.params.size();
}

Result<void> bind_keyword(const CallSignature& signature, PyObject* key, PyObject* value,
                          std::span<PyObject*> slots) {
    std::size_t index = match_keyword(signature, key);
    if (index == signature.params.size()) return fail(unexpected_keyword(signature, key));
    if (slots[index] != nullptr) return fail(multiple_values(signature, index));
    slots[index] = value;
    return {};
}

}  // namespace

namespace detail {

PyErr too_many_positional(const CallSignature& signature, std::size_t given) {
    return binding_error([&signature, given] {
        const std::size_t total = signature.params.size();
        Message text;
        append_display_name(text, signature);
        text.append(" takes ");
        if (signature.required != total) text.append("from ").decimal(signature.required).append(" to ");
        text.decimal(total).append(" positional arguments but ").decimal(given);
        text.append(given == 1 ? " was given" : " were given");
        return message_object(text);
    });
}

Result<void> check_required(const CallSignature& signature, std::size_t positional,
                            std::span<PyObject* const> slots) {
    MissingSet missing = 0;
    std::size_t count = 0;
    for (std::size_t i = positional; i < signature.required; ++i) {
        if (slots[i] != nullptr) continue;
        missing |= MissingSet{1} << i;
        ++count;
    }
    if (count == 0) return {};
    return fail(missing_arguments(signature, missing, count));
}

Result<void> bind_keyword_dict(const CallSignature& signature, PyObject* kwargs, std::span<PyObject*> slots) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (auto bound = bind_keyword(signature, key, value, slots); !bound) return bound;
    }
    return {};
}

Result<void> bind_keyword_names(const CallSignature& signature, PyObject* const* values, PyObject* kwnames,
                                std::span<PyObject*> slots) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (auto bound = bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), values[i], slots); !bound)
            return bound;
    }
    return {};
}

Result<float> extract_f32_slow(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (std::optional<PyErr> error = take_error()) return fail(std::move(*error));
    }
    return narrow(value);
}

PyErr argument_error(const CallSignature& signature, std::size_t param, PyErr error) {
    return wrap_argument_error(signature.params[param], std::move(error));
}

}  // namespace detail

Result<std::uint16_t> extract_u16(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1) {
        if (std::optional<PyErr> error = take_error()) return fail(std::move(*error));
    }
    if (value < 0 || value > 0xFFFF)
        return fail(PyErr::with_text(PyExc_OverflowError, "out of range integral type conversion attempted"));
    return static_cast<std::uint16_t>(value);
}

Result<std::uint64_t> extract_u64(PyObject* object) {
    unsigned long long value = 0;
    if (PyType_FastSubclass(Py_TYPE(object), Py_TPFLAGS_LONG_SUBCLASS)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Ref index = Ref::steal(PyNumber_Index(object));
        if (!index) return fail(fetch_error());
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == std::numeric_limits<unsigned long long>::max()) {
        if (std::optional<PyErr> error = take_error()) return fail(std::move(*error));
    }
    return static_cast<std::uint64_t>(value);
}

PyErr wrap_argument_error(std::string_view param, PyErr error) {
    PyObject* incoming = error.exception();
    if (!Py_IS_TYPE(incoming, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) return error;
    Ref text = object_text(incoming);
    Ref message;
    if (text) {
        Message prefix;
        prefix.append("argument '").append(param).append("': ");
        message = message_around(prefix, text.get(), "");
    }
    if (!message) return fetch_error();
    PyErr wrapped = PyErr::described(PyExc_TypeError, [message = std::move(message)]() mutable {
        return std::move(message);
    });
    PyObject* outgoing = wrapped.exception();
    PyException_SetCause(outgoing, PyException_GetCause(incoming));
    return wrapped;
}

}  // namespace tervalin
