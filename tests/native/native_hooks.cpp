#include "native_hooks.hpp"

#include "binding/boundary.hpp"
#include "binding/error.hpp"

#include <tervalin/motor_state.hpp>

#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using namespace tervalin;

// motor_state(motor_id, error, position, velocity, torque, t_mos, t_rotor):
// a MotorState made the way a native producer makes one.
PyObject* motor_state(PyObject*, PyObject* args) {
    MotorStateFields fields{};
    if (!PyArg_ParseTuple(args, "bbfffbb", &fields.motor_id, &fields.error, &fields.position,
                          &fields.velocity, &fields.torque, &fields.t_mos, &fields.t_rotor))
        return nullptr;
    return make_motor_state(fields);
}

// motor_state_bits(motor_id, error, position_bits, velocity_bits, torque_bits, t_mos, t_rotor):
// the floats given as their IEEE-754 bit patterns, so that any single (NaN
// payloads included) can be stored exactly.
PyObject* motor_state_bits(PyObject*, PyObject* args) {
    MotorStateFields fields{};
    unsigned int bits[3] = {};
    if (!PyArg_ParseTuple(args, "bbIIIbb", &fields.motor_id, &fields.error, &bits[0], &bits[1],
                          &bits[2], &fields.t_mos, &fields.t_rotor))
        return nullptr;
    std::memcpy(&fields.position, &bits[0], sizeof(float));
    std::memcpy(&fields.velocity, &bits[1], sizeof(float));
    std::memcpy(&fields.torque, &bits[2], sizeof(float));
    return make_motor_state(fields);
}

// fault(kind): a native fault inside a call boundary. "text" faults with a
// message, "standard" throws a standard exception, "foreign" throws a value
// that carries no text, "unwrap" treats a TypeError as a fault.
PyObject* fault(PyObject*, PyObject* arg) {
    const char* kind = PyUnicode_AsUTF8(arg);
    if (kind == nullptr) return nullptr;
    std::string which(kind);
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<PyObject*> {
        if (which == "text") tervalin::fault("deliberate fault from a test hook");
        if (which == "standard") throw std::runtime_error("standard failure from a test hook");
        if (which == "foreign") throw 42;
        if (which == "unwrap") {
            unwrap(Result<void>(fail(PyErr::with_text(PyExc_TypeError, "inner message"))));
        }
        return Py_NewRef(Py_None);
    });
}

// lock_depth(): the calling thread's depth, read outside any boundary.
PyObject* lock_depth_hook(PyObject*, PyObject*) { return PyLong_FromLong(lock_depth()); }

// release_on_foreign_thread(obj): a thread that does not hold the
// interpreter lock releases one reference to obj, which must be queued.
PyObject* release_on_foreign_thread(PyObject*, PyObject* object) {
    Py_INCREF(object);
    std::thread releaser([object] { release_ref(object); });
    releaser.join();
    return PyLong_FromSize_t(deferred_release_count());
}

PyObject* deferred_count(PyObject*, PyObject*) { return PyLong_FromSize_t(deferred_release_count()); }

// call_in_boundary(callable): calls it inside a boundary and fetches its
// failure the way native code does (a fetched PanicException resumes).
PyObject* call_in_boundary(PyObject*, PyObject* callable) {
    return call_boundary<PyObject*>(nullptr, [callable]() -> Result<Ref> {
        Ref result = Ref::steal(PyObject_CallNoArgs(callable));
        if (!result) return fail(fetch_error());
        return result;
    });
}

PyMethodDef methods[] = {
    {"motor_state", motor_state, METH_VARARGS, nullptr},
    {"motor_state_bits", motor_state_bits, METH_VARARGS, nullptr},
    {"fault", fault, METH_O, nullptr},
    {"lock_depth", lock_depth_hook, METH_NOARGS, nullptr},
    {"release_on_foreign_thread", release_on_foreign_thread, METH_O, nullptr},
    {"deferred_count", deferred_count, METH_NOARGS, nullptr},
    {"call_in_boundary", call_in_boundary, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition{PyModuleDef_HEAD_INIT, "_tervalin_native", "Test hooks of the embedding test program.",
                       0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyObject* init_native_hooks() { return PyModule_Create(&definition); }
