// The module's entry point and the module body.
#include "python/module_body.hpp"

#include "binding/boundary.hpp"

#include <tervalin/instance.hpp>

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

Result<PyObject*> initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return fail(fetch_error());
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id)
        return fail(PyErr::with_text(PyExc_ImportError, subinterpreter_message));
    if (module_cell != nullptr) return Py_NewRef(module_cell);

    Ref module = Ref::steal(PyModule_Create2(&definition, PYTHON_API_VERSION));
    if (!module) return fail(fetch_error());
    // Separately built producers check the layout version here (<tervalin/producer.hpp>).
    static_cast<ModuleState*>(PyModule_GetState(module.get()))->layout_version = layout_version;
    if (auto filled = run_module_body(module.get()); !filled) return fail(std::move(filled).error());
    if (module_cell == nullptr) module_cell = module.release();
    return Py_NewRef(module_cell);
}

}  // namespace
}  // namespace tervalin

PyMODINIT_FUNC PyInit_tervalin() {
    return tervalin::call_boundary<PyObject*>(nullptr, tervalin::initialise);
}
