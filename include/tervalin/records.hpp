// tervalin: the value records of the module's five classes.
//
// Each instance of a tervalin class holds one of these inline, after the
// object header (see <tervalin/instance.hpp>). They are plain standard-layout
// structs of fixed-width fields, usable from C++17 on, so that code built
// separately from the module reads and writes the very same layout.
#pragma once

#include <cstdint>

namespace tervalin {

// Raised whenever a record or the instance layout changes, so that producers
// built against another layout are refused instead of writing the wrong bytes.
inline constexpr std::uint32_t layout_version = 2;

struct MitLimitsRecord {
    float p_max;
    float v_max;
    float kp_max;
    float kd_max;
    float t_max;
};

struct MitSetpointRecord {
    float q;
    float dq;
    float kp;
    float kd;
    float tau;
};

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

// The mode number is the value written to the motor's register 10.
enum class ControlMode : std::uint8_t { mit = 1, pos_vel = 2, vel = 3, force_pos = 4 };

// A tagged union: `mode` tells which member of the payload is set.
struct ControlSetpointRecord {
    ControlMode mode;
    union {
        MitSetpointRecord mit;
        PosVelSetpoint pos_vel;
        VelSetpoint vel;
        ForcePosSetpoint force_pos;
    };
};

struct MotorStateRecord {
    std::uint8_t motor_id;
    std::uint8_t error;
    float position;
    float velocity;
    float torque;
    std::uint8_t t_mos;
    std::uint8_t t_rotor;
};

// A reply timeout: whole seconds and the nanoseconds below one second.
struct Timeout {
    std::uint64_t seconds;
    std::uint32_t nanoseconds;

    [[nodiscard]] static constexpr Timeout from_milliseconds(std::uint64_t milliseconds) noexcept {
        return {milliseconds / 1000, static_cast<std::uint32_t>(milliseconds % 1000) * 1000000U};
    }
};

struct DamiaoRecord {
    std::uint16_t motor_id;
    std::uint16_t master_id;
    MitLimitsRecord limits;
    Timeout timeout;
};

}  // namespace tervalin
