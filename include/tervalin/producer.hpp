// tervalin: making MotorState values and reading tervalin values from an
// extension module built separately from tervalin.
//
// Header-only, C++17 on, no link-time dependency: the classes are taken from
// the state of the imported `tervalin` module object
// (<tervalin/module_state.hpp>), never from its attributes, which Python code
// may replace. On first use the state's layout version, and each class's type
// name and basic size, are checked against the ones this code was compiled
// with; a mismatch is an ImportError that says so, and nothing is read or
// written. Every function needs the interpreter lock and follows CPython's
// convention: a null pointer, `false` or an empty optional means a Python
// exception is set. No function throws.
//
//     PyObject* state = tervalin::producer::make_motor_state(record);
//     std::optional<tervalin::MitLimitsRecord> limits =
//         tervalin::producer::read<tervalin::MitLimitsRecord>(object, "limits");
#pragma once

#include <tervalin/instance.hpp>
#include <tervalin/module_state.hpp>
#include <tervalin/records.hpp>

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

namespace tervalin::producer {

using tervalin::class_count;
using tervalin::ClassIndex;

// What a class's instances look like: the class's name in the module (for
// messages), its type name and the basic size of an instance.
struct ClassLayout {
    const char* attribute;
    const char* type_name;
    Py_ssize_t basic_size;
};

struct Layout {
    std::uint32_t version;
    ClassLayout classes[class_count];
};

// The layout this code is compiled with.
inline constexpr Layout compiled_layout{
    layout_version,
    {
        {"MitLimits", TERVALIN_MODULE_NAME ".MitLimits", sizeof(Instance<MitLimitsRecord>)},
        {"MitSetpoint", TERVALIN_MODULE_NAME ".MitSetpoint", sizeof(Instance<MitSetpointRecord>)},
        {"ControlSetpoint", TERVALIN_MODULE_NAME ".ControlSetpoint", sizeof(Instance<ControlSetpointRecord>)},
        {"MotorState", TERVALIN_MODULE_NAME ".MotorState", sizeof(Instance<MotorStateRecord>)},
        {"Damiao", TERVALIN_MODULE_NAME ".Damiao", sizeof(Instance<DamiaoRecord>)},
    },
};

// The class of each value record.
template <class Record>
struct ClassOf;
template <>
struct ClassOf<MitLimitsRecord> {
    static constexpr ClassIndex index = ClassIndex::mit_limits;
};
template <>
struct ClassOf<MitSetpointRecord> {
    static constexpr ClassIndex index = ClassIndex::mit_setpoint;
};
template <>
struct ClassOf<ControlSetpointRecord> {
    static constexpr ClassIndex index = ClassIndex::control_setpoint;
};
template <>
struct ClassOf<MotorStateRecord> {
    static constexpr ClassIndex index = ClassIndex::motor_state;
};
template <>
struct ClassOf<DamiaoRecord> {
    static constexpr ClassIndex index = ClassIndex::damiao;
};

namespace detail {

constexpr const char* rebuild_advice = "rebuild it against the installed tervalin";

inline void release(PyTypeObject* (&types)[class_count]) noexcept {
    for (PyTypeObject*& type : types) Py_CLEAR(type);
}

// Strong references to the checked classes; filled once, never released
// (the module's classes live as long as the process).
TERVALIN_KIT_LOCAL inline PyTypeObject* bound_types[class_count] = {};

}  // namespace detail

// Checks `module` against `expected` and fills `types` with new references to
// the five classes the module created (from its state). Returns false with an
// ImportError set (and `types` empty) when the module is not the tervalin
// extension, publishes another layout version, or has a class whose type
// name or basic size differ.
inline bool check_layout(PyObject* module, const Layout& expected, PyTypeObject* (&types)[class_count]) noexcept {
    Py_ssize_t state_size = 0;
    const ModuleState* state = tervalin::detail::state_of(module, state_size);
    if (state == nullptr || state->layout_version == 0) {
        PyErr_Format(PyExc_ImportError,
                     "the imported 'tervalin' is not the tervalin extension module (it publishes no layout "
                     "version); this extension was built for tervalin layout version %u",
                     static_cast<unsigned>(expected.version));
        return false;
    }
    if (state->layout_version != expected.version || state_size < static_cast<Py_ssize_t>(sizeof(ModuleState))) {
        PyErr_Format(PyExc_ImportError,
                     "tervalin has layout version %u, this extension was built for layout version %u: %s",
                     static_cast<unsigned>(state->layout_version), static_cast<unsigned>(expected.version),
                     detail::rebuild_advice);
        return false;
    }
    for (std::size_t i = 0; i < class_count; ++i) {
        const ClassLayout& want = expected.classes[i];
        PyTypeObject* found = state->classes[i];
        if (found == nullptr) {
            detail::release(types);
            PyErr_Format(PyExc_ImportError, "tervalin.%s is not ready: the module did not finish its start-up",
                         want.attribute);
            return false;
        }
        if (std::strcmp(found->tp_name, want.type_name) != 0 || found->tp_basicsize != want.basic_size ||
            found->tp_itemsize != 0) {
            PyErr_Format(PyExc_ImportError,
                         "tervalin.%s is type '%s' of %zd bytes, this extension was built for type '%s' of %zd "
                         "bytes: %s",
                         want.attribute, found->tp_name, found->tp_basicsize, want.type_name, want.basic_size,
                         detail::rebuild_advice);
            detail::release(types);
            return false;
        }
        types[i] = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(found)));
    }
    return true;
}

