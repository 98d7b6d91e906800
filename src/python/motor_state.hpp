// MotorState: one decoded feedback report, created only by native producers
// (through <tervalin/producer.hpp>).
#pragma once

#include "binding/class_frame.hpp"

#include <tervalin/records.hpp>

namespace tervalin {

struct MotorStateClass {
    using Record = MotorStateRecord;
    static const ClassDescription description;
};

using MotorStateFrame = ClassFrame<MotorStateClass>;

}  // namespace tervalin
