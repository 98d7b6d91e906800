// tervalin: the memory layout of an instance of a tervalin class.
#pragma once

#include <tervalin/records.hpp>

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tervalin {

// The object header, the value record inline, then the borrow counter (0
// while nothing reads the instance). No dict, no weak-reference list, no
// garbage-collector header: the type's basic size is sizeof(Instance<Record>).
template <class Record>
struct Instance {
    PyObject header;
    Record value;
    std::size_t borrow_count;
};

// The state of the module object (its PyModuleDef's m_size): publishes the
// layout version, so that code built separately can check that the loaded
// module lays out instances as it was compiled for. `layout_version` stays
// the first field whatever is added later.
struct ModuleState {
    std::uint32_t layout_version;
};

}  // namespace tervalin
