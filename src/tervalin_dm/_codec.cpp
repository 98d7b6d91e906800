// tervalin_dm._codec: DM-series CAN frames to and from tervalin values.
//
// Built with tervalin's producer kit as any separately built extension is:
// the values are read with producer::read<Record> and MotorState values made
// with producer::make_motor_state, so nothing here depends on how tervalin
// lays out its internals beyond the kit's checked layout. The frames come from
// <tervalin/dm_codec.hpp>. Python sees the functions through tervalin_dm,
// which re-exports them; limits_of, timeout_of and decode_command serve the
// package's bus and simulated motor only (the handle's limits and timeout
// are not part of what Damiao shows).
//
// Every function follows CPython's convention (null with an exception set on
// failure) and keeps no reference to its arguments.
#include <tervalin/dm_codec.hpp>
#include <tervalin/producer.hpp>

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

namespace dm = tervalin::dm;
namespace producer = tervalin::producer;
using tervalin::DamiaoRecord;
using tervalin::MitLimitsRecord;

// --- Arguments ---

bool expect_arguments(const char* function, Py_ssize_t wanted, Py_ssize_t given) {
    if (given == wanted) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd argument%s (%zd given)", function, wanted,
                 wanted == 1 ? "" : "s", given);
    return false;
}

std::optional<dm::FrameData> frame_from(const void* bytes, Py_ssize_t size) {
    dm::FrameData data{};
    if (size != static_cast<Py_ssize_t>(data.size())) {
        PyErr_Format(PyExc_ValueError, "argument 'data': a frame has 8 data bytes, not %zd", size);
        return std::nullopt;
    }
    std::memcpy(data.data(), bytes, data.size());
    return data;
}

// The 8 data bytes of a frame from any bytes-like object.
std::optional<dm::FrameData> frame_data(PyObject* object) {
    if (PyBytes_CheckExact(object)) return frame_from(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
    if (PyByteArray_CheckExact(object)) return frame_from(PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object));
    if (!PyObject_CheckBuffer(object)) {
        PyErr_Format(PyExc_TypeError, "argument 'data': a bytes-like object is required, not '%s'",
                     Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) != 0) return std::nullopt;
    std::optional<dm::FrameData> data = frame_from(view.buf, view.len);
    PyBuffer_Release(&view);
    return data;
}

// Puts "argument '{name}': " before the message of the pending TypeError,
// as tervalin does for its own arguments; other exceptions pass unchanged.
void name_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* exception = PyErr_GetRaisedException();
    PyObject* message = PyObject_Str(exception);
    Py_DECREF(exception);
    if (message == nullptr) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message);
    Py_DECREF(message);
}

// An integer argument (anything with __index__) in low..top, or a
// ValueError made from `range_error` with the name, the value's repr, low
// and top.
std::optional<std::uint32_t> unsigned_argument(PyObject* object, const char* name, long low, long top,
                                               const char* range_error = "argument '%s': %U is not in %ld..%ld") {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            name_type_error(name);
            return std::nullopt;
        }
        PyErr_Clear();
    } else if (value >= low && value <= top) {
        return static_cast<std::uint32_t>(value);
    }
    PyObject* shown = PyObject_Repr(object);
    if (shown == nullptr) return std::nullopt;
    PyErr_Format(PyExc_ValueError, range_error, name, shown, low, top);
    Py_DECREF(shown);
    return std::nullopt;
}

// A float argument narrowed to single precision, as tervalin's own are: an
// exact float directly, anything else through its __float__ or __index__.
std::optional<float> float_argument(PyObject* object, const char* name) {
    if (PyFloat_CheckExact(object)) return static_cast<float>(PyFloat_AS_DOUBLE(object));
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        name_type_error(name);
        return std::nullopt;
    }
    return static_cast<float>(value);
}

// --- Results ---

// The identifiers of standard frames, made once each and kept: a frame's
// result then allocates at most its tuple and its bytes.
PyObject* standard_ids[0x800] = {};

PyObject* id_object(std::uint32_t id) {
    PyObject*& cached = standard_ids[id];
    if (cached == nullptr) cached = PyLong_FromUnsignedLong(id);
    return Py_XNewRef(cached);
}

