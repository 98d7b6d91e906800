// The bar that tervalin's class layer is measured against: the module's five
// classes written by hand in the plain C API, as fast as that API allows while
// keeping what Python can observe of the benchmarked calls: the same names,
// messages, argument binding and conversion order, flags, instance layout and
// representation texts (the digits come from the module's own renderer,
// src/repr/number_forms.cpp, linked in).
//
// How it gets there: heap types from PyType_FromSpec with a tp_vectorcall
// set on the class, so that a constructor call binds straight from the
// argument vector (no argument tuple, no keyword dict); keyword names compared
// by identity with the interned parameter names first and by text only when
// that fails; the static methods' function objects given a vector call of
// their own; exact floats read directly; instances allocated with
// PyObject_Malloc and PyObject_Init; one PyGetSetDef get function per field;
// representation texts built on the stack and copied into a new ASCII str.
// What this version leaves out and tervalin must keep (the call boundary, the
// shared borrow) is invisible from Python; the difference is what the
// benchmark shows.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tervalin/instance.hpp>
#include <tervalin/records.hpp>

#include "repr/number_forms.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

namespace {

using tervalin::ControlMode;
using tervalin::ControlSetpointRecord;
using tervalin::DamiaoRecord;
using tervalin::Instance;
using tervalin::MitLimitsRecord;
using tervalin::MitSetpointRecord;
using tervalin::MotorStateRecord;
using tervalin::Timeout;

// The plain cast is IEEE round-to-nearest-even with overflow to infinity on
// this platform, which is the module's narrowing rule.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

// Set once at import; the benchmark runs a single interpreter.
PyTypeObject *MitLimitsType, *MitSetpointType, *ControlSetpointType, *MotorStateType, *DamiaoType;

constexpr MitLimitsRecord default_limits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};

// ---- texts ----

// ASCII text assembled on the stack: binding messages and representations.
class Text {
public:
    Text& put(std::string_view text) {
        std::memcpy(end_, text.data(), text.size());
        end_ += text.size();
        return *this;
    }
    Text& shortest(float v) {
        end_ = tervalin::repr::write_shortest(end_, v);
        return *this;
    }
    Text& four_decimal(float v) {
        end_ = tervalin::repr::write_four_decimal(end_, v);
        return *this;
    }
    Text& decimal(std::uint64_t v) {
        end_ = tervalin::repr::write_decimal(end_, v);
        return *this;
    }
    Text& hex(std::uint64_t v) {
        end_ = tervalin::repr::write_hex_prefixed(end_, v);
        return *this;
    }
    // Created as an ASCII str directly, without UTF-8 decoding.
    PyObject* text() const {
        const auto size = static_cast<Py_ssize_t>(end_ - buffer_);
        PyObject* text = PyUnicode_New(size, 127);
        if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), buffer_, static_cast<std::size_t>(size));
        return text;
    }
    void raise(PyObject* type) const {
        PyObject* message = text();
        if (message == nullptr) return;
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }

private:
    // Five labelled shortest floats (48 characters each at most) and the
    // longest template's literals fit with room to spare, as do the binding
    // messages (names of this module and counts).
    char buffer_[512];
    char* end_ = buffer_;
};

// str() of an object inside a message, with the module's fallbacks.
PyObject* object_text(PyObject* object) {
    if (PyObject* text = PyObject_Str(object)) return text;
    PyErr_WriteUnraisable(object);
    PyObject* text = nullptr;
    if (PyObject* name = PyType_GetName(Py_TYPE(object))) {
        text = PyUnicode_FromFormat("<unprintable %U object>", name);
        Py_DECREF(name);
    }
    if (text == nullptr) {
        PyErr_Clear();
        text = PyUnicode_FromString("<unprintable object>");
    }
    return text;
}

// ---- binding ----

constexpr std::size_t max_params = 5;

// A constant, so that the binders fold the counts and unroll their loops;
// only the interned names are filled at import.
struct Signature {
    std::string_view display;  // "MitLimits.__new__()"
    std::size_t count;
    std::size_t required;
    std::array<std::string_view, max_params> names;
    PyObject** interned;
};

PyObject* limits_names[5];
constexpr Signature limits_signature{
    "MitLimits.__new__()", 5, 0, {"p_max", "v_max", "kp_max", "kd_max", "t_max"}, limits_names};
