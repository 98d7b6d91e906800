// kit_extension: an extension module built on its own against the installed
// tervalin wheel, with nothing but tervalin's kit.
//
// It makes MotorState values and reads the other four classes
// (<tervalin/producer.hpp>), and logs into Python's `logging` from the
// calling thread and from native threads of its own (<tervalin/log.hpp>).
#include <tervalin/log.hpp>
#include <tervalin/producer.hpp>

#include <Python.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace log = tervalin::log;
namespace producer = tervalin::producer;

PyObject* limits_tuple(const tervalin::MitLimitsRecord& limits) {
    return Py_BuildValue("(fffff)", limits.p_max, limits.v_max, limits.kp_max, limits.kd_max, limits.t_max);
}

// motor_state(motor_id, error, position, velocity, torque, t_mos, t_rotor)
PyObject* motor_state(PyObject*, PyObject* args) {
    tervalin::MotorStateRecord state{};
    if (!PyArg_ParseTuple(args, "bbfffbb:motor_state", &state.motor_id, &state.error, &state.position,
                          &state.velocity, &state.torque, &state.t_mos, &state.t_rotor))
        return nullptr;
    return producer::make_motor_state(state);
}

PyObject* read_limits(PyObject*, PyObject* object) {
    const auto limits = producer::read<tervalin::MitLimitsRecord>(object, "limits");
    return limits ? limits_tuple(*limits) : nullptr;
}

PyObject* read_setpoint(PyObject*, PyObject* object) {
    const auto setpoint = producer::read<tervalin::MitSetpointRecord>(object, "setpoint");
    if (!setpoint) return nullptr;
    return Py_BuildValue("(fffff)", setpoint->q, setpoint->dq, setpoint->kp, setpoint->kd, setpoint->tau);
}

// read_control(setpoint) -> (mode, payload floats)
PyObject* read_control(PyObject*, PyObject* object) {
    const auto control = producer::read<tervalin::ControlSetpointRecord>(object, "setpoint");
    if (!control) return nullptr;
    const int mode = static_cast<int>(control->mode);
    switch (control->mode) {
        case tervalin::ControlMode::mit: {
            const tervalin::MitSetpointRecord& mit = control->mit;
            return Py_BuildValue("(i(fffff))", mode, mit.q, mit.dq, mit.kp, mit.kd, mit.tau);
        }
        case tervalin::ControlMode::pos_vel:
            return Py_BuildValue("(i(ff))", mode, control->pos_vel.position, control->pos_vel.velocity);
        case tervalin::ControlMode::vel:
            return Py_BuildValue("(i(f))", mode, control->vel.velocity);
        case tervalin::ControlMode::force_pos:
            return Py_BuildValue("(i(fff))", mode, control->force_pos.position, control->force_pos.velocity_limit,
                                 control->force_pos.torque_ratio);
    }
    PyErr_SetString(PyExc_SystemError, "ControlSetpoint holds an unknown control mode");
    return nullptr;
}

// read_motor(motor) -> (motor_id, master_id, limits, timeout seconds, timeout nanoseconds)
PyObject* read_motor(PyObject*, PyObject* object) {
    const auto motor = producer::read<tervalin::DamiaoRecord>(object, "motor");
    if (!motor) return nullptr;
    PyObject* limits = limits_tuple(motor->limits);
    if (limits == nullptr) return nullptr;
    return Py_BuildValue("(IINKI)", static_cast<unsigned>(motor->motor_id), static_cast<unsigned>(motor->master_id),
                         limits, static_cast<unsigned long long>(motor->timeout.seconds),
                         static_cast<unsigned>(motor->timeout.nanoseconds));
}

std::optional<log::Level> level_of(int level) {
    if (level >= 1 && level <= 5) return static_cast<log::Level>(level);
    PyErr_SetString(PyExc_ValueError, "level must be 1 (error) to 5 (trace)");
    return std::nullopt;
}

// log(level, target, message, file=None, line=0) -> outcome (0 done, 1 panicked, 2 no message):
// one record from the calling thread, which holds the interpreter lock.
PyObject* log_record(PyObject*, PyObject* args) {
    int level = 0;
    const char* target = nullptr;
    Py_ssize_t target_size = 0;
    const char* message = nullptr;
    const char* file = nullptr;
    unsigned int line = 0;
    if (!PyArg_ParseTuple(args, "is#s|zI:log", &level, &target, &target_size, &message, &file, &line))
        return nullptr;
    const std::optional<log::Level> checked = level_of(level);
    if (!checked) return nullptr;
    const log::Outcome outcome = log::emit(*checked, {target, static_cast<std::size_t>(target_size)},
                                           [message] { return message; }, log::Site{file, line});
    return PyLong_FromLong(static_cast<long>(outcome));
}

