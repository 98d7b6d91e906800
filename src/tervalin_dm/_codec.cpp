// tervalin_dm._codec: DM-series CAN frames to and from tervalin values.
//
// Built with tervalin's producer kit as any separately built extension is:
// the values are read with producer::read<Record> and MotorState values made
// with producer::make_motor_state, so nothing here depends on how tervalin
// lays out its internals beyond the kit's checked layout. The frames come from
// <tervalin/dm_codec.hpp>. Python sees the functions through tervalin_dm,
// which re-exports them (they name it in their errors); limits_of,
// timeout_of, decode_command, decode_register and register_data serve the
// package's bus and simulated motor only (the handle's limits and timeout
// are not part of what Damiao shows). The tables status_codes,
// control_modes and register_commands and the constants below them give the
// package the codec's numbers, so that each is written once.
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
#include <utility>

namespace {

namespace dm = tervalin::dm;
namespace producer = tervalin::producer;
using tervalin::DamiaoRecord;
using tervalin::MitLimitsRecord;

// One owned reference, released when it goes out of scope.
class Owned {
public:
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_;
};

// The buffer of a bytes-like object, released when it goes out of scope;
// empty with an exception set when the object has none.
class BufferView {
public:
    explicit BufferView(PyObject* object) noexcept : held_(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0) {}
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    explicit operator bool() const noexcept { return held_; }
    const Py_buffer* operator->() const noexcept { return &view_; }

private:
    Py_buffer view_{};
    bool held_;
};

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
    const BufferView view(object);
    if (!view) return std::nullopt;
    return frame_from(view->buf, view->len);
}

void name_type_error(const char* name);

// The 8 data bytes of a frame that may have another length: empty in the
// inner optional for another length, empty in the outer one with a
// TypeError set for an object that is no bytes-like object.
std::optional<std::optional<dm::FrameData>> frame_data_if_eight(PyObject* object) {
    const BufferView view(object);
    if (!view) {
        name_type_error("data");
        return std::nullopt;
    }
    dm::FrameData data{};
    if (view->len != static_cast<Py_ssize_t>(data.size())) return std::optional<dm::FrameData>{};
    std::memcpy(data.data(), view->buf, data.size());
    return std::optional<dm::FrameData>{data};
}

// Puts "argument '{name}': " before the message of the pending TypeError,
// as tervalin does for its own arguments; other exceptions pass unchanged.
void name_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    const Owned exception(PyErr_GetRaisedException());
    const Owned message(PyObject_Str(exception.get()));
    if (message) PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
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
    const Owned shown(PyObject_Repr(object));
    if (shown) PyErr_Format(PyExc_ValueError, range_error, name, shown.get(), low, top);
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

// The motor id of `object`: a Damiao handle's, or an int motor id in
// 0..max_standard_id (bool refused: True is no motor id).
std::optional<std::uint16_t> motor_id_argument(PyObject* object) {
    if (PyLong_Check(object) && !PyBool_Check(object)) {
        const auto id = unsigned_argument(object, "motor", 0, dm::max_standard_id,
                                          "argument '%s': %U is not a motor id (%ld..%ld)");
        if (!id) return std::nullopt;
        return static_cast<std::uint16_t>(*id);
    }
    const auto motor = producer::read<DamiaoRecord>(object, "motor");
    if (!motor) return std::nullopt;
    return motor->motor_id;
}

std::optional<std::uint8_t> register_argument(PyObject* object) {
    const auto reg = unsigned_argument(object, "register", 0, 0xFF);
    if (!reg) return std::nullopt;
    return static_cast<std::uint8_t>(*reg);
}

