// dm_frames: DM-series CAN frames to and from tervalin values.
//
// An extension module built on its own against the installed tervalin wheel:
// it finds tervalin's classes at import (<tervalin/producer.hpp>) and uses
// the frame codec (<tervalin/dm_codec.hpp>) in between.
#include <tervalin/dm_codec.hpp>
#include <tervalin/producer.hpp>

#include <Python.h>

#include <cstring>
#include <optional>

namespace {

namespace dm = tervalin::dm;
namespace producer = tervalin::producer;

bool expect_arguments(const char* function, Py_ssize_t given) {
    if (given == 2) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 2 arguments (%zd given)", function, given);
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

PyObject* decode_feedback(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("decode_feedback", nargs)) return nullptr;
    const std::optional<dm::FrameData> data = frame_data(args[0]);
    if (!data) return nullptr;
    const auto limits = producer::read<tervalin::MitLimitsRecord>(args[1], "limits");
    if (!limits) return nullptr;
    return producer::make_motor_state(dm::decode_feedback(*data, *limits));
}

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_arguments("encode", nargs)) return nullptr;
    const auto setpoint = producer::read<tervalin::ControlSetpointRecord>(args[0], "setpoint");
    if (!setpoint) return nullptr;
    const auto motor = producer::read<tervalin::DamiaoRecord>(args[1], "motor");
    if (!motor) return nullptr;
    const std::optional<dm::Frame> frame = dm::encode(*setpoint, *motor);
    if (!frame) {
        PyErr_SetString(PyExc_SystemError, "ControlSetpoint holds an unknown control mode");
        return nullptr;
    }
    if (!dm::is_standard_id(frame->id)) {
        PyErr_Format(PyExc_ValueError, "motor_id 0x%x gives CAN id 0x%x, beyond the 11-bit standard identifiers",
                     static_cast<unsigned>(motor->motor_id), static_cast<unsigned>(frame->id));
        return nullptr;
    }
    PyObject* id = PyLong_FromUnsignedLong(frame->id);
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame->data.data()),
                                                static_cast<Py_ssize_t>(frame->data.size()));
    PyObject* result = id != nullptr && bytes != nullptr ? PyTuple_New(2) : nullptr;
    if (result == nullptr) {
        Py_XDECREF(id);
        Py_XDECREF(bytes);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, id);
    PyTuple_SET_ITEM(result, 1, bytes);
    return result;
}

PyMethodDef methods[] = {
    {"decode_feedback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_feedback)), METH_FASTCALL,
     "decode_feedback(data, limits, /)\n--\n\n"
     "Decode the 8 data bytes of a feedback frame into a tervalin.MotorState,\n"
     "position, velocity and torque scaled over the ranges of `limits`."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_FASTCALL,
     "encode(setpoint, motor, /)\n--\n\n"
     "The CAN id and the 8 data bytes commanding `setpoint` to `motor`\n"
     "(an MIT setpoint is scaled over the motor's limits)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition{PyModuleDef_HEAD_INIT,
                       "dm_frames",
                       "DM-series CAN frames to and from tervalin values.",
                       -1,
                       methods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dm_frames() {
    // Imports tervalin and checks its layout now, so a mismatch fails the import.
    if (!producer::bind()) return nullptr;
    return PyModule_Create(&definition);
}