PyObject* setpoint_names[5];
constexpr Signature setpoint_signature{"MitSetpoint.__new__()", 5, 0, {"q", "dq", "kp", "kd", "tau"}, setpoint_names};
PyObject* mit_setpoint_names[5];
constexpr Signature mit_setpoint_signature{"mit_setpoint()", 5, 0, {"q", "dq", "kp", "kd", "tau"}, mit_setpoint_names};
PyObject* mit_names[1];
constexpr Signature mit_signature{"ControlSetpoint.mit()", 1, 1, {"setpoint"}, mit_names};
PyObject* pos_vel_names[2];
constexpr Signature pos_vel_signature{"ControlSetpoint.pos_vel()", 2, 2, {"position", "velocity"}, pos_vel_names};
PyObject* vel_names[1];
constexpr Signature vel_signature{"ControlSetpoint.vel()", 1, 1, {"velocity"}, vel_names};
PyObject* force_pos_names[3];
constexpr Signature force_pos_signature{
    "ControlSetpoint.force_pos()", 3, 3, {"position", "velocity_limit", "torque_ratio"}, force_pos_names};
PyObject* damiao_names[4];
constexpr Signature damiao_signature{
    "Damiao.__new__()", 4, 2, {"motor_id", "master_id", "limits", "timeout_ms"}, damiao_names};

const Signature* const signatures[] = {&limits_signature,    &setpoint_signature, &mit_setpoint_signature,
                                       &mit_signature,       &pos_vel_signature,  &vel_signature,
                                       &force_pos_signature, &damiao_signature};

[[gnu::cold, gnu::noinline]] void too_many_positional(const Signature& s, std::size_t given) {
    Text m;
    m.put(s.display).put(" takes ");
    if (s.required != s.count) m.put("from ").decimal(s.required).put(" to ");
    m.decimal(s.count).put(" positional arguments but ").decimal(given).put(given == 1 ? " was given" : " were given");
    m.raise(PyExc_TypeError);
}

[[gnu::cold, gnu::noinline]] void multiple_values(const Signature& s, std::size_t param) {
    Text m;
    m.put(s.display).put(" got multiple values for argument '").put(s.names[param]).put("'");
    m.raise(PyExc_TypeError);
}

[[gnu::cold, gnu::noinline]] void unexpected_keyword(const Signature& s, PyObject* key) {
    PyObject* key_text = object_text(key);
    if (key_text == nullptr) return;
    Text m;
    PyObject* start = m.put(s.display).put(" got an unexpected keyword argument '").text();
    if (start != nullptr) {
        if (PyObject* message = PyUnicode_FromFormat("%U%U'", start, key_text)) {
            PyErr_SetObject(PyExc_TypeError, message);
            Py_DECREF(message);
        }
        Py_DECREF(start);
    }
    Py_DECREF(key_text);
}

[[gnu::cold, gnu::noinline]] bool check_required(const Signature& s, std::size_t given, PyObject* const* slots) {
    std::size_t missing = 0;
    for (std::size_t i = given; i < s.required; ++i) missing += slots[i] == nullptr;
    if (missing == 0) return true;
    Text m;
    m.put(s.display).put(" missing ").decimal(missing).put(" required positional ");
    m.put(missing == 1 ? "argument: " : "arguments: ");
    std::size_t listed = 0;
    for (std::size_t i = 0; i < s.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed > 0) m.put(missing > 2 ? "," : "").put(listed + 1 == missing ? " and " : " ");
        m.put("'").put(s.names[i]).put("'");
        ++listed;
    }
    m.raise(PyExc_TypeError);
    return false;
}

// Index of the parameter that `key` names, or s.count. Interned names (every
// keyword written in Python source) match by identity; any other str by text.
inline std::size_t match_keyword(const Signature& s, PyObject* key) {
    for (std::size_t i = 0; i < s.count; ++i)
        if (key == s.interned[i]) return i;
    if (!PyUnicode_Check(key)) return s.count;
    for (std::size_t i = 0; i < s.count; ++i)
        if (PyUnicode_EqualToUTF8AndSize(key, s.names[i].data(), static_cast<Py_ssize_t>(s.names[i].size())))
            return i;
    return s.count;
}