// A register value as written: a float's single bits, an int's u32. A
// float is taken for a float register and an int for an int register, so
// the caller has converted by the register's type already.
std::optional<std::uint32_t> register_value(PyObject* object) {
    if (PyFloat_Check(object)) {
        const double value = PyFloat_AS_DOUBLE(object);
        // Out of the single range the narrowing is undefined; such a value never reaches a motor.
        constexpr double largest_single = 3.4028234663852886e38;
        if (!(value >= -largest_single && value <= largest_single)) {
            PyErr_Format(PyExc_ValueError, "argument 'value': %R is not a finite single-precision value", object);
            return std::nullopt;
        }
        return dm::detail::float_bits(static_cast<float>(value));
    }
    if (PyBool_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "argument 'value': a register value is an int or a float, not bool");
        return std::nullopt;
    }
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument 'value': a register value is an int or a float, not '%s'",
                     Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) && value <= 0xFFFFFFFFULL)
        return static_cast<std::uint32_t>(value);
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "argument 'value': %R is not in 0..0xffffffff", object);
    return std::nullopt;
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
        const Owned replaced(old_bytes);
        PyTuple_SET_ITEM(spare_result, 1, bytes);
    }
    const Owned old_id(PyTuple_GET_ITEM(spare_result, 0));
    PyTuple_SET_ITEM(spare_result, 0, id);
#if PY_VERSION_HEX >= 0x030E0000
    // Tuples cache their hash from 3.14 on; the new items have another.
    reinterpret_cast<PyTupleObject*>(spare_result)->ob_hash = -1;
#endif
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
    Owned id(id_object(frame.id));
    if (!id) return nullptr;
    if (const std::optional<PyObject*> spare = refilled_spare(id.get(), frame.data)) {
        // The refilled spare took the id over.
        if (*spare != nullptr) static_cast<void>(id.release());
        return *spare;
    }
    Owned bytes(data_object(frame.data));
    if (!bytes) return nullptr;
    PyObject* result = PyTuple_New(2);
    if (result == nullptr) return nullptr;
    PyTuple_SET_ITEM(result, 0, id.release());
    PyTuple_SET_ITEM(result, 1, bytes.release());
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
    if (const std::optional<dm::SetpointField> field = dm::non_finite_field(*setpoint)) {
        const float value = field->value;
        PyErr_Format(PyExc_ValueError,
                     "argument 'setpoint': %s is %s; a motor is never sent a value that is not finite", field->name, value != value ? "nan" : value > 0 ? "inf" : "-inf");
        return nullptr;
    }
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
    const auto motor_id = motor_id_argument(args[0]);
    if (!motor_id) return nullptr;
    // The mode numbers are those of ControlSetpoint.mode, 1 to 4.
    const auto mode = unsigned_argument(
        args[1], "mode", 1, 4, "argument '%s': control modes are 1 (MIT), 2 (POS_VEL), 3 (VEL) and 4 (FORCE_POS), not %U");
    if (!mode) return nullptr;
    return frame_result(dm::encode_mode_switch(*motor_id, static_cast<tervalin::ControlMode>(*mode)), *motor_id);
}

PyObject* read_register(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("read_register", 2, nargs)) return nullptr;
    const auto motor_id = motor_id_argument(args[0]);
    if (!motor_id) return nullptr;
    const auto reg = register_argument(args[1]);
    if (!reg) return nullptr;
    return frame_result(dm::encode_register_read(*motor_id, *reg), *motor_id);
}

PyObject* write_register(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("write_register", 3, nargs)) return nullptr;
    const auto motor_id = motor_id_argument(args[0]);
    if (!motor_id) return nullptr;
    const auto reg = register_argument(args[1]);
    if (!reg) return nullptr;
    const auto value = register_value(args[2]);
    if (!value) return nullptr;
    return frame_result(dm::encode_register_write(*motor_id, *reg, *value), *motor_id);
}

PyObject* save_parameters(PyObject*, PyObject* motor) {
    const auto motor_id = motor_id_argument(motor);
    if (!motor_id) return nullptr;
    return frame_result(dm::encode_save(*motor_id), *motor_id);
}

