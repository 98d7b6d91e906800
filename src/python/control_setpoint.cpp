#include "python/control_setpoint.hpp"

#include "binding/class_builder.hpp"
#include "binding/class_stub.hpp"
#include "python/representation.hpp"

namespace tervalin {
namespace {

// "ControlSetpoint.vel(": the text reads like the call that builds the value.
template <const auto& C>
struct StaticHead {
    static constexpr std::string text() { return concat({C.owner, ".", C.name, "("}); }
};

template <const auto& C, Labels Shown = Labels::shown, class Payload>
Ref payload_text(const Payload& payload) {
    return fields_text<StaticHead<C>, C.params, NumberForms{}, Shown>(payload);
}

}  // namespace

Ref ControlSetpointClass::text(const ControlSetpointRecord& setpoint) {
    switch (setpoint.mode) {
        case ControlMode::mit:
            return fields_text<StaticHead<mit>, MitSetpointClass::attributes, NumberForms{}>(setpoint.mit);
        case ControlMode::pos_vel:
            return payload_text<pos_vel>(setpoint.pos_vel);
        case ControlMode::vel:
            // The one text without a parameter name.
            return payload_text<vel, Labels::hidden>(setpoint.vel);
        case ControlMode::force_pos:
            break;
    }
    return payload_text<force_pos>(setpoint.force_pos);
}

template Result<PyTypeObject*> ClassFrame<ControlSetpointClass>::get_or_create();

namespace {
const stub::Registration registration{class_stub_entry<ControlSetpointClass>(stub::Position::control_setpoint)};
}  // namespace

}  // namespace tervalin