inline bool bind_keyword(const Signature& s, PyObject* key, PyObject* value, PyObject** slots) {
    const std::size_t i = match_keyword(s, key);
    if (i == s.count) [[unlikely]] {
        unexpected_keyword(s, key);
        return false;
    }
    if (slots[i] != nullptr) [[unlikely]] {
        multiple_values(s, i);
        return false;
    }
    slots[i] = value;
    return true;
}

// Fills `slots` (s.count of them) from a vector call.
inline bool bind_vector(const Signature& s, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                        PyObject** slots) {
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (given > s.count) [[unlikely]] {
        too_many_positional(s, given);
        return false;
    }
    for (std::size_t i = 0; i < s.count; ++i) slots[i] = i < given ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k)
            if (!bind_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[given + static_cast<std::size_t>(k)], slots))
                return false;
    }
    return given >= s.required || check_required(s, given, slots);
}

// The same from a tp_new call (`MitLimits.__new__(MitLimits, ...)`).
[[gnu::noinline]] bool bind_tuple_dict(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (given > s.count) {
        too_many_positional(s, given);
        return false;
    }
    for (std::size_t i = 0; i < s.count; ++i)
        slots[i] = i < given ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value))
            if (!bind_keyword(s, key, value, slots)) return false;
    }
    return given >= s.required || check_required(s, given, slots);
}

// CPython 3.13 keeps a class's tp_vectorcall when Python code assigns
// `__new__` or `__init__` on the class (it only swaps tp_new and tp_init), so
// a vector constructor checks those two slots and, when either was replaced,
// takes the normal path of calling a type.
inline bool slots_replaced(PyObject* type, newfunc own_new) {
    const auto* t = reinterpret_cast<PyTypeObject*>(type);
    return t->tp_new != own_new || t->tp_init != PyBaseObject_Type.tp_init;
}

[[gnu::cold, gnu::noinline]] PyObject* call_as_type(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                                     PyObject* kwnames) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    PyObject* tuple = PyTuple_New(given);
    if (tuple == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < given; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    PyObject* dict = nullptr;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        dict = PyDict_New();
        for (Py_ssize_t k = 0; dict != nullptr && k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kwnames, k), args[given + k]) < 0) Py_CLEAR(dict);
        if (dict == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject* result = PyType_Type.tp_call(type, tuple, dict);
    Py_DECREF(tuple);
    Py_XDECREF(dict);
    return result;
}

// The two entries of a class with a constructor: the vector call that
// `Class(...)` takes, and tp_new for `Class.__new__(Class, ...)`. `FromSlots`
// converts the bound arguments and allocates.
template <const Signature& S, PyObject* (*FromSlots)(PyTypeObject*, PyObject* const*)>
struct Constructor {
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        PyObject* slots[max_params];
        if (!bind_tuple_dict(S, args, kwargs, slots)) return nullptr;
        return FromSlots(type, slots);
    }
    static PyObject* vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        if (slots_replaced(type, tp_new)) [[unlikely]]
            return call_as_type(type, args, nargsf, kwnames);
        PyObject* slots[max_params];
        if (!bind_vector(S, args, nargsf, kwnames, slots)) return nullptr;
        return FromSlots(reinterpret_cast<PyTypeObject*>(type), slots);
    }
};

// ---- conversion ----

// The pending error under the parameter's name: a TypeError (exactly) is
// replaced by "argument '{}': {}" with the old cause; others pass unchanged.
[[gnu::cold, gnu::noinline]] void wrap_argument_error(const Signature& s, std::size_t param) {
    PyObject* incoming = PyErr_GetRaisedException();
    if (!Py_IS_TYPE(incoming, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(incoming);
        return;
    }
    PyObject* text = object_text(incoming);
    if (text != nullptr) {
        Text m;
        PyObject* start = m.put("argument '").put(s.names[param]).put("': ").text();
        if (start != nullptr) {
            PyObject* message = PyUnicode_Concat(start, text);
            if (message != nullptr) {
                PyErr_SetObject(PyExc_TypeError, message);
                Py_DECREF(message);
                PyObject* outgoing = PyErr_GetRaisedException();
                PyException_SetCause(outgoing, PyException_GetCause(incoming));
                PyErr_SetRaisedException(outgoing);
            }
            Py_DECREF(start);
        }
        Py_DECREF(text);
    }
    Py_DECREF(incoming);
}

[[gnu::noinline]] bool to_f32_slow(PyObject* object, float& out, const Signature& s, std::size_t param) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        wrap_argument_error(s, param);
        return false;
    }
    out = static_cast<float>(value);
    return true;
}

