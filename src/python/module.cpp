// The module's entry point and the module body.
#include "python/module_body.hpp"

#include "binding/boundary.hpp"
#include "binding/class_frame.hpp"
#include "logbridge/log_table.hpp"
#include "python/control_setpoint.hpp"
#include "python/damiao.hpp"
#include "python/mit_limits.hpp"
#include "python/mit_setpoint.hpp"
#include "python/motor_state.hpp"

#include <tervalin/module_state.hpp>
#include <tervalin/records.hpp>

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tervalin {
namespace {

PyModuleDef definition{
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tervalin",
    .m_doc = "",
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module is bound to the first interpreter that initialises it: the class
// objects and cells are process-wide and cannot be shared with another one.
std::atomic<std::int64_t> owning_interpreter{-1};
// The finished module; once filled never emptied.
PyObject* module_cell = nullptr;

constexpr const char* subinterpreter_message =
    "tervalin does not yet support subinterpreters: it can be imported in one interpreter "
    "per process (see \"Limitations\" in the tervalin README)";

// What code built separately reads from the module object: the classes in
// the order of ClassIndex, and the log facade's table.
void publish_state(PyObject* module) noexcept {
    auto& state = *static_cast<ModuleState*>(PyModule_GetState(module));
    state.layout_version = layout_version;
    state.log_table_version = log_abi::log_table_version;
    state.log_table = &log::log_table();
    state.classes[static_cast<std::size_t>(ClassIndex::mit_limits)] = ClassFrame<MitLimitsClass>::existing();
    state.classes[static_cast<std::size_t>(ClassIndex::mit_setpoint)] = ClassFrame<MitSetpointClass>::existing();
    state.classes[static_cast<std::size_t>(ClassIndex::control_setpoint)] =
        ClassFrame<ControlSetpointClass>::existing();
    state.classes[static_cast<std::size_t>(ClassIndex::motor_state)] = ClassFrame<MotorStateClass>::existing();
    state.classes[static_cast<std::size_t>(ClassIndex::damiao)] = ClassFrame<DamiaoClass>::existing();
}

Result<PyObject*> initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return fail(fetch_error());
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id)
        return fail(PyErr::with_text(PyExc_ImportError, subinterpreter_message));
    if (module_cell != nullptr) return Py_NewRef(module_cell);

    Ref module = Ref::steal(PyModule_Create2(&definition, PYTHON_API_VERSION));
    if (!module) return fail(fetch_error());
    if (auto filled = run_module_body(module.get()); !filled) return fail(std::move(filled).error());
    // Only a module whose body ran to the end publishes its classes.
    publish_state(module.get());
    if (module_cell == nullptr) module_cell = module.release();
    return Py_NewRef(module_cell);
}

}  // namespace
}  // namespace tervalin

PyMODINIT_FUNC PyInit_tervalin() {
    return tervalin::call_boundary<PyObject*>(nullptr, tervalin::initialise);
}