std::optional<dm::RegisterCommand> register_command_argument(PyObject* object) {
    const auto command = unsigned_argument(object, "command", 0, 0xFF);
    if (!command) return std::nullopt;
    switch (const auto known = static_cast<dm::RegisterCommand>(*command)) {
        case dm::RegisterCommand::read:
        case dm::RegisterCommand::write:
        case dm::RegisterCommand::save:
            return known;
    }
    PyErr_Format(PyExc_ValueError, "argument 'command': 0x%x is no register command", static_cast<unsigned>(*command));
    return std::nullopt;
}

// register_data(motor_id, command, register, value): the data bytes of a
// register frame, for whoever answers as a motor (the answer's layout is
// the request's).
PyObject* register_data(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("register_data", 4, nargs)) return nullptr;
    const auto motor_id = unsigned_argument(args[0], "motor_id", 0, 0xFFFF);
    if (!motor_id) return nullptr;
    const auto command = register_command_argument(args[1]);
    if (!command) return nullptr;
    const auto reg = register_argument(args[2]);
    if (!reg) return nullptr;
    const auto value = register_value(args[3]);
    if (!value) return nullptr;
    return data_object(dm::encode_register_data(static_cast<std::uint16_t>(*motor_id), *command, *reg, *value));
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

// (motor_id, command, register, raw, single) of a register frame's data, the
// value both as the u32 and as the single of the same bits (the caller
// knows the register's type); None when `data` is not 8 bytes or byte 2 is
// no register command.
PyObject* register_fields(const dm::RegisterFrame& frame) {
    return Py_BuildValue("(iiikd)", static_cast<int>(frame.motor_id), static_cast<int>(frame.command),
                         static_cast<int>(frame.reg), static_cast<unsigned long>(frame.value),
                         static_cast<double>(frame.float_value()));
}