inline bool to_f32(PyObject* object, float& out, const Signature& s, std::size_t param) {
    if (PyFloat_CheckExact(object)) [[likely]] {
        out = static_cast<float>(PyFloat_AS_DOUBLE(object));
        return true;
    }
    return to_f32_slow(object, out, s, param);
}

// Converts the filled slots in parameter order; empty ones keep `values`.
template <std::size_t N>
inline bool to_floats(const Signature& s, PyObject* const* slots, std::array<float, N>& values) {
    for (std::size_t i = 0; i < N; ++i)
        if (slots[i] != nullptr && !to_f32(slots[i], values[i], s, i)) return false;
    return true;
}

bool to_u16(PyObject* object, std::uint16_t& out, const Signature& s, std::size_t param) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        wrap_argument_error(s, param);
        return false;
    }
    if (value < 0 || value > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool to_u64(PyObject* object, std::uint64_t& out, const Signature& s, std::size_t param) {
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyObject* index = PyNumber_Index(object);
        if (index == nullptr) {
            wrap_argument_error(s, param);
            return false;
        }
        value = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
        wrap_argument_error(s, param);
        return false;
    }
    out = value;
    return true;
}

template <class Record>
const Record& record_of(PyObject* self) {
    return reinterpret_cast<Instance<Record>*>(self)->value;
}

// A copy of the record of an instance of `type` (or of a subtype).
template <class Record>
bool to_instance(PyObject* object, PyTypeObject* type, const char* type_name, Record& out, const Signature& s,
                 std::size_t param) {
    if (Py_IS_TYPE(object, type) || PyType_IsSubtype(Py_TYPE(object), type)) [[likely]] {
        out = record_of<Record>(object);
        return true;
    }
    PyObject* qualname = PyType_GetQualName(Py_TYPE(object));
    const char* name = qualname != nullptr ? PyUnicode_AsUTF8(qualname) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        name = "<failed to extract type name>";
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name, type_name);
    Py_XDECREF(qualname);
    wrap_argument_error(s, param);
    return false;
}

// ---- instances ----