PyObject* data_object(const dm::FrameData& data) {
    // Made empty and filled in place: one 8-byte store instead of a copy loop.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(data.size()));
    if (bytes != nullptr) std::memcpy(PyBytes_AS_STRING(bytes), data.data(), data.size());
    return bytes;
}

// The last tuple handed out, kept to be filled anew once its caller has let
// it go: a sender unpacks a frame and drops it, so a command after a command
// takes nothing from the allocator and gives nothing back. Its items are an
// int and a bytes object, never containers, so whether the collector tracks
// it does not matter.
PyObject* spare_result = nullptr;

// Writes `data` into a bytes object of 8 that nothing but its tuple holds,
// forgetting the hash it may have cached of the bytes before.
void refill(PyObject* bytes, const dm::FrameData& data) {
    std::memcpy(PyBytes_AS_STRING(bytes), data.data(), data.size());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    reinterpret_cast<PyBytesObject*>(bytes)->ob_shash = -1;
#pragma GCC diagnostic pop
}

// The spare tuple holding (id, data) when only this module holds it (empty
// when a caller still holds it), or null with MemoryError set when a new
// bytes object could not be made. Takes over `id` only when not empty.
std::optional<PyObject*> refilled_spare(PyObject* id, const dm::FrameData& data) {
    if (spare_result == nullptr || Py_REFCNT(spare_result) != 1) return std::nullopt;
    // Only this module holds the tuple, so nothing can see it change.
    PyObject* old_bytes = PyTuple_GET_ITEM(spare_result, 1);
    if (Py_REFCNT(old_bytes) == 1) {
        refill(old_bytes, data);
    } else {
        // A caller kept the bytes of an earlier frame: those stay as they are.
        PyObject* bytes = data_object(data);
        if (bytes == nullptr) return nullptr;
        PyTuple_SET_ITEM(spare_result, 1, bytes);
        Py_DECREF(old_bytes);
    }
    PyObject* old_id = PyTuple_GET_ITEM(spare_result, 0);
    PyTuple_SET_ITEM(spare_result, 0, id);
#if PY_VERSION_HEX >= 0x030E0000
    // Tuples cache their hash from 3.14 on; the new items have another.
    reinterpret_cast<PyTupleObject*>(spare_result)->ob_hash = -1;
#endif
    Py_DECREF(old_id);
    return Py_NewRef(spare_result);
}

// (can_id, data) of a frame for `motor_id`, or ValueError when its id is not
// a standard one.
PyObject* frame_result(const dm::Frame& frame, std::uint32_t motor_id) {
    if (!dm::is_standard_id(frame.id)) {
        PyErr_Format(PyExc_ValueError, "motor_id 0x%x gives CAN id 0x%x, beyond the 11-bit standard identifiers",
                     static_cast<unsigned>(motor_id), static_cast<unsigned>(frame.id));
        return nullptr;
    }
    PyObject* id = id_object(frame.id);
    if (id == nullptr) return nullptr;
    if (const std::optional<PyObject*> spare = refilled_spare(id, frame.data)) {
        if (*spare == nullptr) Py_DECREF(id);
        return *spare;
    }
    PyObject* bytes = data_object(frame.data);
    if (bytes == nullptr) {
        Py_DECREF(id);
        return nullptr;
    }
    PyObject* result = PyTuple_New(2);
    if (result == nullptr) {
        Py_DECREF(id);
        Py_DECREF(bytes);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, id);
    PyTuple_SET_ITEM(result, 1, bytes);
    // A spare still held by a caller is theirs alone from now on.
    Py_XSETREF(spare_result, Py_NewRef(result));
    return result;
}

// --- Frames to the motor ---

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("encode", 2, nargs)) return nullptr;
    const auto setpoint = producer::read<tervalin::ControlSetpointRecord>(args[0], "setpoint");
    if (!setpoint) return nullptr;
    const auto motor = producer::read<DamiaoRecord>(args[1], "motor");
    if (!motor) return nullptr;
    const std::optional<dm::Frame> frame = dm::encode(*setpoint, *motor);
    if (!frame) {
        PyErr_SetString(PyExc_SystemError, "ControlSetpoint holds an unknown control mode");
        return nullptr;
    }
    return frame_result(*frame, motor->motor_id);
}

template <dm::Command command>
PyObject* system_command(PyObject*, PyObject* motor_object) {
    const auto motor = producer::read<DamiaoRecord>(motor_object, "motor");
    if (!motor) return nullptr;
    return frame_result(dm::encode_command(motor->motor_id, command), motor->motor_id);
}

