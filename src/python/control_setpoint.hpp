// ControlSetpoint: a setpoint in one of the motor's four control modes.
#pragma once

#include "binding/class_frame.hpp"
#include "binding/description.hpp"
#include "python/mit_setpoint.hpp"

#include <tervalin/records.hpp>

#include <tuple>

namespace tervalin {

template <const auto& Call, auto Make>
struct Static;

// A setpoint of mode `Mode` whose payload `Member` is `payload`.
template <ControlMode Mode, auto Member, class Payload>
constexpr ControlSetpointRecord setpoint_of(const Payload& payload) {
    // The other members of the payload union stay unwritten: nothing reads them.
    ControlSetpointRecord setpoint;
    setpoint.mode = Mode;
    setpoint.*Member = payload;
    return setpoint;
}

struct ControlSetpointClass {
    using Record = ControlSetpointRecord;
    static constexpr std::string_view name = "ControlSetpoint";

    static constexpr std::tuple attributes{
        Field<&Record::mode>{"mode", {}, "Numeric control mode (matches the value written to register 10)."},
    };

    // The static constructors, one per mode, in mode order.
    static constexpr auto mit = callable<MitSetpointRecord>(
        name, "mit", "MIT impedance setpoint (control mode 1).",
        std::tuple{Field<whole, AsInstance<MitSetpointClass>>{"setpoint"}});
    static constexpr auto pos_vel = callable<PosVelSetpoint>(
        name, "pos_vel", "POS_VEL setpoint (control mode 2).",
        std::tuple{Field<&PosVelSetpoint::position, AsF32>{"position"},
                   Field<&PosVelSetpoint::velocity, AsF32>{"velocity"}});
    static constexpr auto vel = callable<VelSetpoint>(name, "vel", "VEL setpoint (control mode 3).",
                                                      std::tuple{Field<&VelSetpoint::velocity, AsF32>{"velocity"}});
    static constexpr auto force_pos = callable<ForcePosSetpoint>(
        name, "force_pos", "FORCE_POS setpoint (control mode 4).",
        std::tuple{Field<&ForcePosSetpoint::position, AsF32>{"position"},
                   Field<&ForcePosSetpoint::velocity_limit, AsF32>{"velocity_limit"},
                   Field<&ForcePosSetpoint::torque_ratio, AsF32>{"torque_ratio"}});

    using statics = std::tuple<Static<mit, &setpoint_of<ControlMode::mit, &Record::mit, MitSetpointRecord>>,
                               Static<pos_vel, &setpoint_of<ControlMode::pos_vel, &Record::pos_vel, PosVelSetpoint>>,
                               Static<vel, &setpoint_of<ControlMode::vel, &Record::vel, VelSetpoint>>,
                               Static<force_pos, &setpoint_of<ControlMode::force_pos, &Record::force_pos,
                                                              ForcePosSetpoint>>>;

    [[nodiscard]] static Ref text(const Record& setpoint);
};

using ControlSetpointFrame = ClassFrame<ControlSetpointClass>;
extern template Result<PyTypeObject*> ClassFrame<ControlSetpointClass>::get_or_create();

}  // namespace tervalin