template <class Record>
PyObject* make(PyTypeObject* type, const Record& value) {
    auto* self = static_cast<Instance<Record>*>(PyObject_Malloc(sizeof(Instance<Record>)));
    if (self == nullptr) return PyErr_NoMemory();
    PyObject_Init(&self->header, type);
    self->value = value;
    self->borrow_count = 0;
    return &self->header;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* name = PyType_GetName(type);
    if (name == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %S", name);
    Py_DECREF(name);
    return nullptr;
}

template <class Record, auto Member>
PyObject* get_float(PyObject* self, void*) {
    return PyFloat_FromDouble(record_of<Record>(self).*Member);
}

template <class Record, auto Member>
PyObject* get_int(PyObject* self, void*) {
    return PyLong_FromLong(record_of<Record>(self).*Member);
}

// ---- MitLimits ----

[[gnu::always_inline]] inline PyObject* limits_from_slots(PyTypeObject* type, PyObject* const* slots) {
    std::array<float, 5> v{default_limits.p_max, default_limits.v_max, default_limits.kp_max, default_limits.kd_max,
                           default_limits.t_max};
    if (!to_floats(limits_signature, slots, v)) return nullptr;
    return make(type, MitLimitsRecord{v[0], v[1], v[2], v[3], v[4]});
}

using LimitsConstructor = Constructor<limits_signature, limits_from_slots>;

PyObject* limits_repr(PyObject* self) {
    const MitLimitsRecord& l = record_of<MitLimitsRecord>(self);
    Text t;
    t.put("MitLimits(p_max=").shortest(l.p_max).put(", v_max=").shortest(l.v_max);
    t.put(", kp_max=").shortest(l.kp_max).put(", kd_max=").shortest(l.kd_max);
    t.put(", t_max=").shortest(l.t_max).put(")");
    return t.text();
}

struct Preset {
    const char* name;
    const char* doc;
    MitLimitsRecord limits;
};

constexpr std::array<Preset, 15> presets{{
    {"dm3507", "dm3507()\n--\n\n", {12.566F, 50, 500, 5, 5}},
    {"dm4310", "dm4310()\n--\n\n", {12.5F, 30, 500, 5, 10}},
    {"dm4310p", "dm4310p()\n--\n\n", {12.5F, 50, 500, 5, 10}},
    {"dm4340", "dm4340()\n--\n\n", {12.5F, 10, 500, 5, 28}},
    {"dm4340p", "dm4340p()\n--\n\n", {12.5F, 10, 500, 5, 28}},
    {"dm6006", "dm6006()\n--\n\n", {12.5F, 45, 500, 5, 20}},
    {"dm6248p", "dm6248p()\n--\n\n", {12.566F, 20, 500, 5, 120}},
    {"dm8006", "dm8006()\n--\n\n", {12.5F, 45, 500, 5, 40}},
    {"dm8009", "dm8009()\n--\n\n", {12.5F, 45, 500, 5, 54}},
    {"dm10010", "dm10010()\n--\n\n", {12.5F, 20, 500, 5, 200}},
    {"dm10010l", "dm10010l()\n--\n\n", {12.5F, 25, 500, 5, 200}},
    {"dmg6215", "dmg6215()\n--\n\n", {12.5F, 45, 500, 5, 10}},
    {"dmh3510", "dmh3510()\n--\n\n", {12.5F, 280, 500, 5, 1}},
    {"dmh6220", "dmh6220()\n--\n\n", {12.5F, 45, 500, 5, 10}},
    {"dmjh11", "dmjh11()\n--\n\n", {12.5F, 10, 500, 5, 12}},
}};

template <std::size_t Row>
PyObject* preset(PyObject*, PyObject*) {
    return make(MitLimitsType, presets[Row].limits);
}

template <std::size_t... Rows>
constexpr std::array<PyMethodDef, sizeof...(Rows) + 1> preset_methods(std::index_sequence<Rows...>) {
    return {{{presets[Rows].name, &preset<Rows>, METH_NOARGS | METH_STATIC, presets[Rows].doc}...,
             {nullptr, nullptr, 0, nullptr}}};
}

auto limits_methods = preset_methods(std::make_index_sequence<presets.size()>{});

PyGetSetDef limits_getset[] = {
    {"p_max", get_float<MitLimitsRecord, &MitLimitsRecord::p_max>, nullptr, "", nullptr},
    {"v_max", get_float<MitLimitsRecord, &MitLimitsRecord::v_max>, nullptr, "", nullptr},
    {"kp_max", get_float<MitLimitsRecord, &MitLimitsRecord::kp_max>, nullptr, "", nullptr},
    {"kd_max", get_float<MitLimitsRecord, &MitLimitsRecord::kd_max>, nullptr, "", nullptr},
    {"t_max", get_float<MitLimitsRecord, &MitLimitsRecord::t_max>, nullptr, "", nullptr},
    {},
};

PyType_Slot limits_slots[] = {
    {Py_tp_doc, const_cast<char*>("MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(LimitsConstructor::tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(limits_repr)},
    {Py_tp_methods, limits_methods.data()},
    {Py_tp_getset, limits_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// ---- MitSetpoint and mit_setpoint ----

template <const Signature& S>
[[gnu::always_inline]] inline PyObject* setpoint_from_slots(PyTypeObject* type, PyObject* const* slots) {
    std::array<float, 5> v{};
    if (!to_floats(S, slots, v)) return nullptr;
    return make(type, MitSetpointRecord{v[0], v[1], v[2], v[3], v[4]});
}

using SetpointConstructor = Constructor<setpoint_signature, setpoint_from_slots<setpoint_signature>>;

PyObject* mit_setpoint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5];
    if (!bind_vector(mit_setpoint_signature, args, static_cast<std::size_t>(nargs), kwnames, slots)) return nullptr;
    return setpoint_from_slots<mit_setpoint_signature>(MitSetpointType, slots);
}

PyObject* setpoint_repr(PyObject* self) {
    const MitSetpointRecord& s = record_of<MitSetpointRecord>(self);
    Text t;
    t.put("MitSetpoint(q=").shortest(s.q).put(", dq=").shortest(s.dq).put(", kp=").shortest(s.kp);
    t.put(", kd=").shortest(s.kd).put(", tau=").shortest(s.tau).put(")");
    return t.text();
}

PyGetSetDef setpoint_getset[] = {
    {"q", get_float<MitSetpointRecord, &MitSetpointRecord::q>, nullptr, "", nullptr},
    {"dq", get_float<MitSetpointRecord, &MitSetpointRecord::dq>, nullptr, "", nullptr},
    {"kp", get_float<MitSetpointRecord, &MitSetpointRecord::kp>, nullptr, "", nullptr},
    {"kd", get_float<MitSetpointRecord, &MitSetpointRecord::kd>, nullptr, "", nullptr},
    {"tau", get_float<MitSetpointRecord, &MitSetpointRecord::tau>, nullptr, "", nullptr},
    {},
};

PyType_Slot setpoint_slots[] = {
    {Py_tp_doc, const_cast<char*>("MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(SetpointConstructor::tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(setpoint_repr)},
    {Py_tp_getset, setpoint_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// ---- ControlSetpoint ----

PyObject* make_control(const ControlSetpointRecord& value) { return make(ControlSetpointType, value); }

PyObject* control_mit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_vector(mit_signature, args, static_cast<std::size_t>(nargs), kwnames, slots)) return nullptr;
    ControlSetpointRecord r{ControlMode::mit, {}};
    if (!to_instance(slots[0], MitSetpointType, "MitSetpoint", r.mit, mit_signature, 0)) return nullptr;
    return make_control(r);
}

PyObject* control_pos_vel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind_vector(pos_vel_signature, args, static_cast<std::size_t>(nargs), kwnames, slots)) return nullptr;
    std::array<float, 2> v{};
    if (!to_floats(pos_vel_signature, slots, v)) return nullptr;
    ControlSetpointRecord r{ControlMode::pos_vel, {}};
    r.pos_vel = {v[0], v[1]};
    return make_control(r);
}

PyObject* control_vel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_vector(vel_signature, args, static_cast<std::size_t>(nargs), kwnames, slots)) return nullptr;
    std::array<float, 1> v{};
    if (!to_floats(vel_signature, slots, v)) return nullptr;
    ControlSetpointRecord r{ControlMode::vel, {}};
    r.vel = {v[0]};
    return make_control(r);
}

PyObject* control_force_pos(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3];
    if (!bind_vector(force_pos_signature, args, static_cast<std::size_t>(nargs), kwnames, slots)) return nullptr;
    std::array<float, 3> v{};
    if (!to_floats(force_pos_signature, slots, v)) return nullptr;
    ControlSetpointRecord r{ControlMode::force_pos, {}};
    r.force_pos = {v[0], v[1], v[2]};
    return make_control(r);
}