PyObject* write_control_mode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("write_control_mode", 2, nargs)) return nullptr;
    const auto motor = producer::read<DamiaoRecord>(args[0], "motor");
    if (!motor) return nullptr;
    // The mode numbers are those of ControlSetpoint.mode, 1 to 4.
    const auto mode = unsigned_argument(
        args[1], "mode", 1, 4, "argument '%s': control modes are 1 (MIT), 2 (POS_VEL), 3 (VEL) and 4 (FORCE_POS), not %U");
    if (!mode) return nullptr;
    return frame_result(dm::encode_mode_switch(motor->motor_id, static_cast<tervalin::ControlMode>(*mode)),
                        motor->motor_id);
}

// --- Frames from the motor ---

PyObject* decode_feedback(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("decode_feedback", 2, nargs)) return nullptr;
    const std::optional<dm::FrameData> data = frame_data(args[0]);
    if (!data) return nullptr;
    const auto limits = producer::read<MitLimitsRecord>(args[1], "limits");
    if (!limits) return nullptr;
    return producer::make_motor_state(dm::decode_feedback(*data, *limits));
}

PyObject* feedback_motor_id(PyObject*, PyObject* data_object) {
    const std::optional<dm::FrameData> data = frame_data(data_object);
    if (!data) return nullptr;
    return PyLong_FromLong(dm::feedback_motor_id(*data));
}

// encode_feedback(*, motor_id, error, position, velocity, torque, t_mos,
// t_rotor, limits): keyword-only, in MotorState's field order.
constexpr const char* feedback_fields[] = {"motor_id", "error", "position", "velocity",
                                           "torque",   "t_mos", "t_rotor",  "limits"};
constexpr Py_ssize_t feedback_field_count = sizeof feedback_fields / sizeof feedback_fields[0];

PyObject* encode_feedback(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "encode_feedback() takes 0 positional arguments but %zd %s given", nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    PyObject* given[feedback_field_count] = {};
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t field = 0;
        while (field < feedback_field_count && PyUnicode_CompareWithASCIIString(name, feedback_fields[field]) != 0)
            ++field;
        if (field == feedback_field_count) {
            PyErr_Format(PyExc_TypeError, "encode_feedback() got an unexpected keyword argument '%U'", name);
            return nullptr;
        }
        given[field] = args[k];
    }
    for (Py_ssize_t field = 0; field < feedback_field_count; ++field) {
        if (given[field] == nullptr) {
            PyErr_Format(PyExc_TypeError, "encode_feedback() missing required keyword-only argument: '%s'",
                         feedback_fields[field]);
            return nullptr;
        }
    }
    tervalin::MotorStateRecord state{};
    const auto motor_id = unsigned_argument(given[0], "motor_id", 0, 0xF);
    if (!motor_id) return nullptr;
    const auto error = unsigned_argument(given[1], "error", 0, 0xF);
    if (!error) return nullptr;
    const auto position = float_argument(given[2], "position");
    if (!position) return nullptr;
    const auto velocity = float_argument(given[3], "velocity");
    if (!velocity) return nullptr;
    const auto torque = float_argument(given[4], "torque");
    if (!torque) return nullptr;
    const auto t_mos = unsigned_argument(given[5], "t_mos", 0, 0xFF);
    if (!t_mos) return nullptr;
    const auto t_rotor = unsigned_argument(given[6], "t_rotor", 0, 0xFF);
    if (!t_rotor) return nullptr;
    const auto limits = producer::read<MitLimitsRecord>(given[7], "limits");
    if (!limits) return nullptr;
    state.motor_id = static_cast<std::uint8_t>(*motor_id);
    state.error = static_cast<std::uint8_t>(*error);
    state.position = *position;
    state.velocity = *velocity;
    state.torque = *torque;
    state.t_mos = static_cast<std::uint8_t>(*t_mos);
    state.t_rotor = static_cast<std::uint8_t>(*t_rotor);
    return data_object(dm::encode_feedback(state, *limits));
}

// --- What the bus and the simulated motor need of a handle ---

// tervalin.MitLimits, for the one place that makes a MitLimits: the kit
// makes only MotorState values.
PyObject* mit_limits_class = nullptr;

