// MitSetpoint: one MIT impedance setpoint, and the module function mit_setpoint.
#pragma once

#include "binding/class_frame.hpp"
#include "binding/description.hpp"

#include <tervalin/records.hpp>

#include <tuple>

namespace tervalin {

struct MitSetpointClass {
    using Record = MitSetpointRecord;
    static constexpr std::string_view name = "MitSetpoint";

    static constexpr std::tuple attributes{
        Field<&Record::q, AsF32>{"q", "0.0"},
        Field<&Record::dq, AsF32>{"dq", "0.0"},
        Field<&Record::kp, AsF32>{"kp", "0.0"},
        Field<&Record::kd, AsF32>{"kd", "0.0"},
        Field<&Record::tau, AsF32>{"tau", "0.0"},
    };
    static constexpr auto constructor = callable<Record>(name, "__new__", "", attributes);

    [[nodiscard]] static Ref text(const Record& setpoint);
};

using MitSetpointFrame = ClassFrame<MitSetpointClass>;
extern template Result<PyTypeObject*> ClassFrame<MitSetpointClass>::get_or_create();

// The module function: the constructor's parameters, under its own name.
inline constexpr auto mit_setpoint_function =
    callable<MitSetpointRecord>("", "mit_setpoint", "Build a `MitSetpoint` (handy when keyword args are awkward).",
                                MitSetpointClass::attributes);

// The built-in function object `mit_setpoint`, bound to `module`.
[[nodiscard]] Result<Ref> make_mit_setpoint_function(PyObject* module);

}  // namespace tervalin