PyObject* control_repr(PyObject* self) {
    const ControlSetpointRecord& c = record_of<ControlSetpointRecord>(self);
    Text t;
    switch (c.mode) {
        case ControlMode::mit:
            t.put("ControlSetpoint.mit(q=").shortest(c.mit.q).put(", dq=").shortest(c.mit.dq);
            t.put(", kp=").shortest(c.mit.kp).put(", kd=").shortest(c.mit.kd).put(", tau=").shortest(c.mit.tau);
            break;
        case ControlMode::pos_vel:
            t.put("ControlSetpoint.pos_vel(position=").shortest(c.pos_vel.position);
            t.put(", velocity=").shortest(c.pos_vel.velocity);
            break;
        case ControlMode::vel:
            t.put("ControlSetpoint.vel(").shortest(c.vel.velocity);
            break;
        case ControlMode::force_pos:
            t.put("ControlSetpoint.force_pos(position=").shortest(c.force_pos.position);
            t.put(", velocity_limit=").shortest(c.force_pos.velocity_limit);
            t.put(", torque_ratio=").shortest(c.force_pos.torque_ratio);
            break;
    }
    return t.put(")").text();
}

PyObject* control_mode(PyObject* self, void*) {
    return PyLong_FromLong(static_cast<long>(record_of<ControlSetpointRecord>(self).mode));
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int static_fastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef control_methods[] = {
    {"mit", as_method(control_mit), static_fastcall, "mit(setpoint)\n--\n\nMIT impedance setpoint (control mode 1)."},
    {"pos_vel", as_method(control_pos_vel), static_fastcall,
     "pos_vel(position, velocity)\n--\n\nPOS_VEL setpoint (control mode 2)."},
    {"vel", as_method(control_vel), static_fastcall, "vel(velocity)\n--\n\nVEL setpoint (control mode 3)."},
    {"force_pos", as_method(control_force_pos), static_fastcall,
     "force_pos(position, velocity_limit, torque_ratio)\n--\n\nFORCE_POS setpoint (control mode 4)."},
    {nullptr, nullptr, 0, nullptr},
};

// CPython 3.13's specialised call of a built-in function requires flags of
// exactly METH_FASTCALL | METH_KEYWORDS, so with METH_STATIC each call falls
// back to the generic call and the function's vector call. The function
// objects made from the rows above get these as their vector calls instead.
template <PyCFunctionFastWithKeywords Function>
PyObject* as_vector(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return Function(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}
constexpr std::array<vectorcallfunc, 4> control_vectors{as_vector<control_mit>, as_vector<control_pos_vel>,
                                                        as_vector<control_vel>, as_vector<control_force_pos>};

bool direct_static_calls(PyTypeObject* type) {
    for (std::size_t i = 0; i < control_vectors.size(); ++i) {
        PyObject* function = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), control_methods[i].ml_name);
        if (function == nullptr) return false;
        if (PyCFunction_CheckExact(function)) reinterpret_cast<PyCFunctionObject*>(function)->vectorcall = control_vectors[i];
        Py_DECREF(function);
    }
    return true;
}

