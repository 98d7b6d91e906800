#include "binding/args.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace tervalin {
namespace {

std::string display_name(const CallSignature& signature) {
    std::string text;
    if (!signature.owner.empty()) {
        text += signature.owner;
        text += '.';
    }
    text += signature.name;
    text += "()";
    return text;
}

PyErr binding_error(Producer produce) { return PyErr::described(PyExc_TypeError, std::move(produce)); }

PyErr multiple_values(const CallSignature& signature, std::size_t param) {
    return binding_error([&signature, param] {
        std::string name = display_name(signature);
        std::string parameter(signature.params[param]);
        return Ref::steal(PyUnicode_FromFormat("%s got multiple values for argument '%s'",
                                               name.c_str(), parameter.c_str()));
    });
}

PyErr unexpected_keyword(const CallSignature& signature, PyObject* key) {
    return binding_error([&signature, key = Ref::borrow(key)] {
        Ref text = object_text(key.get());
        if (!text) return Ref();
        std::string name = display_name(signature);
        return Ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                               name.c_str(), text.get()));
    });
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const CallSignature& signature, std::span<PyObject* const> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < signature.required; ++i)
        if (slots[i] == nullptr) missing.push_back(signature.params[i]);
    std::string text;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() > 2) text += ',';
            text += i + 1 == missing.size() ? " and " : " ";
        }
        text += '\'';
        text += missing[i];
        text += '\'';
    }
    return text;
}

PyErr missing_arguments(const CallSignature& signature, std::span<PyObject* const> slots,
                        std::size_t count) {
    return binding_error([&signature, names = name_list(signature, slots), count] {
        std::string name = display_name(signature);
        return Ref::steal(PyUnicode_FromFormat("%s missing %zu required positional %s: %s",
                                               name.c_str(), count,
                                               count == 1 ? "argument" : "arguments", names.c_str()));
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
        std::string name = display_name(signature);
        const char* verb = given == 1 ? "was" : "were";
        const auto total = signature.params.size();
        if (signature.required == total) {
            return Ref::steal(PyUnicode_FromFormat("%s takes %zu positional arguments but %zu %s given",
                                                   name.c_str(), total, given, verb));
        }
        return Ref::steal(
            PyUnicode_FromFormat("%s takes from %zu to %zu positional arguments but %zu %s given",
                                 name.c_str(), signature.required, total, given, verb));
    });
}

Result<void> check_required(const CallSignature& signature, std::size_t positional,
                            std::span<PyObject* const> slots) {
    if (positional >= signature.required) return {};
    std::size_t missing = 0;
    for (std::size_t i = positional; i < signature.required; ++i)
        if (slots[i] == nullptr) ++missing;
    if (missing == 0) return {};
    return fail(missing_arguments(signature, slots, missing));
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
        std::string name(param);
        message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name.c_str(), text.get()));
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
