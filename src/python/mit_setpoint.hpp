// MitSetpoint: one MIT impedance setpoint, and the module function mit_setpoint.
#pragma once

#include "binding/class_frame.hpp"

#include <tervalin/records.hpp>

namespace tervalin {


struct MitSetpointClass {
    using Record = MitSetpointRecord;
    static const ClassDescription description;
};

using MitSetpointFrame = ClassFrame<MitSetpointClass>;

// The built-in function object `mit_setpoint`, bound to `module`.
[[nodiscard]] Result<Ref> make_mit_setpoint_function(PyObject* module);

}  // namespace tervalin