// limits_of(motor): a new MitLimits with the handle's limits.
PyObject* limits_of(PyObject*, PyObject* motor_object) {
    const auto motor = producer::read<DamiaoRecord>(motor_object, "motor");
    if (!motor) return nullptr;
    const MitLimitsRecord& l = motor->limits;
    return PyObject_CallFunction(mit_limits_class, "ddddd", static_cast<double>(l.p_max),
                                 static_cast<double>(l.v_max), static_cast<double>(l.kp_max),
                                 static_cast<double>(l.kd_max), static_cast<double>(l.t_max));
}

// timeout_of(motor): the handle's reply timeout in seconds.
PyObject* timeout_of(PyObject*, PyObject* motor_object) {
    const auto motor = producer::read<DamiaoRecord>(motor_object, "motor");
    if (!motor) return nullptr;
    return PyFloat_FromDouble(static_cast<double>(motor->timeout.seconds) + motor->timeout.nanoseconds / 1e9);
}

const char* command_name(dm::Command command) {
    switch (command) {
        case dm::Command::enable:
            return "enable";
        case dm::Command::disable:
            return "disable";
        case dm::Command::set_zero:
            return "set_zero";
        case dm::Command::clear_error:
            return "clear_error";
    }
    return "unknown";
}

// decode_command(can_id, data, motor): what the motor of the handle reads
// from a frame, or None when the frame is not a command to it:
//   ("enable",), ("disable",), ("set_zero",), ("clear_error",),
//   ("write", register, value), ("mit", q, dq, kp, kd, tau),
//   ("pos_vel", position, velocity), ("vel", velocity),
//   ("force_pos", position, velocity_limit, torque_ratio).
// A frame of another length than 8 is no command.
PyObject* decode_command(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("decode_command", 3, nargs)) return nullptr;
    const long can_id = PyLong_AsLong(args[0]);
    if (can_id == -1 && PyErr_Occurred()) return nullptr;
    const auto motor = producer::read<DamiaoRecord>(args[2], "motor");
    if (!motor) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[1], &view, PyBUF_SIMPLE) != 0) return nullptr;
    dm::FrameData data{};
    const bool eight = view.len == static_cast<Py_ssize_t>(data.size());
    if (eight) std::memcpy(data.data(), view.buf, data.size());
    PyBuffer_Release(&view);
    if (!eight) Py_RETURN_NONE;
    const std::uint32_t id = static_cast<std::uint32_t>(can_id);
    const std::uint32_t own = motor->motor_id;
    if (can_id >= 0 && id == dm::register_write_id) {
        const std::optional<dm::RegisterWrite> write = dm::decode_register_write(data);
        if (!write || write->motor_id != own) Py_RETURN_NONE;
        return Py_BuildValue("(sIk)", "write", static_cast<unsigned>(write->reg),
                             static_cast<unsigned long>(write->value));
    }
    if (can_id < 0) Py_RETURN_NONE;
    if (id == dm::mit_base + own) {
        if (const std::optional<dm::Command> command = dm::decode_command(data))
            return Py_BuildValue("(s)", command_name(*command));
        const tervalin::MitSetpointRecord s = dm::decode_mit(data, motor->limits);
        return Py_BuildValue("(sddddd)", "mit", double{s.q}, double{s.dq}, double{s.kp}, double{s.kd}, double{s.tau});
    }
    if (id == dm::pos_vel_base + own) {
        const tervalin::PosVelSetpoint s = dm::decode_pos_vel(data);
        return Py_BuildValue("(sdd)", "pos_vel", double{s.position}, double{s.velocity});
    }
    if (id == dm::vel_base + own) return Py_BuildValue("(sd)", "vel", double{dm::decode_vel(data).velocity});
    if (id == dm::force_pos_base + own) {
        const tervalin::ForcePosSetpoint s = dm::decode_force_pos(data);
        return Py_BuildValue("(sddd)", "force_pos", double{s.position}, double{s.velocity_limit},
                             double{s.torque_ratio});
    }
    Py_RETURN_NONE;
}

