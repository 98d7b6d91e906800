// tervalin: creating MotorState values from native code.
//
// The module never creates a MotorState itself. A native producer linked into
// the same process (a feedback decoder, an application embedding the
// interpreter) hands decoded feedback to Python through this function.
#pragma once

#include <tervalin/export.hpp>
#include <tervalin/records.hpp>

#include <Python.h>

#include <cstdint>

namespace tervalin {

// The seven fields of one decoded feedback report, in their conventional order.
using MotorStateFields = MotorStateRecord;

// Returns a new reference to a `tervalin.MotorState` holding `fields`, or null
// with a Python exception set (MemoryError when the instance cannot be
// allocated). The caller must hold the interpreter lock. Safe to call before
// `import tervalin`: the class object is built on first use and is the one
// the module registers later. Never throws.
[[nodiscard]] TERVALIN_API PyObject* make_motor_state(const MotorStateFields& fields) noexcept;

}  // namespace tervalin
