// ControlSetpoint: a setpoint in one of the motor's four control modes.
#pragma once

#include "binding/class_frame.hpp"
#include "python/mit_setpoint.hpp"

#include <tervalin/records.hpp>

#include <cstdint>

namespace tervalin {

[[nodiscard]] inline std::uint8_t control_mode(const ControlSetpointRecord& setpoint) noexcept {
    return static_cast<std::uint8_t>(setpoint.mode);
}

struct ControlSetpointClass {
    using Record = ControlSetpointRecord;
    static const ClassDescription description;
};

using ControlSetpointFrame = ClassFrame<ControlSetpointClass>;

}  // namespace tervalin