PyGetSetDef control_getset[] = {
    {"mode", control_mode, nullptr, "Numeric control mode (matches the value written to register 10).", nullptr},
    {},
};

PyType_Slot control_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(control_repr)},
    {Py_tp_methods, control_methods},
    {Py_tp_getset, control_getset},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// ---- MotorState ----

PyObject* state_repr(PyObject* self) {
    const MotorStateRecord& s = record_of<MotorStateRecord>(self);
    Text t;
    t.put("MotorState(motor_id=").decimal(s.motor_id).put(", error=").decimal(s.error);
    t.put(", position=").four_decimal(s.position).put(", velocity=").four_decimal(s.velocity);
    t.put(", torque=").four_decimal(s.torque).put(", t_mos=").decimal(s.t_mos);
    t.put(", t_rotor=").decimal(s.t_rotor).put(")");
    return t.text();
}

PyGetSetDef state_getset[] = {
    {"motor_id", get_int<MotorStateRecord, &MotorStateRecord::motor_id>, nullptr, "", nullptr},
    {"error", get_int<MotorStateRecord, &MotorStateRecord::error>, nullptr, "", nullptr},
    {"position", get_float<MotorStateRecord, &MotorStateRecord::position>, nullptr, "", nullptr},
    {"velocity", get_float<MotorStateRecord, &MotorStateRecord::velocity>, nullptr, "", nullptr},
    {"torque", get_float<MotorStateRecord, &MotorStateRecord::torque>, nullptr, "", nullptr},
    {"t_mos", get_int<MotorStateRecord, &MotorStateRecord::t_mos>, nullptr, "", nullptr},
    {"t_rotor", get_int<MotorStateRecord, &MotorStateRecord::t_rotor>, nullptr, "", nullptr},
    {},
};

PyType_Slot state_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(state_repr)},
    {Py_tp_getset, state_getset},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// motor_state(motor_id, error, position, velocity, torque, t_mos, t_rotor):
// the benchmark's way to get an instance, as native code would make one.
PyObject* motor_state(PyObject*, PyObject* args) {
    MotorStateRecord r{};
    if (!PyArg_ParseTuple(args, "bbfffbb", &r.motor_id, &r.error, &r.position, &r.velocity, &r.torque, &r.t_mos,
                          &r.t_rotor))
        return nullptr;
    return make(MotorStateType, r);
}

// ---- Damiao ----

