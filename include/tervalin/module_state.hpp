// tervalin: what the module object itself holds for separately built code.
//
// The state lives in the module object (its PyModuleDef's m_size), where
// Python code cannot replace it: the class objects the module created and
// the table of its log facade. Code built separately finds it through a
// module object whose definition is tervalin's, never through attributes.
#pragma once

#include <tervalin/log_table.hpp>

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// Variables of the kit's headers stay inside the extension that includes
// them: with default visibility an inline variable would become one symbol
// shared by every extension in the process, whatever kit each was built with.
#if defined(__GNUC__)
#define TERVALIN_KIT_LOCAL __attribute__((visibility("hidden")))
#else
#define TERVALIN_KIT_LOCAL
#endif

// The name of the tervalin extension module: the one separately built code
// imports, and the one its definition carries. A macro, so that the classes'
// type names are spelled from it at compile time ("tervalin.MitLimits").
#define TERVALIN_MODULE_NAME "tervalin"

namespace tervalin {

// The five classes, in the order the module registers them.
enum class ClassIndex : std::size_t { mit_limits, mit_setpoint, control_setpoint, motor_state, damiao };
inline constexpr std::size_t class_count = 5;

// The first three fields keep their place whatever is added later:
// `layout_version` covers the records, the instances and `classes`,
// `log_table_version` covers the log table.
struct ModuleState {
    std::uint32_t layout_version;
    std::uint32_t log_table_version;
    const log_abi::LogTable* log_table;
    // Borrowed: the module keeps its classes for the life of the process.
    PyTypeObject* classes[class_count];
};

namespace detail {

// The state of `module` and its size in bytes when `module` is the tervalin
// extension module; null (no exception set) for any other object.
inline const ModuleState* state_of(PyObject* module, Py_ssize_t& size) noexcept {
    if (!PyModule_Check(module)) return nullptr;
    // Only a module made from a definition has one: Python code cannot make such a module.
    PyModuleDef* definition = PyModule_GetDef(module);
    if (definition == nullptr || definition->m_name == nullptr ||
        std::strcmp(definition->m_name, TERVALIN_MODULE_NAME) != 0 ||
        definition->m_size < static_cast<Py_ssize_t>(sizeof(std::uint32_t)))
        return nullptr;
    size = definition->m_size;
    return static_cast<const ModuleState*>(PyModule_GetState(module));
}

}  // namespace detail
}  // namespace tervalin
