#include "binding/args.hpp"

#include "binding/ascii.hpp"
#include "repr/text_buffer.hpp"

#include <cstdint>
#include <limits>
#include <string_view>

namespace tervalin {
namespace {

// Binding messages are built on the stack; every signature is checked at
// compile time to fit (see longest_binding_message).
using Message = repr::TextBuffer<binding_message_capacity>;

// The module's own names are ASCII, so its messages are too.
Ref message_object(const Message& text) { return ascii_str(text.view()); }

// `prefix`, then the str `text`, then `suffix`.
Ref message_around(const Message& prefix, PyObject* text, const char* suffix) {
    Ref start = message_object(prefix);
    if (!start) return start;
    return Ref::steal(PyUnicode_FromFormat("%U%U%s", start.get(), text, suffix));
}

PyErr binding_error(Producer produce) { return PyErr::described(PyExc_TypeError, std::move(produce)); }

PyErr multiple_values(const CallSignature* signature, std::size_t param) {
    return binding_error([signature, param] {
        Message text;
        text.append(signature->display).append(" got multiple values for argument '").append(signature->params[param]).append("'");
        return message_object(text);
    });
}

PyErr unexpected_keyword(const CallSignature* signature, PyObject* key) {
    return binding_error([signature, key = Ref::new_ref(key)] {
        Ref text = object_text(key.get());
        if (!text) return Ref();
        Message prefix;
        prefix.append(signature->display).append(" got an unexpected keyword argument '");
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

// Index of the parameter named by `key`: first by identity with the interned
// names, then by its UTF-8 text; a key whose text cannot be had matches
// nothing. Reading a str's text runs no Python code, so binding cannot
// change the keyword dict it walks.
std::size_t match_keyword(const CallSignature& signature, PyObject* key) {
    const std::size_t count = signature.params.size();
    for (std::size_t i = 0; i < count; ++i)
        if (signature.interned[i] == key) return i;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (text == nullptr) {
        if (PyErr_Occurred()) std::optional<PyErr> discarded = take_error();
        return count;
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < count; ++i)
        if (signature.params[i] == name) return i;
    return count;
}

// The index of the parameter keyword `key` names, or the binding error.
Result<std::size_t> keyword_index(const CallSignature* signature, PyObject* key, PyObject* const* bound) {
    const std::size_t index = match_keyword(*signature, key);
    if (index == signature->params.size()) return fail(unexpected_keyword(signature, key));
    if (bound[index] != nullptr) return fail(multiple_values(signature, index));
    return index;
}

}  // namespace

void intern_parameter_names(const CallSignature& signature) noexcept {
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        if (signature.interned[i] != nullptr) continue;
        const std::string_view name = signature.params[i];
        PyObject* str = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (str == nullptr) {
            // Without the interned name the text comparison still matches it.
            PyErr_Clear();
            continue;
        }
        PyUnicode_InternInPlace(&str);
        // Kept for the life of the process, like the signature itself.
        signature.interned[i] = str;
    }
}

namespace detail {

PyErr too_many_positional(const CallSignature* signature, std::size_t given) {
    return binding_error([signature, given] {
        Message text;
        text.append(signature->too_many).decimal(given).append(given == 1 ? " was given" : " were given");
        return message_object(text);
    });
}

PyErr missing_arguments(const CallSignature* signature, std::size_t positional, PyObject* const* bound,
                        std::size_t filled) {
    MissingSet missing = 0;
    std::size_t count = 0;
    for (std::size_t i = positional; i < signature->required; ++i) {
        if (i < filled && bound[i] != nullptr) continue;
        missing |= MissingSet{1} << i;
        ++count;
    }
    return binding_error([signature, missing, count] {
        Message text;
        text.append(signature->display).append(" missing ").decimal(count).append(" required positional ");
        text.append(count == 1 ? "argument: " : "arguments: ");
        append_name_list(text, *signature, missing, count);
        return message_object(text);
    });
}

Result<void> bind_keyword_dict(const CallSignature* signature, PyObject* kwargs, PyObject** bound,
                               std::uint32_t* owned) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        Result<std::size_t> index = keyword_index(signature, key, bound);
        if (!index) return fail(std::move(index).error());
        // Held until the call returns (see BoundArray).
        bound[*index] = Py_NewRef(value);
        *owned |= std::uint32_t{1} << *index;
    }
    return {};
}

Result<void> bind_keyword_names(const CallSignature* signature, PyObject* const* values, PyObject* kwnames,
                                Py_ssize_t first, PyObject** bound) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = first; i < count; ++i) {
        Result<std::size_t> index = keyword_index(signature, PyTuple_GET_ITEM(kwnames, i), bound);
        if (!index) return fail(std::move(index).error());
        bound[*index] = values[i];
    }
    return {};
}

}  // namespace detail

namespace {

// `value`, or the exception pending after a conversion returned its error
// marker. Out of line, so that a converter's frame, which stays on the stack
// while the conversion runs Python code, holds no error.
template <class T>
[[gnu::cold, gnu::noinline]] Result<T> value_unless_raised(T value) {
    if (std::optional<PyErr> error = take_error()) return fail(std::move(*error));
    return value;
}

[[gnu::cold, gnu::noinline]] Result<std::uint16_t> u16_out_of_range() {
    return fail(PyErr::with_text(PyExc_OverflowError, "out of range integral type conversion attempted"));
}

// -1: the error marker, or a value out of range.
[[gnu::cold, gnu::noinline]] Result<std::uint16_t> u16_minus_one() {
    if (std::optional<PyErr> error = take_error()) return fail(std::move(*error));
    return u16_out_of_range();
}

// The failures of AsU64::convert, out of line: its frame stays on the stack
// while __index__ runs, which may call the module again.
[[gnu::cold, gnu::noinline]] Result<std::uint64_t> u64_fetched() { return fail(fetch_error()); }

// The maximum: the error marker, or the value itself.
[[gnu::cold, gnu::noinline]] Result<std::uint64_t> u64_maximum() {
    if (std::optional<PyErr> error = take_error()) return fail(std::move(*error));
    return std::numeric_limits<std::uint64_t>::max();
}

}  // namespace

Result<float> AsF32::convert(PyObject* object) {
    const double value = interpreter_call([object] { return PyFloat_AsDouble(object); });
    if (value == -1.0) [[unlikely]]
        return value_unless_raised(detail::narrow(value));
    return detail::narrow(value);
}

Result<std::uint16_t> AsU16::convert(PyObject* object) {
    const long value = interpreter_call([object] { return PyLong_AsLong(object); });
    if (value == -1) [[unlikely]]
        return u16_minus_one();
    if (value < 0 || value > 0xFFFF) [[unlikely]]
        return u16_out_of_range();
    return static_cast<std::uint16_t>(value);
}

Result<std::uint64_t> AsU64::convert(PyObject* object) {
    unsigned long long value = 0;
    if (PyType_FastSubclass(Py_TYPE(object), Py_TPFLAGS_LONG_SUBCLASS)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Ref index = Ref::steal(interpreter_call([object] { return PyNumber_Index(object); }));
        if (!index) [[unlikely]]
            return u64_fetched();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == std::numeric_limits<unsigned long long>::max()) [[unlikely]]
        return u64_maximum();
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