// log_number(target, number): the printf-style info record "number <number>".
PyObject* log_number(PyObject*, PyObject* args) {
    const char* target = nullptr;
    int number = 0;
    if (!PyArg_ParseTuple(args, "si:log_number", &target, &number)) return nullptr;
    log::infof(target, TERVALIN_LOG_SITE, "number %d", number);
    Py_RETURN_NONE;
}

// log_repeat(level, target, count) -> nanoseconds: `count` records with a
// fixed message from the calling thread, for measuring what one record costs.
PyObject* log_repeat(PyObject*, PyObject* args) {
    int level = 0;
    const char* target = nullptr;
    long count = 0;
    if (!PyArg_ParseTuple(args, "isl:log_repeat", &level, &target, &count)) return nullptr;
    const std::optional<log::Level> checked = level_of(level);
    if (!checked) return nullptr;
    const std::string_view view(target);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) log::emit(*checked, view, [] { return "repeated record"; });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return PyLong_FromLongLong(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

// enabled(level, target) -> bool
PyObject* enabled(PyObject*, PyObject* args) {
    int level = 0;
    const char* target = nullptr;
    if (!PyArg_ParseTuple(args, "is:enabled", &level, &target)) return nullptr;
    const std::optional<log::Level> checked = level_of(level);
    if (!checked) return nullptr;
    return PyBool_FromLong(log::enabled(*checked, target));
}

// log_from_threads(threads, records, target, level): native threads named
// "worker-<thread>" log `records` records each, with the message
// "<thread>:<index>"; returns when all are done. Each thread is attached to
// the interpreter for its lifetime (one thread state, one `threadName`) and
// holds the interpreter lock only while a record is forwarded.
PyObject* log_from_threads(PyObject*, PyObject* args) {
    int thread_count = 0;
    int records = 0;
    const char* target_text = nullptr;
    int level = 0;
    if (!PyArg_ParseTuple(args, "iisi:log_from_threads", &thread_count, &records, &target_text, &level))
        return nullptr;
    const std::optional<log::Level> checked = level_of(level);
    if (!checked) return nullptr;
    const std::string target(target_text);
    std::vector<std::thread> threads;
    Py_BEGIN_ALLOW_THREADS;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            const log::ThreadAttachment attached(("worker-" + std::to_string(t)).c_str());
            for (int i = 0; i < records; ++i)
                log::emit(*checked, target, [&] { return std::to_string(t) + ":" + std::to_string(i); });
        });
    }
    // With the lock released (above): a thread forwarding a record needs it,
    // and joining it while holding the lock would wait forever.
    for (std::thread& thread : threads) thread.join();
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

// log_until_exit(threads, target, attach=False): detached native threads,
// attached to the interpreter or not, that log info records for `target`
// until the process ends, the interpreter's finalisation included.
PyObject* log_until_exit(PyObject*, PyObject* args) {
    int thread_count = 0;
    const char* target_text = nullptr;
    int attach = 0;
    if (!PyArg_ParseTuple(args, "is|p:log_until_exit", &thread_count, &target_text, &attach)) return nullptr;
    // Never freed: the threads outlive this call and the module.
    const std::string* target = new std::string(target_text);
    for (int t = 0; t < thread_count; ++t) {
        std::thread([target, attach] {
            std::optional<log::ThreadAttachment> attached;
            if (attach) attached.emplace();
            for (unsigned long i = 0;; ++i) log::emit(log::Level::info, *target, [i] { return std::to_string(i); });
        }).detach();
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"motor_state", motor_state, METH_VARARGS, "A tervalin.MotorState made with the producer kit."},
    {"read_limits", read_limits, METH_O, "The five floats of a tervalin.MitLimits."},
    {"read_setpoint", read_setpoint, METH_O, "The five floats of a tervalin.MitSetpoint."},
    {"read_control", read_control, METH_O, "The mode and payload of a tervalin.ControlSetpoint."},
    {"read_motor", read_motor, METH_O, "The identifiers, limits and timeout of a tervalin.Damiao."},
    {"log", log_record, METH_VARARGS, "One record from the calling thread."},
    {"log_number", log_number, METH_VARARGS, "A printf-style info record."},
    {"log_repeat", log_repeat, METH_VARARGS, "The same record, repeated."},
    {"enabled", enabled, METH_VARARGS, "Whether a record would be looked at further."},
    {"log_from_threads", log_from_threads, METH_VARARGS, "Records from native threads of this module."},
    {"log_until_exit", log_until_exit, METH_VARARGS, "Native threads that log until the process ends."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition{PyModuleDef_HEAD_INIT,
                       "kit_extension",
                       "An extension built separately on tervalin's kit.",
                       -1,
                       methods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_kit_extension() {
    // Imports tervalin and checks it now, so that a mismatch fails the import
    // and native threads find the log facade ready.
    if (!producer::bind() || !log::bind()) return nullptr;
    return PyModule_Create(&definition);
}
