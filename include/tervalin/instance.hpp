// tervalin: the memory layout of an instance of a tervalin class.
#pragma once

#include <tervalin/records.hpp>

#include <Python.h>

#include <cstddef>

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

}  // namespace tervalin
