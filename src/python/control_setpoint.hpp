// ControlSetpoint: a setpoint in one of the motor's four control modes.
#pragma once

#include "binding/class_frame.hpp"
#include "python/mit_setpoint.hpp"

#include <cstdint>
#include <variant>

namespace tervalin {

struct PosVelSetpoint {
    float position;
    float velocity;
};

struct VelSetpoint {
    float velocity;
};

struct ForcePosSetpoint {
    float position;
    float velocity_limit;
    float torque_ratio;
};

// The alternative's index plus one is the mode number written to register 10:
// MIT 1, POS_VEL 2, VEL 3, FORCE_POS 4.
using ControlSetpointRecord = std::variant<MitSetpointRecord, PosVelSetpoint, VelSetpoint, ForcePosSetpoint>;

[[nodiscard]] inline std::uint8_t control_mode(const ControlSetpointRecord& setpoint) noexcept {
    return static_cast<std::uint8_t>(setpoint.index() + 1);
}

struct ControlSetpointClass {
    using Record = ControlSetpointRecord;
    static const ClassDescription description;
};

using ControlSetpointFrame = ClassFrame<ControlSetpointClass>;

}  // namespace tervalin