[[gnu::always_inline]] inline PyObject* damiao_from_slots(PyTypeObject* type, PyObject* const* slots) {
    const Signature& s = damiao_signature;
    DamiaoRecord r{0, 0, default_limits, Timeout::from_milliseconds(20)};
    if (!to_u16(slots[0], r.motor_id, s, 0) || !to_u16(slots[1], r.master_id, s, 1)) return nullptr;
    if (slots[2] != nullptr && slots[2] != Py_None && !to_instance(slots[2], MitLimitsType, "MitLimits", r.limits, s, 2))
        return nullptr;
    if (slots[3] != nullptr) {
        std::uint64_t timeout_ms;
        if (!to_u64(slots[3], timeout_ms, s, 3)) return nullptr;
        r.timeout = Timeout::from_milliseconds(timeout_ms);
    }
    return make(type, r);
}

using DamiaoConstructor = Constructor<damiao_signature, damiao_from_slots>;

PyObject* damiao_repr(PyObject* self) {
    const DamiaoRecord& d = record_of<DamiaoRecord>(self);
    Text t;
    t.put("Damiao(motor_id=").hex(d.motor_id).put(", master_id=").hex(d.master_id).put(")");
    return t.text();
}

PyGetSetDef damiao_getset[] = {
    {"motor_id", get_int<DamiaoRecord, &DamiaoRecord::motor_id>, nullptr, "", nullptr},
    {"master_id", get_int<DamiaoRecord, &DamiaoRecord::master_id>, nullptr, "", nullptr},
    {},
};

PyType_Slot damiao_slots[] = {
    {Py_tp_doc, const_cast<char*>("Damiao(motor_id, master_id, limits=None, timeout_ms=20)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(DamiaoConstructor::tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(damiao_repr)},
    {Py_tp_getset, damiao_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// ---- module ----

template <class Record>
constexpr int basic_size = static_cast<int>(sizeof(Instance<Record>));

struct ClassSpec {
    PyType_Spec spec;
    PyTypeObject** cell;
    vectorcallfunc vectorcall;  // null for the classes without a constructor
};

ClassSpec classes[] = {
    {{"_handwritten.MitLimits", basic_size<MitLimitsRecord>, 0, 0, limits_slots}, &MitLimitsType,
     LimitsConstructor::vectorcall},
    {{"_handwritten.MitSetpoint", basic_size<MitSetpointRecord>, 0, 0, setpoint_slots}, &MitSetpointType,
     SetpointConstructor::vectorcall},
    {{"_handwritten.ControlSetpoint", basic_size<ControlSetpointRecord>, 0, 0, control_slots},
     &ControlSetpointType, nullptr},
    {{"_handwritten.MotorState", basic_size<MotorStateRecord>, 0, 0, state_slots}, &MotorStateType, nullptr},
    {{"_handwritten.Damiao", basic_size<DamiaoRecord>, 0, 0, damiao_slots}, &DamiaoType, DamiaoConstructor::vectorcall},
};

PyMethodDef module_methods[] = {
    {"mit_setpoint", as_method(mit_setpoint), METH_FASTCALL | METH_KEYWORDS,
     "mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n"
     "Build a `MitSetpoint` (handy when keyword args are awkward)."},
    {"motor_state", motor_state, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_handwritten",
                          "Hand-written fastest C-API version of tervalin's classes, for the benchmark.", -1,
                          module_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__handwritten() {
    for (const Signature* s : signatures)
        for (std::size_t i = 0; i < s->count; ++i) {
            // The names are string literals, so data() is NUL-terminated.
            s->interned[i] = PyUnicode_InternFromString(s->names[i].data());
            if (s->interned[i] == nullptr) return nullptr;
        }
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    for (ClassSpec& c : classes) {
        *c.cell = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&c.spec));
        if (*c.cell == nullptr) {
            Py_DECREF(module);
            return nullptr;
        }
        // CPython 3.13 has no type slot for it, so it is set on the new class.
        (*c.cell)->tp_vectorcall = c.vectorcall;
        if (c.cell == &ControlSetpointType && !direct_static_calls(ControlSetpointType)) {
            Py_DECREF(module);
            return nullptr;
        }
        if (PyModule_AddObjectRef(module, std::strrchr(c.spec.name, '.') + 1, reinterpret_cast<PyObject*>(*c.cell)) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}