PyObject* decode_register(PyObject*, PyObject* data_object) {
    const auto data = frame_data_if_eight(data_object);
    if (!data) return nullptr;
    if (!*data) Py_RETURN_NONE;
    const std::optional<dm::RegisterFrame> frame = dm::decode_register(**data);
    if (!frame) Py_RETURN_NONE;
    return register_fields(*frame);
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

// limits_of(motor): a new MitLimits with the handle's limits, made by
// calling the class the tervalin module holds in its state (the kit makes
// only MotorState values itself).
PyObject* limits_of(PyObject*, PyObject* motor_object) {
    const auto motor = producer::read<DamiaoRecord>(motor_object, "motor");
    if (!motor) return nullptr;
    PyTypeObject* mit_limits = producer::class_of<MitLimitsRecord>();
    if (mit_limits == nullptr) return nullptr;
    const MitLimitsRecord& l = motor->limits;
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(mit_limits), "ddddd", static_cast<double>(l.p_max),
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
//   ("register", command, register, raw, single) for a read, write or save
//   of its motor id, ("mit", q, dq, kp, kd, tau), ("pos_vel", position,
//   velocity), ("vel", velocity), ("force_pos", position, velocity_limit,
//   torque_ratio).
// A frame of another length than 8 is no command; `can_id` is a standard id.
PyObject* decode_command(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("decode_command", 3, nargs)) return nullptr;
    const auto can_id = unsigned_argument(args[0], "can_id", 0, dm::max_standard_id,
                                          "argument '%s': %U is not a standard CAN id (%ld..%ld)");
    if (!can_id) return nullptr;
    const auto motor = producer::read<DamiaoRecord>(args[2], "motor");
    if (!motor) return nullptr;
    const auto eight = frame_data_if_eight(args[1]);
    if (!eight) return nullptr;
    if (!*eight) Py_RETURN_NONE;
    const dm::FrameData& data = **eight;
    const std::uint32_t id = *can_id;
    const std::uint32_t own = motor->motor_id;
    if (id == dm::register_id) {
        const std::optional<dm::RegisterFrame> request = dm::decode_register(data);
        if (request && request->motor_id == own)
            return Py_BuildValue("(siikd)", "register", static_cast<int>(request->command),
                                 static_cast<int>(request->reg), static_cast<unsigned long>(request->value),
                                 static_cast<double>(request->float_value()));
        // A motor with id 0x7FF also takes system commands there (below).
    }
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

// The codec's named numbers, exported as tables of (name, value) pairs from
// which tervalin_dm builds its enums: each number is written only in the
// codec's headers.
struct NamedCode {
    const char* name;
    int value;
};

constexpr NamedCode status_codes[] = {
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

constexpr int code(tervalin::ControlMode mode) { return static_cast<int>(mode); }
constexpr int code(dm::RegisterCommand command) { return static_cast<int>(command); }

constexpr NamedCode control_modes[] = {
    {"MIT", code(tervalin::ControlMode::mit)},
    {"POS_VEL", code(tervalin::ControlMode::pos_vel)},
    {"VEL", code(tervalin::ControlMode::vel)},
    {"FORCE_POS", code(tervalin::ControlMode::force_pos)},
};

constexpr NamedCode register_commands[] = {
    {"READ", code(dm::RegisterCommand::read)},
    {"WRITE", code(dm::RegisterCommand::write)},
    {"SAVE", code(dm::RegisterCommand::save)},
};

constexpr NamedCode constants[] = {
    {"control_mode_register", dm::control_mode_register},
    {"register_id", static_cast<int>(dm::register_id)},
    {"max_standard_id", static_cast<int>(dm::max_standard_id)},
    {"feedback_motor_id_mask", dm::feedback_motor_id_mask},
};

template <std::size_t count>
PyObject* table_of(const NamedCode (&codes)[count]) {
    Owned table(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!table) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* entry = Py_BuildValue("(si)", codes[i].name, codes[i].value);
        if (entry == nullptr) return nullptr;
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return table.release();
}

bool add_tables(PyObject* module) {
    if (PyModule_Add(module, "status_codes", table_of(status_codes)) < 0) return false;
    if (PyModule_Add(module, "control_modes", table_of(control_modes)) < 0) return false;
    if (PyModule_Add(module, "register_commands", table_of(register_commands)) < 0) return false;
    for (const NamedCode& constant : constants)
        if (PyModule_AddIntConstant(module, constant.name, constant.value) < 0) return false;
    return true;
}

// The functions say they are the package's (tervalin_dm re-exports them), so
// that their errors name the module a user imported, not this private one.
bool present_in_package(PyObject* module) {
    const Owned name(PyModule_GetNameObject(module));
    if (!name) return false;
    const Owned dot(PyUnicode_FromString("."));
    if (!dot) return false;
    const Owned parts(PyUnicode_RPartition(name.get(), dot.get()));
    if (!parts) return false;
    PyObject* package = PyTuple_GET_ITEM(parts.get(), 0);
    for (const PyMethodDef* method = PyModule_GetDef(module)->m_methods; method->ml_name != nullptr; ++method) {
        const Owned function(PyObject_GetAttrString(module, method->ml_name));
        if (!function || PyObject_SetAttrString(function.get(), "__module__", package) < 0) return false;
    }
    return true;
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
    {"read_register", as_method(read_register), METH_FASTCALL,
     "read_register(motor, register, /)\n--\n\n"
     "The frame that asks `motor` (a Damiao or a motor id) for a register's value."},
    {"write_register", as_method(write_register), METH_FASTCALL,
     "write_register(motor, register, value, /)\n--\n\n"
     "The frame that writes `value` (a float as a single, an int as a u32) to a register of `motor`."},
    {"save_parameters", as_method(save_parameters), METH_O,
     "save_parameters(motor, /)\n--\n\n"
     "The frame that saves every register of `motor` to its flash (a motor does so only while disabled)."},
    {"decode_register", as_method(decode_register), METH_O,
     "decode_register(data, /)\n--\n\n"
     "(motor_id, command, register, raw, single) of a register frame's data, or None."},
    {"register_data", as_method(register_data), METH_FASTCALL,
     "register_data(motor_id, command, register, value, /)\n--\n\n"
     "The data bytes of a register frame, as a motor answers a request."},
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
    Owned module(PyModule_Create(&definition));
    if (!module || !add_tables(module.get()) || !present_in_package(module.get())) return nullptr;
    return module.release();
}
