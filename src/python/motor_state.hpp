// MotorState: one decoded feedback report, created only by native producers.
#pragma once

#include "binding/class_frame.hpp"

#include <tervalin/motor_state.hpp>

namespace tervalin {

struct MotorStateClass {
    using Record = MotorStateRecord;
    static const ClassDescription description;
};

using MotorStateFrame = ClassFrame<MotorStateClass>;

}  // namespace tervalin