// Imports tervalin and checks its layout once; true when the classes are
// ready. Call it from the extension's init function to fail at import.
inline bool bind() noexcept {
    if (detail::bound_types[class_count - 1] != nullptr) return true;
    PyObject* module = PyImport_ImportModule(TERVALIN_MODULE_NAME);
    if (module == nullptr) return false;
    PyTypeObject* types[class_count] = {};
    const bool matches = check_layout(module, compiled_layout, types);
    Py_DECREF(module);
    if (!matches) return false;
    // Importing may have run Python code on another thread that bound first.
    if (detail::bound_types[class_count - 1] != nullptr) {
        detail::release(types);
        return true;
    }
    for (std::size_t i = 0; i < class_count; ++i) detail::bound_types[i] = types[i];
    return true;
}

// The checked class of `Record`, or null with an exception set.
template <class Record>
[[nodiscard]] PyTypeObject* class_of() noexcept {
    if (!bind()) return nullptr;
    return detail::bound_types[static_cast<std::size_t>(ClassOf<Record>::index)];
}

// A new reference to a `tervalin.MotorState` holding `record`, allocated
// through the class's allocator with the borrow counter at 0; or null with an
// exception set (the layout check's ImportError, MemoryError).
[[nodiscard]] inline PyObject* make_motor_state(const MotorStateRecord& record) noexcept {
    PyTypeObject* type = class_of<MotorStateRecord>();
    if (type == nullptr) return nullptr;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    auto* instance = reinterpret_cast<Instance<MotorStateRecord>*>(object);
    new (&instance->value) MotorStateRecord(record);
    instance->borrow_count = 0;
    return object;
}

// A copy of the value record of `object`, an instance of the record's class
// (the classes have no subclasses). Otherwise an empty optional with the
// TypeError "'{type}' object cannot be converted to '{class}'", behind
// "argument '{argument}': " when an argument name is given. No reference to
// `object` is kept.
template <class Record>
[[nodiscard]] std::optional<Record> read(PyObject* object, const char* argument = nullptr) noexcept {
    PyTypeObject* type = class_of<Record>();
    if (type == nullptr) return std::nullopt;
    if (!Py_IS_TYPE(object, type)) {
        PyObject* qualified = PyType_GetQualName(Py_TYPE(object));
        const char* found = qualified != nullptr ? PyUnicode_AsUTF8(qualified) : nullptr;
        if (found == nullptr) {
            PyErr_Clear();
            found = "<failed to extract type name>";
        }
        const char* wanted = compiled_layout.classes[static_cast<std::size_t>(ClassOf<Record>::index)].attribute;
        if (argument != nullptr)
            PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", argument, found,
                         wanted);
        else
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", found, wanted);
        Py_XDECREF(qualified);
        return std::nullopt;
    }
    // A shared borrow for the copy, as every reader of an instance takes one.
    auto* instance = reinterpret_cast<Instance<Record>*>(object);
    ++instance->borrow_count;
    const Record value = instance->value;
    --instance->borrow_count;
    return value;
}

}  // namespace tervalin::producer
