// MotorState: one decoded feedback report, created only by native producers.
#pragma once

#include "binding/class_frame.hpp"
#include "binding/description.hpp"

#include <tervalin/records.hpp>

#include <tuple>

namespace tervalin {

struct MotorStateClass {
    using Record = MotorStateRecord;
    static constexpr std::string_view name = "MotorState";

    // Every field of the record, in its declared order.
    static constexpr std::tuple attributes{
        Field<&Record::motor_id>{"motor_id"}, Field<&Record::error>{"error"},
        Field<&Record::position>{"position"}, Field<&Record::velocity>{"velocity"},
        Field<&Record::torque>{"torque"},     Field<&Record::t_mos>{"t_mos"},
        Field<&Record::t_rotor>{"t_rotor"},
    };

    [[nodiscard]] static Ref text(const Record& state);
};

using MotorStateFrame = ClassFrame<MotorStateClass>;
extern template Result<PyTypeObject*> ClassFrame<MotorStateClass>::get_or_create();

}  // namespace tervalin