// The status codes by name, from the codec's constants: tervalin_dm.Status
// is checked against this table.
struct StatusCode {
    const char* name;
    std::uint8_t value;
};
constexpr StatusCode status_codes[] = {
    {"DISABLED", dm::status::disabled},
    {"ENABLED", dm::status::enabled},
    {"SENSOR_ERROR", dm::status::sensor_error},
    {"PARAMETER_ERROR", dm::status::parameter_error},
    {"OVER_VOLTAGE", dm::status::over_voltage},
    {"UNDER_VOLTAGE", dm::status::under_voltage},
    {"OVER_CURRENT", dm::status::over_current},
    {"MOS_OVER_TEMPERATURE", dm::status::mos_over_temperature},
    {"ROTOR_OVER_TEMPERATURE", dm::status::rotor_over_temperature},
    {"COMMUNICATION_LOST", dm::status::communication_lost},
    {"OVERLOAD", dm::status::overload},
};

PyObject* status_table() {
    constexpr Py_ssize_t count = sizeof status_codes / sizeof status_codes[0];
    PyObject* table = PyTuple_New(count);
    if (table == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* entry = Py_BuildValue("(si)", status_codes[i].name, static_cast<int>(status_codes[i].value));
        if (entry == nullptr) {
            Py_DECREF(table);
            return nullptr;
        }
        PyTuple_SET_ITEM(table, i, entry);
    }
    return table;
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"encode", as_method(encode), METH_FASTCALL,
     "encode(setpoint, motor, /)\n--\n\n"
     "The frame (can_id, data) commanding `setpoint` to `motor`; an MIT setpoint\n"
     "is scaled over the handle's limits."},
    {"enable", as_method(system_command<dm::Command::enable>), METH_O,
     "enable(motor, /)\n--\n\nThe frame that enables `motor`."},
    {"disable", as_method(system_command<dm::Command::disable>), METH_O,
     "disable(motor, /)\n--\n\nThe frame that disables `motor`."},
    {"set_zero", as_method(system_command<dm::Command::set_zero>), METH_O,
     "set_zero(motor, /)\n--\n\nThe frame that makes the current position `motor`'s zero."},
    {"clear_error", as_method(system_command<dm::Command::clear_error>), METH_O,
     "clear_error(motor, /)\n--\n\nThe frame that clears `motor`'s error status."},
    {"write_control_mode", as_method(write_control_mode), METH_FASTCALL,
     "write_control_mode(motor, mode, /)\n--\n\n"
     "The frame that writes control mode `mode` (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS)\n"
     "to register 10 of `motor`."},
    {"decode_feedback", as_method(decode_feedback), METH_FASTCALL,
     "decode_feedback(data, limits, /)\n--\n\n"
     "The MotorState of the 8 data bytes of a feedback frame, position, velocity\n"
     "and torque scaled over the ranges of `limits`."},
    {"encode_feedback", as_method(encode_feedback), METH_FASTCALL | METH_KEYWORDS,
     "encode_feedback(*, motor_id, error, position, velocity, torque, t_mos, t_rotor, limits)\n--\n\n"
     "The 8 data bytes of a feedback frame, as a motor sends them on its master id:\n"
     "motor_id and error 0 to 15, position, velocity and torque scaled over the\n"
     "ranges of `limits` (clamped to them), temperatures 0 to 255."},
    {"feedback_motor_id", as_method(feedback_motor_id), METH_O,
     "feedback_motor_id(data, /)\n--\n\n"
     "The motor id a feedback frame carries (the low four bits of its first byte)."},
    {"limits_of", as_method(limits_of), METH_O, nullptr},
    {"timeout_of", as_method(timeout_of), METH_O, nullptr},
    {"decode_command", as_method(decode_command), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition{PyModuleDef_HEAD_INIT,
                       "tervalin_dm._codec",
                       "DM-series CAN frames to and from tervalin values.",
                       -1,
                       methods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__codec() {
    // Imports tervalin and checks its layout now, so a mismatch fails the import.
    if (!producer::bind()) return nullptr;
    if (mit_limits_class == nullptr) {
        PyObject* tervalin = PyImport_ImportModule("tervalin");
        if (tervalin == nullptr) return nullptr;
        mit_limits_class = PyObject_GetAttrString(tervalin, "MitLimits");
        Py_DECREF(tervalin);
        if (mit_limits_class == nullptr) return nullptr;
    }
    PyObject* module = PyModule_Create(&definition);
    if (module == nullptr) return nullptr;
    PyObject* table = status_table();
    if (table == nullptr || PyModule_Add(module, "status_codes", table) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
